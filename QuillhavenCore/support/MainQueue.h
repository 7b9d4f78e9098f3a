#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace quillhaven {

// A repeating timer scheduled on a MainQueue. Cancelling is idempotent; once cancelled
// the timer never fires again.
class RepeatingTimer {
public:
    virtual ~RepeatingTimer() = default;
    virtual void cancel() = 0;
};

// The "main thread": the one executor on which application state lives. Work posted from
// any thread runs there later, one item at a time, in the order posted. The tray app binds
// this to its toolkit's event loop; the command line and the tests use EventLoop below.
class MainQueue {
public:
    virtual ~MainQueue() = default;

    // Thread-safe. fn runs later on the main thread, never inside this call.
    virtual void post(std::function<void()> fn) = 0;

    // Thread-safe. fn runs on the main thread every `interval` until the timer is cancelled.
    virtual std::shared_ptr<RepeatingTimer> scheduleRepeating(std::chrono::milliseconds interval,
                                                              std::function<void()> fn) = 0;

    // True when called from the thread that runs the posted work.
    virtual bool isMainThread() const = 0;
};

// A small loop of its own for the command line and the tests: run() serves posted work and
// timers on the calling thread until stop().
class EventLoop : public MainQueue, public std::enable_shared_from_this<EventLoop> {
public:
    static std::shared_ptr<EventLoop> create();

    void post(std::function<void()> fn) override;
    std::shared_ptr<RepeatingTimer> scheduleRepeating(std::chrono::milliseconds interval,
                                                      std::function<void()> fn) override;
    bool isMainThread() const override;

    // Runs until stop() is called (from any thread, or from posted work).
    void run();
    // Runs until `done()` is true (checked before waiting and after every item) or the
    // timeout passes; answers done(). A stop() ends it early too.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Runs everything due now, then returns.
    void drain();
    void stop();

private:
    EventLoop() = default;
    class Timer;
    using Clock = std::chrono::steady_clock;

    // Runs one due item if there is one before `deadline`; false when the deadline passed
    // or the loop was stopped.
    bool runOne(Clock::time_point deadline);
    void fireTimer(std::uint64_t id);
    void cancelTimer(std::uint64_t id);

    struct TimerEntry {
        std::chrono::milliseconds interval;
        Clock::time_point due;
        std::shared_ptr<std::function<void()>> fn;
    };

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> posted_;
    std::map<std::uint64_t, TimerEntry> timers_;
    std::uint64_t nextTimerId_ = 1;
    bool stopRequested_ = false;
    std::thread::id runner_;
};

} // namespace quillhaven

#include "support/MainQueue.h"

#include <algorithm>

namespace quillhaven {

class EventLoop::Timer : public RepeatingTimer {
public:
    Timer(std::weak_ptr<EventLoop> loop, std::uint64_t id) : loop_(std::move(loop)), id_(id) {}
    void cancel() override {
        if (auto loop = loop_.lock()) loop->cancelTimer(id_);
    }

private:
    std::weak_ptr<EventLoop> loop_;
    std::uint64_t id_;
};

std::shared_ptr<EventLoop> EventLoop::create() {
    std::shared_ptr<EventLoop> loop(new EventLoop());
    loop->runner_ = std::this_thread::get_id();
    return loop;
}

void EventLoop::post(std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(fn));
    }
    wake_.notify_all();
}

std::shared_ptr<RepeatingTimer> EventLoop::scheduleRepeating(std::chrono::milliseconds interval,
                                                             std::function<void()> fn) {
    if (interval < std::chrono::milliseconds(1)) interval = std::chrono::milliseconds(1);
    std::uint64_t id;
    {
        std::lock_guard lock(mutex_);
        id = nextTimerId_++;
        timers_[id] = TimerEntry{interval, Clock::now() + interval,
                                 std::make_shared<std::function<void()>>(std::move(fn))};
    }
    wake_.notify_all();
    return std::make_shared<Timer>(weak_from_this(), id);
}

void EventLoop::cancelTimer(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    timers_.erase(id);
}

bool EventLoop::isMainThread() const {
    std::lock_guard lock(mutex_);
    return std::this_thread::get_id() == runner_;
}

bool EventLoop::runOne(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stopRequested_) return false;
        if (!posted_.empty()) {
            auto fn = std::move(posted_.front());
            posted_.pop_front();
            lock.unlock();
            fn();
            return true;
        }
        auto now = Clock::now();
        auto earliest = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it)
            if (earliest == timers_.end() || it->second.due < earliest->second.due) earliest = it;
        if (earliest != timers_.end() && earliest->second.due <= now) {
            // A loop that fell behind fires once and then keeps the interval from now,
            // rather than firing a burst of missed ticks.
            earliest->second.due = std::max(earliest->second.due + earliest->second.interval,
                                            now + std::chrono::milliseconds(1));
            auto fn = earliest->second.fn;
            lock.unlock();
            (*fn)();
            return true;
        }
        if (now >= deadline) return false;
        auto wakeAt = deadline;
        if (earliest != timers_.end() && earliest->second.due < wakeAt)
            wakeAt = earliest->second.due;
        wake_.wait_until(lock, wakeAt);
    }
}

void EventLoop::run() {
    {
        std::lock_guard lock(mutex_);
        runner_ = std::this_thread::get_id();
    }
    while (runOne(Clock::time_point::max())) {
    }
    std::lock_guard lock(mutex_);
    stopRequested_ = false;
}

bool EventLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    {
        std::lock_guard lock(mutex_);
        runner_ = std::this_thread::get_id();
    }
    auto deadline = Clock::now() + timeout;
    bool result = done();
    while (!result && runOne(deadline)) result = done();
    std::lock_guard lock(mutex_);
    stopRequested_ = false;
    return result;
}

void EventLoop::drain() {
    {
        std::lock_guard lock(mutex_);
        runner_ = std::this_thread::get_id();
    }
    while (runOne(Clock::now())) {
    }
    std::lock_guard lock(mutex_);
    stopRequested_ = false;
}

void EventLoop::stop() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
}

} // namespace quillhaven

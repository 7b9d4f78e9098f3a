#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace quillhaven {

// Keeps an observer connected while it lives; destroying it (or calling disconnect())
// removes the observer. Safe to drop after the signal itself is gone.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> disconnect) : disconnect_(std::move(disconnect)) {}
    Subscription(Subscription&& other) noexcept
        : disconnect_(std::exchange(other.disconnect_, {})) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            disconnect();
            disconnect_ = std::exchange(other.disconnect_, {});
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { disconnect(); }

    void disconnect() {
        if (auto d = std::exchange(disconnect_, {})) d();
    }
    bool connected() const { return static_cast<bool>(disconnect_); }

private:
    std::function<void()> disconnect_;
};

// A list of observers called synchronously, in connection order, on the thread that
// emits. Observers may connect or disconnect (themselves or others) while being called:
// an emission calls the observers connected when it began that are still connected.
template <class... Args> class Signal {
public:
    using Slot = std::function<void(const Args&...)>;

    Signal() = default;
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    // The observer stays connected until the returned token is destroyed or disconnected.
    [[nodiscard]] Subscription connect(Slot slot) {
        auto entry = add(std::move(slot));
        std::weak_ptr<Shared> weakShared = shared_;
        return Subscription([weakShared, entry] {
            entry->live = false;
            if (auto shared = weakShared.lock()) shared->remove(entry);
        });
    }

    // The observer is held weakly: it is called with the owner while the owner lives and
    // dropped once the owner is gone, so a signal never keeps its observers alive.
    template <class T, class F> void connect(const std::weak_ptr<T>& owner, F&& call) {
        auto entry = std::make_shared<Entry>();
        std::weak_ptr<Shared> weakShared = shared_;
        std::weak_ptr<Entry> weakEntry = entry;
        entry->slot = [owner, weakShared, weakEntry,
                       call = std::forward<F>(call)](const Args&... args) {
            if (auto strong = owner.lock()) {
                call(*strong, args...);
            } else if (auto shared = weakShared.lock()) {
                if (auto e = weakEntry.lock()) {
                    e->live = false;
                    shared->remove(e);
                }
            }
        };
        std::lock_guard lock(shared_->mutex);
        shared_->entries.push_back(std::move(entry));
    }

    void emit(const Args&... args) const {
        std::vector<std::shared_ptr<Entry>> snapshot;
        {
            std::lock_guard lock(shared_->mutex);
            snapshot = shared_->entries;
        }
        for (const auto& entry : snapshot)
            if (entry->live) entry->slot(args...);
    }

    std::size_t observerCount() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->entries.size();
    }

private:
    struct Entry {
        Slot slot;
        std::atomic<bool> live{true};
    };
    struct Shared {
        mutable std::mutex mutex;
        std::vector<std::shared_ptr<Entry>> entries;

        void remove(const std::shared_ptr<Entry>& entry) {
            std::lock_guard lock(mutex);
            std::erase(entries, entry);
        }
    };

    std::shared_ptr<Entry> add(Slot slot) {
        auto entry = std::make_shared<Entry>();
        entry->slot = std::move(slot);
        std::lock_guard lock(shared_->mutex);
        shared_->entries.push_back(entry);
        return entry;
    }

    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

} // namespace quillhaven

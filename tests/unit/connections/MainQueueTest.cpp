#include "support/MainQueue.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace quillhaven;
using namespace std::chrono_literals;

TEST(EventLoop, RunsPostedWorkInOrderOnTheLoopThread) {
    auto loop = EventLoop::create();
    std::vector<int> seen;
    std::atomic<bool> onLoopThread{true};
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i)
            loop->post([&, i] {
                if (!loop->isMainThread()) onLoopThread = false;
                seen.push_back(i);
            });
    });
    poster.join();
    EXPECT_FALSE([&] {
        bool result = false;
        std::thread([&] { result = loop->isMainThread(); }).join();
        return result;
    }());
    ASSERT_TRUE(loop->runUntil([&] { return seen.size() == 100; }, 5s));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_TRUE(onLoopThread);
}

TEST(EventLoop, PostedWorkNeverRunsInsidePost) {
    auto loop = EventLoop::create();
    bool ran = false;
    loop->post([&] { ran = true; });
    EXPECT_FALSE(ran);
    loop->drain();
    EXPECT_TRUE(ran);
}

TEST(EventLoop, RepeatingTimerFiresUntilCancelled) {
    auto loop = EventLoop::create();
    int ticks = 0;
    auto timer = loop->scheduleRepeating(10ms, [&] { ++ticks; });
    ASSERT_TRUE(loop->runUntil([&] { return ticks >= 3; }, 5s));
    timer->cancel();
    int atCancel = ticks;
    loop->runUntil([] { return false; }, 60ms);
    EXPECT_EQ(ticks, atCancel);
}

TEST(EventLoop, RunUntilGivesUpAtTheTimeout) {
    auto loop = EventLoop::create();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop->runUntil([] { return false; }, 50ms));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 50ms);
    EXPECT_LT(waited, 2s);
}

TEST(EventLoop, StopFromAnotherThreadEndsRun) {
    auto loop = EventLoop::create();
    std::thread stopper([&] {
        std::this_thread::sleep_for(20ms);
        loop->stop();
    });
    loop->run(); // returns only because of stop()
    stopper.join();
    // A consumed stop does not end the next run at once.
    bool ran = false;
    loop->post([&] { ran = true; });
    EXPECT_TRUE(loop->runUntil([&] { return ran; }, 1s));
}

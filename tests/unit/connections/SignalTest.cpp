#include "support/Signal.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using namespace quillhaven;

TEST(Signal, TokenDisconnectsOnDestructionAndExplicitly) {
    Signal<int> signal;
    std::vector<std::string> calls;
    Subscription kept = signal.connect([&](int v) { calls.push_back("a" + std::to_string(v)); });
    {
        Subscription scoped =
            signal.connect([&](int v) { calls.push_back("b" + std::to_string(v)); });
        signal.emit(1);
    }
    signal.emit(2);
    kept.disconnect();
    signal.emit(3);
    EXPECT_EQ(calls, (std::vector<std::string>{"a1", "b1", "a2"}));
    EXPECT_EQ(signal.observerCount(), 0u);
}

TEST(Signal, WeakObserverIsCalledWhileItsOwnerLivesAndThenDropped) {
    struct View {
        int refreshes = 0;
    };
    Signal<> signal;
    auto view = std::make_shared<View>();
    signal.connect(std::weak_ptr<View>(view), [](View& v) { ++v.refreshes; });
    signal.emit();
    signal.emit();
    EXPECT_EQ(view->refreshes, 2);
    EXPECT_EQ(view.use_count(), 1); // the signal does not keep the view alive

    view.reset();
    signal.emit(); // must not touch the freed view
    EXPECT_EQ(signal.observerCount(), 0u);
}

TEST(Signal, ObserversMayDisconnectAndConnectDuringAnEmission) {
    Signal<> signal;
    std::vector<std::string> calls;
    Subscription second;
    Subscription added;
    Subscription first = signal.connect([&] {
        calls.push_back("first");
        second.disconnect(); // a later observer removed mid-emission is not called
        added = signal.connect([&] { calls.push_back("added"); });
    });
    second = signal.connect([&] { calls.push_back("second"); });
    Subscription self;
    self = signal.connect([&] {
        calls.push_back("self");
        self.disconnect();
    });

    signal.emit();
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "self"}));
    calls.clear();
    first.disconnect();
    signal.emit();
    EXPECT_EQ(calls, (std::vector<std::string>{"added"}));
}

TEST(Signal, TokenOutlivingTheSignalIsHarmless) {
    Subscription token;
    {
        Signal<int> signal;
        token = signal.connect([](int) {});
    }
    token.disconnect();
    EXPECT_FALSE(token.connected());
}

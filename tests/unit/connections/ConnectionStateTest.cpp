#include "connections/ConnectionState.h"

#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

using namespace quillhaven;
using Property = ConnectionState::Property;

TEST(ConnectionState, StartsStoppedWithoutErrorAndWithZeroCounters) {
    ConnectionState state;
    EXPECT_EQ(state.status(), ConnectionStatus::stopped);
    EXPECT_EQ(state.errorMessage(), std::nullopt);
    EXPECT_EQ(state.connectedClients(), 0);
    EXPECT_EQ(state.queryCount(), 0);
}

TEST(ConnectionState, EveryAssignmentNotifiesOnTheAssigningThreadWithTheNewValue) {
    auto state = std::make_shared<ConnectionState>();
    std::vector<Property> seen;
    std::vector<std::string> statuses;
    auto observerThread = std::this_thread::get_id();
    Subscription token = state->changed().connect([&](Property p) {
        EXPECT_EQ(std::this_thread::get_id(), observerThread);
        seen.push_back(p);
        statuses.emplace_back(toString(state->status()));
    });

    state->setStatus(ConnectionStatus::connecting);
    state->setErrorMessage(std::nullopt); // equal value: still an assignment
    state->setStatus(ConnectionStatus::error);
    state->setErrorMessage("Connection lost");
    state->setConnectedClients(2);
    state->setQueryCount(41);

    EXPECT_EQ(seen, (std::vector<Property>{Property::status, Property::errorMessage,
                                           Property::status, Property::errorMessage,
                                           Property::connectedClients, Property::queryCount}));
    EXPECT_EQ(statuses.front(), "connecting");
    EXPECT_EQ(statuses.back(), "error");
    EXPECT_EQ(state->errorMessage(), "Connection lost");
    EXPECT_EQ(state->connectedClients(), 2);
    EXPECT_EQ(state->queryCount(), 41);
}

TEST(ConnectionState, StatusTextValues) {
    for (auto s : {ConnectionStatus::stopped, ConnectionStatus::connecting,
                   ConnectionStatus::connected, ConnectionStatus::error})
        EXPECT_EQ(connectionStatusFromString(toString(s)), s);
    EXPECT_EQ(toString(ConnectionStatus::connected), "connected");
    EXPECT_EQ(connectionStatusFromString("Connected"), std::nullopt);
}

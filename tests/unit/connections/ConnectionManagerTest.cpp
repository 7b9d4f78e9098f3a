// List operations and the start checks that need no backend.

#include "ManagerTestSupport.h"

#include <gtest/gtest.h>

using namespace quillhaven;
using namespace testsupport;

namespace {

class Manager : public ::testing::Test {
protected:
    TempDir dir;
    std::shared_ptr<EventLoop> loop = EventLoop::create();
    int backendsBuilt = 0;
    Machine m{loop, dir.path() / "defaults.json", std::nullopt, [this] {
                  ConnectionManager::Options o;
                  o.backendFactory = [this](const Connection&) -> std::shared_ptr<Backend> {
                      ++backendsBuilt;
                      throw Error("no backends in unit tests");
                  };
                  return o;
              }()};
    ConnectionManager& manager() { return *m.manager; }
};

} // namespace

TEST_F(Manager, AddWithoutRecordAppendsADefaultFlyConnection) {
    manager().addConnection(flyRecord("x", 5432));
    manager().addConnection();
    ASSERT_EQ(manager().connections().size(), 2u);
    const auto& added = manager().connections()[1];
    EXPECT_EQ(uuid::normalized(added.id), added.id);
    EXPECT_EQ(added.name, "New Connection");
    EXPECT_EQ(added.type, ConnectionType::fly);
    EXPECT_EQ(added.dbPath, "");
    EXPECT_EQ(added.localPort, 5433);
    EXPECT_EQ(added.flyApp, "");
    EXPECT_FALSE(added.sshHostname || added.sshPort || added.sshUsername || added.sshAuthMethod ||
                 added.sshKeyDisplayPath);
    EXPECT_FALSE(added.readOnly);
    EXPECT_EQ(manager().states().count(added.id), 1u);
    EXPECT_EQ(m.storedNames(), (std::vector<std::string>{"x", "New Connection"}));
}

TEST_F(Manager, AddingReplacesAnyStateOfTheId) {
    auto record = flyRecord("x", 5432);
    auto before = manager().stateForConnection(record.id);
    before->setStatus(ConnectionStatus::error);
    manager().addConnection(record);
    EXPECT_NE(manager().stateForConnection(record.id), before);
    EXPECT_EQ(manager().stateForConnection(record.id)->status(), ConnectionStatus::stopped);
}

TEST_F(Manager, UpdateReplacesInPlaceAndIgnoresUnknownIds) {
    auto a = flyRecord("a", 5432), b = flyRecord("b", 5433);
    manager().addConnection(a);
    manager().addConnection(b);
    int changes = 0;
    auto subscription = manager().changed.connect([&] { ++changes; });
    a.name = "a2";
    manager().updateConnection(a);
    EXPECT_EQ(m.names(), (std::vector<std::string>{"a2", "b"}));
    EXPECT_EQ(m.storedNames(), (std::vector<std::string>{"a2", "b"}));
    manager().updateConnection(flyRecord("stranger", 6000));
    EXPECT_EQ(m.names(), (std::vector<std::string>{"a2", "b"}));
    EXPECT_EQ(changes, 1);
    // A stopped connection stays stopped after an edit.
    EXPECT_EQ(manager().stateForConnection(a.id)->status(), ConnectionStatus::stopped);
}

TEST_F(Manager, NextAvailablePortFillsTheFirstGapFrom5432) {
    struct Case {
        std::vector<std::uint16_t> used;
        std::uint16_t expected;
    } cases[] = {
        {{}, 5432}, {{5432, 5434}, 5433}, {{5433}, 5432}, {{5432, 5433, 80}, 5434}, {{6000}, 5432},
    };
    for (const auto& c : cases) {
        std::vector<Connection> list;
        for (auto port : c.used) list.push_back(flyRecord("p" + std::to_string(port), port));
        manager().setConnections(list);
        EXPECT_EQ(manager().nextAvailablePort(), c.expected);
    }
    // Every port from 5432 up taken: the search goes on below 5432 instead of overflowing.
    std::vector<Connection> full;
    for (unsigned port = 5432; port <= 65535; ++port)
        full.push_back(flyRecord("p", static_cast<std::uint16_t>(port)));
    full.push_back(flyRecord("p", 1024));
    manager().setConnections(full);
    EXPECT_EQ(manager().nextAvailablePort(), 1025);
}

TEST_F(Manager, StartWithMissingDetailsFailsAtOnce) {
    auto ssh = [](auto edit) {
        Connection c = flyRecord("s", 5432);
        c.type = ConnectionType::ssh;
        c.flyApp.reset();
        c.sshHostname = "host";
        c.sshUsername = "user";
        c.sshAuthMethod = SSHAuthMethod::password;
        edit(c);
        return c;
    };
    auto noApp = flyRecord("f", 5433);
    noApp.flyApp.reset();
    struct Case {
        Connection record;
        const char* message;
    } cases[] = {
        {ssh([](Connection& c) { c.sshHostname.reset(); }),
         "SSH connection details are incomplete"},
        {ssh([](Connection& c) { c.sshUsername.reset(); }),
         "SSH connection details are incomplete"},
        {ssh([](Connection& c) { c.sshAuthMethod.reset(); }),
         "SSH connection details are incomplete"},
        {noApp, "Fly.io app name is missing"},
    };
    for (const auto& c : cases) {
        manager().addConnection(c.record);
        auto state = manager().stateForConnection(c.record.id);
        std::vector<ConnectionStatus> seen;
        auto subscription = state->changed().connect([&](ConnectionState::Property p) {
            if (p == ConnectionState::Property::status) seen.push_back(state->status());
        });
        manager().startConnection(c.record.id);
        EXPECT_EQ(seen, (std::vector<ConnectionStatus>{ConnectionStatus::connecting,
                                                       ConnectionStatus::error}));
        EXPECT_EQ(state->errorMessage(), c.message);
        EXPECT_EQ(backendsBuilt, 0);
        // A failed start can be tried again.
        seen.clear();
        manager().startConnection(c.record.id);
        EXPECT_EQ(seen.size(), 2u);
    }
}

TEST_F(Manager, StartOfAnUnknownIdDoesNothing) {
    manager().startConnection(uuid::make());
    EXPECT_TRUE(manager().states().empty());
}

TEST_F(Manager, StopResetsAnExistingStateAndCreatesNone) {
    auto record = flyRecord("x", 5432);
    manager().addConnection(record);
    auto state = manager().stateForConnection(record.id);
    state->setStatus(ConnectionStatus::error);
    state->setErrorMessage("old");
    state->setConnectedClients(3);
    state->setQueryCount(9);
    manager().stopConnection(record.id);
    EXPECT_EQ(state->status(), ConnectionStatus::stopped);
    EXPECT_EQ(state->errorMessage(), std::nullopt);
    EXPECT_EQ(state->connectedClients(), 0);
    EXPECT_EQ(state->queryCount(), 0);
    auto other = uuid::make();
    manager().stopConnection(other);
    EXPECT_EQ(manager().states().count(other), 0u);
}

TEST_F(Manager, SavedActiveConnectionsFollowListOrderAndStatus) {
    auto a = flyRecord("a", 5432), b = flyRecord("b", 5433), c = flyRecord("c", 5434);
    manager().setConnections({c, a, b});
    manager().stateForConnection(a.id)->setStatus(ConnectionStatus::connected);
    manager().stateForConnection(b.id)->setStatus(ConnectionStatus::error);
    manager().stateForConnection(c.id)->setStatus(ConnectionStatus::connecting);
    manager().saveActiveConnections();
    EXPECT_EQ(KeyValueFile(m.defaultsPath).stringArray(ConnectionManager::activeConnectionsKey),
              (std::vector<std::string>{c.id, a.id}));
    manager().stateForConnection(a.id)->setStatus(ConnectionStatus::stopped);
    manager().stateForConnection(c.id)->setStatus(ConnectionStatus::stopped);
    manager().saveActiveConnections();
    EXPECT_EQ(KeyValueFile(m.defaultsPath).stringArray(ConnectionManager::activeConnectionsKey),
              std::vector<std::string>{});
}

TEST_F(Manager, ReconnectWithTheSettingOffStartsNothing) {
    auto a = flyRecord("a", 5432);
    manager().addConnection(a);
    KeyValueFile(m.defaultsPath).setStringArray(ConnectionManager::activeConnectionsKey, {a.id});
    manager().reconnectPreviouslyActive();
    EXPECT_EQ(manager().stateForConnection(a.id)->status(), ConnectionStatus::stopped);
    EXPECT_EQ(backendsBuilt, 0);
}

TEST_F(Manager, RemoveDeletesSecretsAndForgetsTheState) {
    auto a = flyRecord("a", 5432), b = flyRecord("b", 5433);
    manager().addConnection(a);
    manager().addConnection(b);
    manager().removeConnection(a.id);
    EXPECT_EQ(m.deletedSecrets, std::vector<std::string>{a.id});
    EXPECT_EQ(m.names(), std::vector<std::string>{"b"});
    EXPECT_EQ(manager().states().count(a.id), 0u);
    EXPECT_EQ(KeyValueFile(m.defaultsPath).stringArray(ConnectionManager::deletedIdsKey),
              std::vector<std::string>{a.id});
    // Tombstones only grow.
    manager().removeConnection(b.id);
    auto ids = KeyValueFile(m.defaultsPath).stringArray(ConnectionManager::deletedIdsKey);
    ASSERT_TRUE(ids);
    EXPECT_EQ(std::set<std::string>(ids->begin(), ids->end()), (std::set<std::string>{a.id, b.id}));
}

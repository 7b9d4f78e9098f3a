#include "ServerHarness.h"

#include <future>
#include <gtest/gtest.h>

using namespace quillhaven;
using testsupport::InProcessSQLiteBackend;
using testsupport::ScriptedBackend;
using testsupport::ServerHarness;
using Status = ProxyServerStatus;
using Tokens = std::vector<std::string>;

TEST(ProxyServer, ASecondServerOnABusyPortFailsWithBindFailed) {
    testsupport::TestLog logs;
    ServerHarness first(std::make_shared<InProcessSQLiteBackend>());
    testsupport::StatusRecorder recorder;
    auto second =
        std::make_shared<ProxyServer>(first.port, std::make_shared<InProcessSQLiteBackend>(), false,
                                      nullptr, [&recorder](const Status& s) { recorder(s); });
    try {
        second->start();
        FAIL() << "start() succeeded on a busy port";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EADDRINUSE);
    }
    auto statuses = recorder.statuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0], Status::error("Bind failed: Address already in use"));
    EXPECT_TRUE(logs.contains("ProxyServer", "Bind failed: Address already in use"));
    EXPECT_TRUE(first.recorder->waitFor(Status::listening()));
}

TEST(ProxyServer, ReportsClientsComingAndGoing) {
    testsupport::TestLog logs;
    ServerHarness h(std::make_shared<InProcessSQLiteBackend>());
    auto a = h.connect();
    ASSERT_TRUE(h.recorder->waitFor(Status::clientConnected(1)));
    auto b = h.connect();
    ASSERT_TRUE(h.recorder->waitFor(Status::clientConnected(2)));
    ASSERT_TRUE(a->startup());
    ASSERT_TRUE(b->startup());
    a->send(wire::frame('X', ""));
    ASSERT_TRUE(h.recorder->waitFor(Status::clientDisconnected(1)));
    EXPECT_EQ(h.recorder->statuses(),
              (std::vector<Status>{Status::listening(), Status::clientConnected(1),
                                   Status::clientConnected(2), Status::clientDisconnected(1)}));
    EXPECT_TRUE(
        logs.contains("ProxyServer", "Proxy server listening on port " + std::to_string(h.port)));

    // The other client is unaffected.
    b->send(wire::query("SELECT 1 AS one"));
    EXPECT_EQ(b->untilReady(), (Tokens{"T[one]", "D[1]", "C SELECT 1", "Z"}));
}

TEST(ProxyServer, StopEndsLiveSessionsAndClosesThePort) {
    testsupport::TestLog logs;
    auto backend = std::make_shared<ScriptedBackend>(
        [](const std::string&) { return std::optional<QueryResult>(); });
    ServerHarness h(backend);
    auto a = h.connect();
    auto b = h.connect();
    ASSERT_TRUE(a->startup());
    ASSERT_TRUE(b->startup());
    ASSERT_TRUE(h.recorder->waitFor(Status::clientConnected(2)));

    h.server->stop();
    EXPECT_TRUE(a->closedByPeer());
    EXPECT_TRUE(b->closedByPeer());
    ASSERT_TRUE(h.recorder->waitFor(Status::clientDisconnected(0), 2));
    EXPECT_TRUE(h.server->waitForSessions(std::chrono::seconds(5)));
    auto statuses = h.recorder->statuses();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), Status::stopped()), 1);
    EXPECT_EQ(backend->closes(), 1);
    EXPECT_TRUE(logs.contains("ProxyServer", "Proxy server stopped"));

    EXPECT_EQ(testsupport::tcpConnect(h.port), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    h.server.reset();
}

TEST(ProxyServer, AClientThatLeavesBeforeStartupIsLoggedAndRemoved) {
    testsupport::TestLog logs;
    ServerHarness h(std::make_shared<InProcessSQLiteBackend>());
    h.connect()->close();
    ASSERT_TRUE(h.recorder->waitFor(Status::clientDisconnected(0)));
    EXPECT_TRUE(logs.contains("ProxyServer", "Connection handler error: Connection closed"));
    EXPECT_TRUE(logs.waitFor([](const LogRecord& r) {
        return r.category == "ProxyServer" && r.revealed.starts_with("Connection closed (fd=") &&
               r.revealed.ends_with("), 0 remaining");
    }));
}

TEST(ProxyServer, ASessionOutlivesItsDroppedServerSafely) {
    // A statement is still running when the server is stopped and dropped: the session
    // winds down on its own thread and touches neither the server nor its socket number.
    testsupport::TestLog logs;
    std::promise<void> entered, release;
    auto released = release.get_future().share();
    auto backend = std::make_shared<ScriptedBackend>([&](const std::string&) {
        entered.set_value();
        released.wait();
        return std::optional<QueryResult>();
    });
    auto h = std::make_unique<ServerHarness>(backend);
    auto recorder = h->recorder;
    auto client = h->connect();
    ASSERT_TRUE(client->startup());
    client->send(wire::query("UPDATE t SET a = 1"));
    entered.get_future().wait();
    h->server->stop();
    std::weak_ptr<ProxyServer> weak = h->server;
    h->server.reset();
    EXPECT_TRUE(weak.expired());
    release.set_value();
    EXPECT_TRUE(client->closedByPeer());
    // The session finds its socket shut down, gives up and ends with no server to tell.
    EXPECT_TRUE(logs.waitFor([](const LogRecord& r) {
        return r.revealed == "Failed to send error response, closing connection";
    }));
    auto statuses = recorder->statuses();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), Status::clientDisconnected(0)), 0);
}

// Starting, serving, stopping and watching real connections: the manager drives real SSH
// backends against a private sshd and real local servers, and psql talks to them.

#include "../../unit/connections/ManagerTestSupport.h"
#include "../ssh/SSHServer.h"
#include "InProcessSQLiteBackend.h"
#include "backends/FlyBackend.h"
#include "backends/SSHBackend.h"
#include "connections/KeychainHelper.h"
#include "support/Text.h"

#include <arpa/inet.h>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <regex>

using namespace quillhaven;
using namespace testsupport;
using namespace std::chrono_literals;
using sshtest::SSHEnvironment;

static ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new SSHEnvironment);

namespace {

sshtest::SSHServer& sshd() {
    return SSHEnvironment::server();
}

Connection sshRecord(const std::string& name, const std::string& dbPath) {
    Connection c;
    c.id = uuid::make();
    c.name = name;
    c.type = ConnectionType::ssh;
    c.dbPath = dbPath;
    c.localPort = freePort();
    c.sshHostname = "127.0.0.1";
    c.sshPort = sshd().port();
    c.sshUsername = sshtest::user;
    c.sshAuthMethod = SSHAuthMethod::password;
    KeychainHelper::savePassword(sshtest::password, c.id);
    return c;
}

Connection flyStandInRecord(const std::string& name, const std::string& dbPath) {
    auto c = flyRecord(name, freePort());
    c.dbPath = dbPath;
    return c;
}

CommandResult psql(std::uint16_t port, const std::string& sql) {
    return run("PGCONNECT_TIMEOUT=5 timeout 30 psql -X -At -h 127.0.0.1 -U tester -d db -p " +
               std::to_string(port) + " -c " + text::shellQuote(sql));
}

bool portAccepts(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

std::vector<std::string> linesOf(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class Runtime : public ::testing::Test {
protected:
    TempDir dir;
    std::shared_ptr<EventLoop> loop = EventLoop::create();
    std::unique_ptr<Machine> m;
    std::string db;

    void SetUp() override {
        REQUIRE_SSH_SERVER();
        ASSERT_TRUE(std::getenv("QUILLHAVEN_TEST_KEYRING")) << "run through with-keyring.sh";
        // `fly` is the stand-in that runs the remote command on this machine.
        ::setenv("QUILLHAVEN_FLY_PATH", QUILLHAVEN_FIXTURES, 1);
        db = sshd().makeDatabase(
            "runtime-" + uuid::make() + ".db",
            "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT); INSERT INTO t VALUES (1, 'one');");
        launch();
    }
    void TearDown() override {
        if (m) {
            m->manager->stopAll();
            m.reset();
        }
        loop->drain();
        for (const char* name :
             {"QUILLHAVEN_FLY_PATH", "FLY_STANDIN_FAIL", "FLY_STANDIN_PIDFILE", "QUERY_LOG"})
            ::unsetenv(name);
    }
    // A local database for connections through the Fly.io stand-in.
    std::string localDatabase() {
        std::string path = dir / ("local-" + uuid::make() + ".db");
        auto r = run("sqlite3 " + path +
                     " \"CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT); INSERT INTO t "
                     "VALUES (1, 'fly one');\"");
        EXPECT_EQ(r.exitCode, 0) << r.output;
        return path;
    }
    void launch(ConnectionManager::Options options = {}) {
        if (m)
            m->launch(std::move(options));
        else
            m = std::make_unique<Machine>(loop, dir.path() / "defaults.json", std::nullopt,
                                          std::move(options));
    }
    ConnectionManager& manager() { return *m->manager; }
    ConnectionState& state(const std::string& id) { return *manager().stateForConnection(id); }
    bool waitForStatus(const std::string& id, ConnectionStatus status) {
        return waitFor(*loop, [&] { return state(id).status() == status; });
    }
    std::vector<std::string> activeRecord() {
        return KeyValueFile(m->defaultsPath)
            .stringArray(ConnectionManager::activeConnectionsKey)
            .value_or(std::vector<std::string>{"(none)"});
    }
};

} // namespace

TEST_F(Runtime, StartServePsqlAndStop) {
    std::string queryLog = dir / "logs-not-yet.txt";
    ::setenv("QUERY_LOG", queryLog.c_str(), 1);
    auto record = sshRecord("Prod DB", db);
    manager().addConnection(record);
    manager().startConnection(record.id);
    EXPECT_EQ(state(record.id).status(), ConnectionStatus::connecting);
    ASSERT_TRUE(waitForStatus(record.id, ConnectionStatus::connected))
        << state(record.id).errorMessage().value_or("");
    EXPECT_EQ(activeRecord(), std::vector<std::string>{record.id});

    // Starting again while connected changes nothing.
    manager().startConnection(record.id);
    EXPECT_EQ(state(record.id).status(), ConnectionStatus::connected);

    auto first = psql(record.localPort, "SELECT name FROM t WHERE id = 1");
    EXPECT_EQ(first.exitCode, 0) << first.output;
    EXPECT_EQ(first.output, "one\n");
    auto second = psql(record.localPort, "SELECT count(*) FROM t");
    EXPECT_EQ(second.output, "1\n");
    ASSERT_TRUE(waitFor(*loop, [&] { return state(record.id).queryCount() >= 2; }));

    // The log file was created by the first statement and appended to by the next.
    auto lines = linesOf(queryLog);
    ASSERT_GE(lines.size(), 2u);
    std::regex shape(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] \[Prod DB:(\d+)\] (.*))");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, shape)) << lines[0];
    EXPECT_EQ(match[1], std::to_string(record.localPort));
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) {
                               return l.ends_with("] SELECT name FROM t WHERE id = 1");
                           }),
              lines.end());
    ::unsetenv("QUERY_LOG");

    manager().stopConnection(record.id);
    // Settled at once, before the server's report arrives.
    EXPECT_EQ(state(record.id).status(), ConnectionStatus::stopped);
    EXPECT_EQ(state(record.id).queryCount(), 0);
    EXPECT_FALSE(portAccepts(record.localPort));
    ASSERT_TRUE(waitFor(*loop, [&] { return activeRecord().empty(); }));
    EXPECT_EQ(state(record.id).status(), ConnectionStatus::stopped);
}

TEST_F(Runtime, EditingARunningConnectionRestartsItWithTheNewRecord) {
    auto record = sshRecord("edit me", db);
    manager().addConnection(record);
    manager().startConnection(record.id);
    ASSERT_TRUE(waitForStatus(record.id, ConnectionStatus::connected));

    auto edited = record;
    edited.localPort = freePort();
    edited.readOnly = true;
    manager().updateConnection(edited);
    ASSERT_TRUE(waitForStatus(record.id, ConnectionStatus::connected))
        << state(record.id).errorMessage().value_or("");
    // Late reports of the old server do not disturb the new one.
    loop->runUntil([] { return false; }, 200ms);
    EXPECT_EQ(state(record.id).status(), ConnectionStatus::connected);
    EXPECT_FALSE(portAccepts(record.localPort));
    EXPECT_EQ(psql(edited.localPort, "SELECT name FROM t").output, "one\n");
    auto write = psql(edited.localPort, "INSERT INTO t VALUES (2, 'two')");
    EXPECT_NE(write.exitCode, 0) << write.output;
}

TEST_F(Runtime, StartFailuresCarryTheirTexts) {
    auto unreachable = sshRecord("nobody listens", db);
    unreachable.sshPort = freePort();
    auto wrongPassword = sshRecord("bad password", db);
    auto missingDb = sshRecord("missing db", sshd().dbDir() + "/does-not-exist.db");
    auto emptyHost = sshRecord("empty host", db);
    emptyHost.sshHostname = "";
    KeychainHelper::savePassword("wrong", wrongPassword.id);
    auto noKeyringItem = sshRecord("no secret stored", db);
    KeychainHelper::deleteCredentials(noKeyringItem.id);
    struct Case {
        Connection record;
        const char* prefix;
    } cases[] = {
        {unreachable, "SSH connect failed: SSH connection failed: "},
        {wrongPassword, "SSH connect failed: SSH "},
        {missingDb, "SSH connect failed: "},
        {emptyHost, "SSH connect failed: "},
        {noKeyringItem, "SSH connect failed: SSH authentication failed: "},
    };
    for (const auto& c : cases) {
        manager().addConnection(c.record);
        manager().startConnection(c.record.id);
        ASSERT_TRUE(waitForStatus(c.record.id, ConnectionStatus::error)) << c.record.name;
        EXPECT_TRUE(state(c.record.id).errorMessage().value_or("").starts_with(c.prefix))
            << c.record.name << ": " << state(c.record.id).errorMessage().value_or("");
        EXPECT_FALSE(portAccepts(c.record.localPort));
    }
    // A failed start can be retried once the cause is gone.
    auto fixed = cases[0].record;
    fixed.sshPort = sshd().port();
    manager().updateConnection(fixed);
    manager().startConnection(fixed.id);
    EXPECT_TRUE(waitForStatus(fixed.id, ConnectionStatus::connected));
}

TEST_F(Runtime, PortAlreadyTakenIsAnErrorAndStopStillCleansUp) {
    auto record = sshRecord("taken", db);
    int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(record.localPort);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);

    manager().addConnection(record);
    manager().startConnection(record.id);
    ASSERT_TRUE(waitForStatus(record.id, ConnectionStatus::error));
    loop->runUntil([] { return false; }, 200ms); // let every report land
    EXPECT_EQ(state(record.id).status(), ConnectionStatus::error);
    EXPECT_EQ(state(record.id).errorMessage(), "Bind failed: Address already in use");
    EXPECT_EQ(activeRecord(), std::vector<std::string>{});
    ::close(blocker);

    // With the port free again the connection starts normally.
    manager().startConnection(record.id);
    EXPECT_TRUE(waitForStatus(record.id, ConnectionStatus::connected))
        << state(record.id).errorMessage().value_or("");
}

TEST_F(Runtime, HealthCheckFindsADeadBackend) {
    launch([] {
        ConnectionManager::Options o;
        o.healthCheckInterval = 100ms;
        return o;
    }());
    auto record = sshRecord("fragile", db);
    manager().addConnection(record);
    manager().startConnection(record.id);
    ASSERT_TRUE(waitForStatus(record.id, ConnectionStatus::connected));
    std::vector<ConnectionStatus> seen;
    auto subscription = state(record.id).changed().connect([&](ConnectionState::Property p) {
        if (p == ConnectionState::Property::status) seen.push_back(state(record.id).status());
    });

    sshd().restart(); // every session of the server dies
    ASSERT_TRUE(waitFor(*loop, [&] { return seen.size() >= 2; }));
    EXPECT_EQ(seen,
              (std::vector<ConnectionStatus>{ConnectionStatus::error, ConnectionStatus::stopped}));
    EXPECT_EQ(state(record.id).errorMessage(), ConnectionManager::connectionLostMessage);
    EXPECT_EQ(state(record.id).connectedClients(), 0);
    EXPECT_FALSE(portAccepts(record.localPort));
    EXPECT_EQ(activeRecord(), std::vector<std::string>{});
    // No reconnection is tried.
    loop->runUntil([] { return false; }, 300ms);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(Runtime, RunningConnectionsComeBackAtTheNextLaunch) {
    auto a = sshRecord("a", db), b = sshRecord("b", db), c = sshRecord("c", db);
    manager().setReconnectOnStartup(true);
    for (const auto& r : {a, b, c}) manager().addConnection(r);
    manager().startConnection(c.id);
    manager().startConnection(a.id);
    ASSERT_TRUE(waitFor(*loop, [&] {
        return state(a.id).status() == ConnectionStatus::connected &&
               state(c.id).status() == ConnectionStatus::connected;
    }));
    EXPECT_EQ(activeRecord(), (std::vector<std::string>{a.id, c.id}));

    // Quitting records the running connections and stops nothing; here the servers are
    // stopped behind the record's back only to free their ports for the next launch.
    manager().saveActiveConnections();
    manager().stopAll();
    m->manager.reset();
    loop->drain();
    EXPECT_EQ(activeRecord(), (std::vector<std::string>{a.id, c.id}));
    KeyValueFile(m->defaultsPath)
        .setStringArray(ConnectionManager::activeConnectionsKey,
                        {c.id, "not-a-uuid", uuid::make(), a.id});

    launch();
    std::vector<std::string> started;
    std::vector<Subscription> watching;
    for (const auto& r : {a, b, c})
        watching.push_back(state(r.id).changed().connect([&, id = r.id](auto p) {
            if (p == ConnectionState::Property::status &&
                state(id).status() == ConnectionStatus::connecting)
                started.push_back(id);
        }));
    manager().reconnectPreviouslyActive();
    EXPECT_EQ(started, (std::vector<std::string>{a.id, c.id})); // list order
    ASSERT_TRUE(waitFor(*loop, [&] {
        return state(a.id).status() == ConnectionStatus::connected &&
               state(c.id).status() == ConnectionStatus::connected;
    }));
    EXPECT_EQ(state(b.id).status(), ConnectionStatus::stopped);
    EXPECT_EQ(psql(c.localPort, "SELECT name FROM t").output, "one\n");
}

namespace {

// Holds connect() until released, to stop a connection while its backend is connecting.
class GatedBackend : public InProcessSQLiteBackend {
public:
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::atomic<bool> connected{false};
    std::atomic<int> closed{0};
    void connect() override {
        opened.wait();
        connected = true;
    }
    void close() override { ++closed; }
};

} // namespace

TEST_F(Runtime, StopWhileConnectingCancelsTheStart) {
    auto backend = std::make_shared<GatedBackend>();
    launch([backend] {
        ConnectionManager::Options o;
        o.backendFactory = [backend](const Connection&) { return backend; };
        return o;
    }());
    auto record = sshRecord("slow", db);
    manager().addConnection(record);
    manager().startConnection(record.id);
    EXPECT_EQ(state(record.id).status(), ConnectionStatus::connecting);
    manager().stopConnection(record.id);
    EXPECT_EQ(state(record.id).status(), ConnectionStatus::stopped);

    backend->gate.set_value();
    ASSERT_TRUE(waitFor(*loop, [&] { return backend->closed.load() == 1; }));
    loop->runUntil([] { return false; }, 200ms);
    EXPECT_TRUE(backend->connected);
    EXPECT_EQ(state(record.id).status(), ConnectionStatus::stopped);
    EXPECT_FALSE(portAccepts(record.localPort));
    EXPECT_EQ(activeRecord(), std::vector<std::string>{"(none)"});
}

TEST_F(Runtime, FlyConnectionServesThroughTheStandIn) {
    auto record = flyStandInRecord("fly local", localDatabase());
    manager().addConnection(record);
    manager().startConnection(record.id);
    ASSERT_TRUE(waitForStatus(record.id, ConnectionStatus::connected))
        << state(record.id).errorMessage().value_or("");
    auto answer = psql(record.localPort, "SELECT name FROM t");
    EXPECT_EQ(answer.output, "fly one\n");
    // The server gets the SQLite translation rules: a catalog question is answered.
    auto catalog = psql(record.localPort, "SELECT current_database()");
    EXPECT_EQ(catalog.exitCode, 0) << catalog.output;
    manager().stopConnection(record.id);
    EXPECT_FALSE(portAccepts(record.localPort));
}

TEST_F(Runtime, FlyStartFailureShowsTheBackendsDescription) {
    ::setenv("FLY_STANDIN_FAIL", "Error: app not found", 1);
    auto record = flyStandInRecord("no such app", localDatabase());
    std::string description = "(no failure)";
    try {
        FlyBackend(*record.flyApp, record.dbPath, 10).connect();
    } catch (const std::exception& e) {
        description = e.what();
    }
    manager().addConnection(record);
    manager().startConnection(record.id);
    ASSERT_TRUE(waitForStatus(record.id, ConnectionStatus::error));
    EXPECT_EQ(state(record.id).errorMessage(), "SSH connect failed: " + description);
}

TEST_F(Runtime, HealthCheckFindsAFlyChildThatEnded) {
    launch([] {
        ConnectionManager::Options o;
        o.healthCheckInterval = 100ms;
        return o;
    }());
    std::string pidFile = dir / "fly.pid";
    ::setenv("FLY_STANDIN_PIDFILE", pidFile.c_str(), 1);
    auto record = flyStandInRecord("fly fragile", localDatabase());
    manager().addConnection(record);
    manager().startConnection(record.id);
    ASSERT_TRUE(waitForStatus(record.id, ConnectionStatus::connected));
    auto pid = std::stoi(linesOf(pidFile).at(0));
    ::kill(pid, SIGKILL);
    ASSERT_TRUE(waitForStatus(record.id, ConnectionStatus::stopped));
    EXPECT_EQ(state(record.id).errorMessage(), ConnectionManager::connectionLostMessage);
    EXPECT_FALSE(portAccepts(record.localPort));
}

TEST_F(Runtime, RemovingARunningConnectionStopsItAndDeletesItsSecrets) {
    auto record = sshRecord("doomed", db);
    KeychainHelper::saveSSHKey("key bytes", record.id);
    KeychainHelper::saveSSHKeyPassphrase("phrase", record.id);
    auto other = sshRecord("bystander", db);
    manager().addConnection(record);
    manager().addConnection(other);
    manager().startConnection(record.id);
    ASSERT_TRUE(waitForStatus(record.id, ConnectionStatus::connected));

    manager().removeConnection(record.id);
    EXPECT_FALSE(portAccepts(record.localPort));
    EXPECT_EQ(KeychainHelper::loadPassword(record.id), std::nullopt);
    EXPECT_EQ(KeychainHelper::loadSSHKey(record.id), std::nullopt);
    EXPECT_EQ(KeychainHelper::loadSSHKeyPassphrase(record.id), std::nullopt);
    EXPECT_EQ(KeychainHelper::loadPassword(other.id), sshtest::password);
    EXPECT_EQ(m->names(), std::vector<std::string>{"bystander"});
    EXPECT_EQ(manager().states().count(record.id), 0u);
    EXPECT_EQ(KeyValueFile(m->defaultsPath).stringArray(ConnectionManager::deletedIdsKey),
              std::vector<std::string>{record.id});
    // The stopped server's late report finds no state and changes nothing.
    loop->runUntil([] { return false; }, 200ms);
    EXPECT_EQ(manager().states().count(record.id), 0u);
}

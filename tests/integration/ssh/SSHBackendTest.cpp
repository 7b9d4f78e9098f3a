#include "backends/SSHBackend.h"

#include "SSHServer.h"
#include "support/Text.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace quillhaven;
using sshtest::SSHEnvironment;

static ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new SSHEnvironment);

namespace {

sshtest::SSHServer& server() {
    return SSHEnvironment::server();
}

std::shared_ptr<SSHBackend> backendFor(const std::string& dbPath, SSHCredentials credentials,
                                       double timeout = 10, bool readOnly = false) {
    return std::make_shared<SSHBackend>("127.0.0.1", server().port(), sshtest::user,
                                        std::move(credentials), dbPath, timeout, readOnly);
}

std::shared_ptr<SSHBackend> passwordBackend(const std::string& dbPath, double timeout = 10,
                                            bool readOnly = false) {
    return backendFor(dbPath, SSHCredentials::password(sshtest::password), timeout, readOnly);
}

Cell textCell(const std::string& s) {
    return Cell{s};
}
Cell integer(std::int64_t v) {
    return Cell{v};
}

std::string failureOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no failure)";
}

int count(const testsupport::LogCapture& log, const std::string& line) {
    int n = 0;
    for (const auto& r : log.records())
        if (r.category == "SSHBackend" && r.revealed == line) ++n;
    return n;
}

class SSHBackendTest : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_SSH_SERVER(); }
};

} // namespace

TEST_F(SSHBackendTest, ConnectsWithPasswordAndEveryKeyType) {
    std::string db =
        server().makeDatabase("auth.db", "CREATE TABLE t(a); INSERT INTO t VALUES (7);");
    struct Case {
        const char* name;
        SSHCredentials credentials;
    } cases[] = {
        {"password", SSHCredentials::password(sshtest::password)},
        {"ed25519", SSHCredentials::privateKey(server().key("k_ed25519"))},
        {"rsa (OpenSSH format)", SSHCredentials::privateKey(server().key("k_rsa"))},
        {"rsa (PEM)", SSHCredentials::privateKey(server().key("k_rsa_pem"))},
        {"ecdsa P-256", SSHCredentials::privateKey(server().key("k_ecdsa256"))},
        {"ecdsa P-384", SSHCredentials::privateKey(server().key("k_ecdsa384"))},
        {"ecdsa P-521", SSHCredentials::privateKey(server().key("k_ecdsa521"))},
    };
    for (auto& c : cases) {
        auto backend = backendFor(db, c.credentials);
        ASSERT_NO_THROW(backend->connect()) << c.name;
        EXPECT_TRUE(backend->isAlive()) << c.name;
        auto result = backend->execute("SELECT a FROM t");
        ASSERT_TRUE(result) << c.name;
        EXPECT_EQ(result->rows, std::vector<Row>{{integer(7)}}) << c.name;
        backend->close();
        EXPECT_FALSE(backend->isAlive()) << c.name;
    }
}

TEST_F(SSHBackendTest, RefusedSecretsGiveReadableErrors) {
    std::string db = server().makeDatabase("refused.db", "CREATE TABLE t(a);");
    struct Case {
        const char* name;
        SSHCredentials credentials;
        std::string expected;
    } cases[] = {
        {"wrong password", SSHCredentials::password("not-the-password"),
         "SSH connection failed: The server did not accept the password for user sqtest"},
        {"unknown key", SSHCredentials::privateKey(server().key("k_stranger")),
         "SSH connection failed: The server did not accept the private key for user sqtest"},
        {"encrypted key", SSHCredentials::privateKey(server().key("k_encrypted")),
         "The private key could not be read: it is encrypted with a passphrase or not in a "
         "supported format"},
        {"not a key", SSHCredentials::privateKey("hello"),
         "The private key could not be read: it is encrypted with a passphrase or not in a "
         "supported format"},
        {"key not UTF-8", SSHCredentials::privateKey("\xff\xfe key"),
         "SSH authentication failed: SSH key data is not valid UTF-8"},
        {"no agent", SSHCredentials::agent(),
         "SSH connection failed: The server did not accept any key of the ssh-agent for user "
         "sqtest"},
    };
    for (auto& c : cases) {
        auto backend = backendFor(db, c.credentials);
        EXPECT_EQ(failureOf([&] { backend->connect(); }), c.expected) << c.name;
        EXPECT_FALSE(backend->isAlive()) << c.name;
    }
}

TEST_F(SSHBackendTest, PathWithASingleQuote) {
    std::string db =
        server().makeDatabase("o'brien.db", "CREATE TABLE t(a); INSERT INTO t VALUES ('x');");
    auto backend = passwordBackend(db);
    backend->connect();
    auto result = backend->execute("SELECT a FROM t");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->rows, std::vector<Row>{{textCell("x")}});
}

TEST_F(SSHBackendTest, MissingDatabaseFailsTheConnectAndIsNotCreated) {
    std::string db = server().dbDir() + "/missing.db";
    auto backend = passwordBackend(db);
    std::string error = failureOf([&] { backend->connect(); });
    EXPECT_TRUE(text::startsWith(error, "SSH connection failed: ")) << error;
    EXPECT_NE(error.find("unable to open database"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(db));
    EXPECT_FALSE(backend->isAlive());
}

TEST_F(SSHBackendTest, ResultsEmptyResultsAndErrors) {
    std::string db = server().makeDatabase(
        "results.db", "CREATE TABLE u(a UNIQUE, b); INSERT INTO u VALUES (1, 'one'), (2, NULL);");
    auto backend = passwordBackend(db);
    testsupport::LogCapture log;
    backend->connect();

    auto rows = backend->execute("SELECT a, b FROM u ORDER BY a;;  \n");
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->columns.size(), 2u);
    EXPECT_EQ(rows->columns[0].name, "a");
    EXPECT_EQ(rows->columns[1].name, "b");
    EXPECT_EQ(rows->rows, (std::vector<Row>{{integer(1), textCell("one")}, {integer(2), Cell{}}}));

    EXPECT_FALSE(backend->execute("UPDATE u SET b = 'two' WHERE a = 2"));
    EXPECT_FALSE(backend->execute("SELECT a FROM u WHERE a > 100"));
    auto commented = backend->execute("SELECT 3 AS n -- a trailing comment stays a comment");
    ASSERT_TRUE(commented);
    EXPECT_EQ(commented->rows, std::vector<Row>{{integer(3)}});

    // An SQL error keeps the connection: no reconnect before the next statement.
    EXPECT_EQ(failureOf([&] { backend->execute("INSERT INTO u VALUES (1, 'dup')"); }),
              "SQLite error: UNIQUE constraint failed: u.a (19)");
    EXPECT_EQ(failureOf([&] { backend->execute("SELECT * FROM nope"); }),
              "SQLite error: Parse error near line 1: no such table: nope");
    // An error after some rows were printed is still the error, not a parse failure.
    EXPECT_EQ(failureOf([&] { backend->execute("SELECT a FROM u; SELECT * FROM nope"); }),
              "SQLite error: Parse error near line 1: no such table: nope");
    EXPECT_TRUE(backend->isAlive());
    auto after = backend->execute("SELECT b FROM u WHERE a = 2");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->rows, std::vector<Row>{{textCell("two")}});
    EXPECT_EQ(count(log, "Reconnecting SSH session"), 0);
    EXPECT_EQ(count(log, "SQLite error: sql=SELECT * FROM nope error=Parse error near line 1: no "
                         "such table: nope"),
              1);
}

TEST_F(SSHBackendTest, TimedOutStatementThenReconnects) {
    std::string db = server().makeDatabase("slow.db", "CREATE TABLE t(a);");
    auto backend = passwordBackend(db, 1.5);
    testsupport::LogCapture log;
    backend->connect();
    auto started = std::chrono::steady_clock::now();
    // Runs for a few seconds on the server, well past the deadline.
    EXPECT_EQ(failureOf([&] {
                  backend->execute("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                                   "FROM c WHERE x < 20000000) SELECT count(*) FROM c");
              }),
              "Timeout: Query timed out after 1s");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    EXPECT_FALSE(backend->isAlive());

    auto result = backend->execute("SELECT 42 AS answer");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->rows, std::vector<Row>{{integer(42)}});
    EXPECT_EQ(count(log, "Reconnecting SSH session"), 1);
}

TEST_F(SSHBackendTest, ServerRestartedUnderALiveBackend) {
    std::string db = server().makeDatabase("restart.db", "CREATE TABLE t(a);");
    auto backend = passwordBackend(db);
    testsupport::LogCapture log;
    backend->connect();
    EXPECT_TRUE(backend->isAlive());

    server().restart();
    // The closed transport shows without any statement being run.
    bool alive = true;
    for (int i = 0; i < 100 && alive; ++i) {
        alive = backend->isAlive();
        if (alive) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_FALSE(alive);

    auto result = backend->execute("SELECT 1 AS one");
    ASSERT_TRUE(result);
    EXPECT_EQ(count(log, "Reconnecting SSH session"), 1);
    EXPECT_TRUE(backend->isAlive());
}

TEST_F(SSHBackendTest, ReadOnlyConnectionCannotWrite) {
    std::string db = server().makeDatabase("ro.db", "CREATE TABLE t(a); INSERT INTO t VALUES (1);");
    auto backend = passwordBackend(db, 10, true);
    backend->connect();
    std::string error = failureOf([&] { backend->execute("SELECT 1; DELETE FROM t"); });
    EXPECT_NE(error.find("attempt to write a readonly database"), std::string::npos) << error;
    auto rows = backend->execute("SELECT count(*) AS n FROM t");
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->rows, std::vector<Row>{{integer(1)}});
}

TEST_F(SSHBackendTest, StatementsLargerThanAnExecRequest) {
    REQUIRE_SSH_SERVER();
    std::string db =
        server().makeDatabase("large.db", "CREATE TABLE blobs (id INTEGER, body TEXT);");
    auto backend = passwordBackend(db);
    backend->connect();
    // 600 KB of text in one INSERT: more than an SSH server takes in one exec request.
    std::string body(600 * 1024, 'x');
    body.replace(1000, 3, "it'");
    std::string escaped;
    for (char c : body) escaped += c == '\'' ? std::string("''") : std::string(1, c);
    EXPECT_FALSE(backend->execute("INSERT INTO blobs VALUES (1, '" + escaped + "')"));
    auto result =
        backend->execute("SELECT length(body) AS n, substr(body, 1000, 5) AS s FROM blobs");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->rows.at(0).at(0), Cell(CellValue{std::int64_t(body.size())}));
    EXPECT_EQ(result->rows.at(0).at(1), Cell(CellValue{std::string("xit'x")}));
    auto small = backend->execute("SELECT 1 AS one"); // the session is still usable
    ASSERT_TRUE(small);
}

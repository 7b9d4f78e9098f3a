// End to end: real PostgreSQL clients talk to `quillhaven-cli serve` on a real SQLite file.

#include "ServeProcess.h"
#include "TestSupport.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <libpq-fe.h>

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const std::string schema = R"(
CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT NOT NULL, price REAL, data BLOB);
INSERT INTO items VALUES (1, 'pen', 2.5, NULL), (2, 'ink', 10.0, x'00FF41'), (3, 'café', NULL, NULL);
)";

void makeDatabase(const std::string& path, const std::string& sql = schema) {
    auto r = run("sqlite3 '" + path + "' \"" + sql + "\"");
    ASSERT_EQ(r.exitCode, 0) << r.output;
}

class Serve : public ::testing::Test {
protected:
    void SetUp() override { makeDatabase(db); }

    std::unique_ptr<ServeProcess> start(std::vector<std::string> extra = {},
                                        std::vector<std::string> env = {}) {
        std::vector<std::string> args{"serve", "--port", std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        if (extra.empty() || extra.back().rfind("fly://", 0) != 0) args.push_back(db);
        auto p = std::make_unique<ServeProcess>(args, env);
        EXPECT_TRUE(p->waitForOutput("Connect with: psql -h localhost -p " + std::to_string(port) +
                                     " -U any -d any"))
            << p->output();
        return p;
    }

    TempDir dir;
    std::string db = dir / "shop.db";
    unsigned short port = freePort();
};

TEST_F(Serve, PsqlReadsAndWritesThroughTheSimpleProtocol) {
    auto serve = start();
    auto r = psql(port, "SELECT id, name, price FROM items ORDER BY id");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "1|pen|2.5\n2|ink|10\n3|café|\n");

    r = psql(port, "INSERT INTO items (id, name) VALUES (4, 'nib')", "");
    EXPECT_EQ(r.output, "INSERT 0 1\n");
    r = psql(port, "UPDATE items SET price = 1 WHERE id > 0", "");
    EXPECT_EQ(r.output, "UPDATE 1\n");
    EXPECT_EQ(psql(port, "SELECT count(*) FROM items WHERE price = 1").output, "4\n");

    r = psql(port, "SELECT * FROM missing");
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.output.find("no such table: missing"), std::string::npos) << r.output;
}

TEST_F(Serve, BlobsWithInvalidUtf8DoNotLoseTheRow) {
    auto serve = start();
    auto r = psql(port, "SELECT id, length(data) FROM items WHERE data IS NOT NULL");
    EXPECT_EQ(r.output, "2|3\n");
    r = psql(port, "SELECT id, data IS NOT NULL FROM items ORDER BY id");
    EXPECT_EQ(r.output, "1|0\n2|1\n3|0\n");
    r = psql(port, "SELECT id FROM items WHERE id = 2 AND data IS NOT NULL UNION ALL "
                   "SELECT id FROM items WHERE id = 2");
    EXPECT_EQ(r.output, "2\n2\n");
}

TEST_F(Serve, LibpqExtendedProtocolWithParameters) {
    auto serve = start();
    std::string conninfo =
        "host=127.0.0.1 port=" + std::to_string(port) + " user=any dbname=any connect_timeout=10";
    PGconn* conn = PQconnectdb(conninfo.c_str());
    ASSERT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);

    const char* values[] = {"2", "it's"};
    PGresult* res = PQexecParams(conn, "SELECT name, $2 AS quoted FROM items WHERE id = $1", 2,
                                 nullptr, values, nullptr, nullptr, 0);
    ASSERT_EQ(PQresultStatus(res), PGRES_TUPLES_OK) << PQerrorMessage(conn);
    ASSERT_EQ(PQntuples(res), 1);
    EXPECT_STREQ(PQgetvalue(res, 0, 0), "ink");
    EXPECT_STREQ(PQgetvalue(res, 0, 1), "it's");
    PQclear(res);

    res = PQprepare(conn, "byname", "SELECT id FROM items WHERE name = $1", 1, nullptr);
    ASSERT_EQ(PQresultStatus(res), PGRES_COMMAND_OK) << PQerrorMessage(conn);
    PQclear(res);
    const char* name[] = {"café"};
    res = PQexecPrepared(conn, "byname", 1, name, nullptr, nullptr, 0);
    ASSERT_EQ(PQresultStatus(res), PGRES_TUPLES_OK) << PQerrorMessage(conn);
    EXPECT_STREQ(PQgetvalue(res, 0, 0), "3");
    PQclear(res);
    PQfinish(conn);
}

TEST_F(Serve, Psycopg3DriverWorks) {
    auto serve = start();
    auto r = psycopg(port, dir / "client.py",
                     "    c.autocommit = True\n"
                     "    rows = c.execute('SELECT id, name FROM items WHERE id < %s "
                     "ORDER BY id', (3,)).fetchall()\n"
                     "    print(rows)\n");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("[('1', 'pen'), ('2', 'ink')]"), std::string::npos) << r.output;
}

TEST_F(Serve, StatementTextCannotRunShellOrDotCommands) {
    auto serve = start();
    std::string marker = dir / "pwned";
    const std::string attacks[] = {
        "SELECT 1;\n.shell touch " + marker, "SELECT 1;\n.system touch " + marker,
        "SELECT 1;\n.output " + marker,
        "SELECT 'x\n.shell touch " + marker, // unterminated string that would swallow the end
    };
    for (const auto& attack : attacks) {
        auto r = psql(port, attack);
        EXPECT_NE(r.exitCode, 0) << attack << "\n" << r.output;
        EXPECT_FALSE(std::filesystem::exists(marker)) << attack;
    }
    // The session and the backend still work afterwards.
    EXPECT_EQ(psql(port, "SELECT count(*) FROM items").output, "3\n");
}

TEST_F(Serve, ReadOnlyRefusesWritesEvenBehindAQuery) {
    auto serve = start({"--read-only"});
    auto r = psql(port, "DELETE FROM items");
    EXPECT_NE(r.output.find("Read-only mode is enabled. Only SELECT queries are allowed."),
              std::string::npos)
        << r.output;
    r = psql(port, "SELECT 1; DELETE FROM items");
    EXPECT_NE(r.exitCode, 0) << r.output;
    EXPECT_EQ(run("sqlite3 '" + db + "' 'SELECT count(*) FROM items'").output, "3\n");
}

TEST_F(Serve, BadClientsDoNotDisturbOthers) {
    auto serve = start();
    struct Case {
        std::string name, bytes;
    } cases[] = {
        {"garbage", std::string("\x01\x02garbage\xff\xfe", 13)},
        {"truncated startup", std::string("\x00\x00\x00\x20\x00\x03", 6)},
        {"huge length", std::string("\x00\x00\x00\x08\x04\xd2\x16\x2f"
                                    "Q\x7f\xff\xff\xff",
                                    13)},
        {"ssl request", std::string("\x00\x00\x00\x08\x04\xd2\x16\x2f", 8)},
        {"cancel request", std::string("\x00\x00\x00\x10\x04\xd2\x16\x2e\x00\x00\x00\x01\x00\x00"
                                       "\x00\x02",
                                       16)},
    };
    for (const auto& c : cases) {
        std::string file = dir / "bytes";
        std::ofstream(file, std::ios::binary) << c.bytes;
        run("timeout 5 bash -c 'cat " + file + " > /dev/tcp/127.0.0.1/" + std::to_string(port) +
            "'");
        EXPECT_EQ(psql(port, "SELECT count(*) FROM items").output, "3\n") << c.name;
    }
    EXPECT_FALSE(serve->exited()) << serve->output();
}

TEST_F(Serve, StopsCleanlyOnSigterm) {
    auto serve = start();
    serve->signal(SIGTERM);
    ASSERT_TRUE(serve->waitForExit(10s));
    EXPECT_EQ(serve->exitCode(), 0);
    EXPECT_NE(serve->output().find("Stopped."), std::string::npos);
    EXPECT_NE(psql(port, "SELECT 1").exitCode, 0); // nothing listens any more
    EXPECT_EQ(run("pgrep -f '[s]qlite3.*" + db + "'").output, "") << "the sqlite3 child lives on";
}

TEST_F(Serve, FailedStartsExitOneWithTheSystemsMessage) {
    auto first = start();
    ServeProcess second({"serve", "--port", std::to_string(port), db});
    ASSERT_TRUE(second.waitForExit(20s)) << second.output();
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_NE(second.output().find("Bind failed: Address already in use"), std::string::npos)
        << second.output();

    std::string missing = dir / "missing.db";
    ServeProcess third({"serve", "--port", std::to_string(freePort()), missing});
    ASSERT_TRUE(third.waitForExit(20s));
    EXPECT_EQ(third.exitCode(), 1) << third.output();
    EXPECT_FALSE(std::filesystem::exists(missing)) << "a missing database must not be created";
}

TEST(ServeUsage, UsageErrorsExitTwoWithAReason) {
    const std::vector<std::string> cases[] = {
        {"serve"},
        {"serve", "--port", "0", "x.db"},
        {"serve", "--port", "70000", "x.db"},
        {"serve", "--port", "abc", "x.db"},
        {"serve", "postgres://h/x.db"},
        {"serve", "fly://app"},
        {"frobnicate"},
    };
    for (const auto& args : cases) {
        ServeProcess p(args);
        ASSERT_TRUE(p.waitForExit(10s));
        EXPECT_EQ(p.exitCode(), 2) << args.back() << "\n" << p.output();
        EXPECT_NE(p.output().find("usage: quillhaven-cli serve"), std::string::npos) << p.output();
    }
    ServeProcess help({"serve", "--help"});
    ASSERT_TRUE(help.waitForExit(10s));
    EXPECT_EQ(help.exitCode(), 0);
    EXPECT_NE(help.output().find("--read-only"), std::string::npos) << help.output();
}

TEST_F(Serve, FlyTargetsGoThroughTheFlyCommand) {
    // The stand-in plays `fly ssh console -a APP -C CMD` by running CMD on this machine.
    auto serve = start({"fly://demo-app" + db}, {"QUILLHAVEN_FLY_PATH=" QUILLHAVEN_FIXTURES});
    EXPECT_EQ(psql(port, "SELECT name FROM items WHERE id = 1").output, "pen\n");

    ServeProcess noFly({"serve", "--port", std::to_string(freePort()), "fly://demo-app" + db},
                       {"QUILLHAVEN_FLY_PATH=" + dir.path().string()});
    ASSERT_TRUE(noFly.waitForExit(20s));
    EXPECT_EQ(noFly.exitCode(), 1);
    EXPECT_NE(noFly.output().find("'fly' CLI not found"), std::string::npos) << noFly.output();
}

TEST_F(Serve, ResultsLargerThanABatchArriveWholeAndInOrder) {
    auto serve = start();
    // Most rows hold a blob whose raw line feed splits its JSON line right after "},":
    // only a real row boundary may cut the answer into batches.
    auto r = psql(port, "SELECT value, CASE WHEN value % 7 <> 0 THEN x'617D2C0A7B62' "
                        "ELSE 'r' || value END FROM generate_series(1, 20000)");
    std::string expected;
    for (int i = 1; i <= 20000; ++i)
        expected +=
            std::to_string(i) + "|" + (i % 7 != 0 ? "a},\n{b" : "r" + std::to_string(i)) + "\n";
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.output == expected) << r.output.substr(0, 500);
}

TEST_F(Serve, AnErrorAfterRowsFollowsThoseRowsAndTheSessionGoesOn) {
    auto serve = start();
    std::string conninfo =
        "host=127.0.0.1 port=" + std::to_string(port) + " user=any dbname=any connect_timeout=10";
    PGconn* conn = PQconnectdb(conninfo.c_str());
    ASSERT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
    // The shell prints the rows before the failing one, then the error. An error within the
    // first batch is answered alone; a later one comes after every row printed before it.
    struct Case {
        int failingRow;
        int rowsBeforeError;
    } cases[] = {{10, 0}, {9000, 8999}};
    for (const auto& c : cases) {
        std::string sql = "SELECT CASE WHEN value < " + std::to_string(c.failingRow) +
                          " THEN value ELSE json('bad') END AS v FROM generate_series(1, 10000)";
        ASSERT_EQ(PQsendQuery(conn, sql.c_str()), 1);
        ASSERT_EQ(PQsetSingleRowMode(conn), 1);
        int rows = 0;
        bool inOrder = true;
        std::string error;
        while (PGresult* result = PQgetResult(conn)) {
            if (PQresultStatus(result) == PGRES_SINGLE_TUPLE) {
                inOrder = inOrder && std::to_string(++rows) == PQgetvalue(result, 0, 0);
            } else if (PQresultStatus(result) == PGRES_FATAL_ERROR) {
                error = PQresultErrorMessage(result);
            }
            PQclear(result);
        }
        EXPECT_EQ(rows, c.rowsBeforeError) << c.failingRow;
        EXPECT_TRUE(inOrder) << c.failingRow;
        EXPECT_NE(error.find("malformed JSON"), std::string::npos) << error;

        // The same session answers the next statement, here through the extended protocol.
        const char* count[] = {"20000"};
        PGresult* next = PQexecParams(conn, "SELECT value FROM generate_series(1, $1)", 1, nullptr,
                                      count, nullptr, nullptr, 0);
        ASSERT_EQ(PQresultStatus(next), PGRES_TUPLES_OK) << PQresultErrorMessage(next);
        EXPECT_EQ(PQntuples(next), 20000);
        EXPECT_STREQ(PQgetvalue(next, 19999, 0), "20000");
        PQclear(next);
    }
    PQfinish(conn);
}

TEST(ServeSample, TheBuiltInSampleDatabaseIsServed) {
    unsigned short port = freePort();
    ServeProcess serve({"serve", "--read-only", "--port", std::to_string(port),
                        std::string(QUILLHAVEN_BINARY_DIR) + "/tools/sample.db"});
    ASSERT_TRUE(serve.waitForOutput("Connect with:")) << serve.output();
    EXPECT_EQ(psql(port, "SELECT count(*) FROM customers").output, "500\n");
    EXPECT_EQ(psql(port, "SELECT count(*) FROM order_items").output, "5000\n");
}

} // namespace

namespace {

TEST(ServeLimits, OutOfDescriptorsDoesNotSpinTheAcceptLoop) {
    TempDir dir;
    std::string db = dir / "t.db";
    makeDatabase(db, "CREATE TABLE t (a);");
    unsigned short port = freePort();
    // Few descriptors: a burst of clients exhausts them and accept fails with EMFILE.
    ServeProcess serve({"serve", "--port", std::to_string(port), db}, {},
                       {"prlimit", "--nofile=24:24"});
    ASSERT_TRUE(serve.waitForOutput("Connect with:")) << serve.output();
    auto r = run("timeout 20 /usr/bin/python3 -c '\n"
                 "import socket, time\n"
                 "held = [socket.create_connection((\"127.0.0.1\", " +
                 std::to_string(port) +
                 "), timeout=5) for _ in range(40)]\n"
                 "time.sleep(1.5)\n'");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::string out = serve.output();
    std::size_t failures = 0;
    for (std::size_t at = 0; (at = out.find("Accept failed", at)) != std::string::npos; ++at)
        ++failures;
    EXPECT_GT(failures, 0u) << "the limit was not reached; the test shows nothing";
    EXPECT_LT(failures, 40u) << "accept retried without pause";
    EXPECT_FALSE(serve.exited());
}

} // namespace

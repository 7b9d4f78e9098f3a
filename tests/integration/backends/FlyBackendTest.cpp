#include "backends/FlyBackend.h"

#include "BackendTestSupport.h"
#include "backends/ProcessHelper.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>

using namespace quillhaven;
using namespace backendtest;

namespace {

// Points the fly search at the stand-in script and sets its knobs for one test.
class FlyBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        db = makeDatabase(dir);
        setenv("QUILLHAVEN_FLY_PATH", QUILLHAVEN_FIXTURES, 1);
    }
    void TearDown() override {
        for (const char* knob : {"FLY_STANDIN_LOG", "FLY_STANDIN_CHATTER", "FLY_STANDIN_CRLF",
                                 "FLY_STANDIN_FAIL", "FLY_STANDIN_PIDFILE", "QUILLHAVEN_FLY_PATH"})
            unsetenv(knob);
    }
    testsupport::TempDir dir;
    std::string db;
};

} // namespace

TEST_F(FlyBackendTest, RunsStatementsThroughOneConsoleSession) {
    std::string argLog = dir / "args";
    setenv("FLY_STANDIN_LOG", argLog.c_str(), 1);
    testsupport::LogCapture logs;
    FlyBackend backend("demo-app", db, 10);
    backend.connect();
    EXPECT_TRUE(backend.isAlive());

    auto rows = backend.execute("SELECT id, name FROM users ORDER BY id; \n\t");
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->rows, (std::vector<Row>{{integer(1), txt("ada")}, {integer(2), txt("bob")}}));
    EXPECT_FALSE(backend.execute("UPDATE users SET name = 'eve' WHERE id = 2"));
    EXPECT_FALSE(backend.execute("SELECT * FROM users WHERE id > 100"));
    EXPECT_EQ(backend.execute("SELECT name FROM users WHERE id = 2")->rows[0][0], txt("eve"));
    backend.close();
    EXPECT_FALSE(backend.isAlive());

    // One child for the whole session, started with the console command line.
    std::ifstream in(argLog);
    std::vector<std::string> args;
    for (std::string line; std::getline(in, line);) args.push_back(line);
    EXPECT_EQ(args, (std::vector<std::string>{"ssh", "console", "-a", "demo-app", "-C",
                                              FlyBackend::remoteCommand(db, false), "--"}));
    EXPECT_TRUE(
        logs.contains("FlyBackend", "Establishing persistent SSH session: app=demo-app db=" + db));
    bool established = false, executed = false;
    for (const auto& r : logs.records()) {
        established |= r.revealed.starts_with("Persistent SSH session established in ");
        executed |= r.revealed.starts_with("Execute: sql=UPDATE users SET name = 'eve' WHERE "
                                           "id = 2 ms=") &&
                    r.revealed.ends_with(" result=empty");
    }
    EXPECT_TRUE(established);
    EXPECT_TRUE(executed);
}

TEST_F(FlyBackendTest, SqlErrorsKeepTheSessionAndToolChatterIsIgnored) {
    setenv("FLY_STANDIN_CHATTER", "1", 1);
    setenv("FLY_STANDIN_CRLF", "1", 1);
    FlyBackend backend("demo-app", db, 10);
    backend.connect();
    auto e = errorOf<FlyBackendError>([&] { backend.execute("SELECT * FROM nope"); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->errorCase(), FlyBackendError::Case::sqliteError);
    EXPECT_TRUE(std::string(e->what()).starts_with("SQLite error: Parse error near line "))
        << e->what();
    EXPECT_TRUE(std::string(e->what()).ends_with("no such table: nope")) << e->what();
    // Carriage returns from the relay do not reach the values or hide the sentinel.
    EXPECT_EQ(backend.execute("SELECT name FROM users WHERE id = 1")->rows[0][0], txt("ada"));
    EXPECT_TRUE(backend.isAlive());
}

TEST_F(FlyBackendTest, MissingToolOrUnreachableApp) {
    setenv("QUILLHAVEN_FLY_PATH", (dir / "empty").c_str(), 1);
    FlyBackend backend("demo-app", db, 5);
    auto e = errorOf<FlyBackendError>([&] { backend.connect(); });
    ASSERT_TRUE(e);
    EXPECT_STREQ(e->what(), "Connection failed: 'fly' CLI not found. Install from "
                            "https://fly.io/docs/flyctl/install/");

    setenv("QUILLHAVEN_FLY_PATH", QUILLHAVEN_FIXTURES, 1);
    setenv("FLY_STANDIN_FAIL", "Error: app not found", 1);
    e = errorOf<FlyBackendError>([&] { backend.connect(); });
    ASSERT_TRUE(e);
    EXPECT_STREQ(e->what(),
                 "Connection failed: Waiting for init sentinel: Session dead: Unexpected EOF on "
                 "stdout");
    EXPECT_FALSE(backend.isAlive());
}

TEST_F(FlyBackendTest, DeadChildIsReportedThenReplaced) {
    std::string pidFile = dir / "pid";
    setenv("FLY_STANDIN_PIDFILE", pidFile.c_str(), 1);
    FlyBackend backend("demo-app", db, 10);
    backend.connect();
    pid_t pid = 0;
    std::ifstream(pidFile) >> pid;
    ASSERT_GT(pid, 0);
    ::kill(-pid, SIGKILL); // the tool and the shell behind it go away
    for (int i = 0; i < 200 && backend.isAlive(); ++i) usleep(10'000);
    EXPECT_FALSE(backend.isAlive());

    auto e = errorOf<FlyBackendError>([&] { backend.execute("SELECT 1"); });
    ASSERT_TRUE(e);
    EXPECT_STREQ(e->what(),
                 "Session dead: Reading response: Session dead: Unexpected EOF on stdout "
                 "(session will reconnect)");
    EXPECT_EQ(backend.execute("SELECT count(*) AS n FROM users")->rows[0][0], integer(2));
    EXPECT_TRUE(backend.isAlive());
}

TEST_F(FlyBackendTest, SlowAnswerTimesOutAndTheNextStatementReconnects) {
    FlyBackend backend("demo-app", db, 1);
    backend.connect();
    auto e = errorOf<FlyBackendError>([&] {
        backend.execute("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
                        "WHERE x < 2000000000) SELECT count(*) FROM c");
    });
    ASSERT_TRUE(e);
    EXPECT_STREQ(e->what(), "Session dead: Reading response: Timeout: Timed out waiting for "
                            "sentinel after 1s (session will reconnect)");
    EXPECT_EQ(backend.execute("SELECT 7 AS n")->rows[0][0], integer(7));
}

TEST(ProcessHelper, SearchFoldersAndChildPath) {
    unsetenv("QUILLHAVEN_FLY_PATH");
    auto folders = ProcessHelper::binaryFolders();
    std::vector<std::string> fixed(folders.begin(), folders.begin() + 6);
    EXPECT_EQ(fixed, ProcessHelper::searchPaths);
    EXPECT_EQ(folders.back(), std::string(getenv("HOME")) + "/.fly/bin");

    setenv("QUILLHAVEN_FLY_PATH", (std::string("/nonexistent:") + QUILLHAVEN_FIXTURES).c_str(), 1);
    EXPECT_EQ(ProcessHelper::findBinary("fly"), std::string(QUILLHAVEN_FIXTURES) + "/fly");
    // "sh" is in /bin, but the override replaces the fixed folders.
    EXPECT_FALSE(ProcessHelper::findBinary("sh"));
    unsetenv("QUILLHAVEN_FLY_PATH");

    std::string inherited = getenv("PATH");
    auto env = ProcessHelper::expandedEnvironment();
    int paths = 0;
    for (const auto& e : env) {
        if (!e.starts_with("PATH=")) continue;
        ++paths;
        EXPECT_EQ(e, "PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin:" +
                         inherited);
    }
    EXPECT_EQ(paths, 1);
}

// ConnectionTester::testFly against the stand-in for the fly tool (tests/fixtures/fly),
// which runs the probe command on this machine.

#include "TestSupport.h"
#include "backends/ConnectionTester.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace quillhaven;
using Kind = TestResult::Kind;

namespace {

class FlyTester : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("QUILLHAVEN_FLY_PATH", QUILLHAVEN_FIXTURES, 1); }
    void TearDown() override {
        ::unsetenv("QUILLHAVEN_FLY_PATH");
        ::unsetenv("FLY_STANDIN_FAIL");
        ::unsetenv("FLY_STANDIN_LOG");
    }
    testsupport::TempDir dir;
};

int attempts(const std::string& log) {
    auto r = testsupport::run("grep -c '^ssh$' '" + log + "'");
    return std::atoi(r.output.c_str());
}

} // namespace

TEST_F(FlyTester, AnswersAtOnceWhenTheMachineIsReached) {
    std::string db = dir / "fly'app.db";
    ASSERT_EQ(testsupport::run("sqlite3 \"" + db + "\" 'CREATE TABLE t(a)'").exitCode, 0);
    std::string missing = dir / "missing.db";
    struct Case {
        std::string dbPath;
        Kind kind;
        std::string messageStart;
    } cases[] = {
        {db, Kind::success, "Connected to my-app and queried " + db + " successfully"},
        {missing, Kind::dbNotFound,
         "SSH connected but database not found at " + missing +
             ". Error: Error: unable to open database"},
    };
    for (const auto& c : cases) {
        TestResult r = ConnectionTester::testFly("my-app", c.dbPath);
        EXPECT_EQ(r.kind, c.kind) << r.message;
        EXPECT_EQ(r.message.rfind(c.messageStart, 0), 0u) << r.message;
    }
    // The probe never creates the database it looks for.
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(FlyTester, UnreachableMachineIsTriedTwiceFiveSecondsApart) {
    std::string log = dir / "fly.log";
    ::setenv("FLY_STANDIN_LOG", log.c_str(), 1);
    ::setenv("FLY_STANDIN_FAIL", "Error: no machines are running for this app", 1);
    auto started = std::chrono::steady_clock::now();
    TestResult r = ConnectionTester::testFly("sleepy", dir / "x.db");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(r, (TestResult{Kind::sshFailed, "fly ssh console failed (exit 1): Error: no "
                                              "machines are running for this app"}));
    EXPECT_EQ(attempts(log), 2);
}

TEST_F(FlyTester, MissingFlyTool) {
    ::setenv("QUILLHAVEN_FLY_PATH", dir.path().c_str(), 1);
    TestResult r = ConnectionTester::testFly("my-app", "/data/x.db");
    EXPECT_EQ(r, (TestResult{Kind::sshFailed, "'fly' CLI not found. Install from "
                                              "https://fly.io/docs/flyctl/install/"}));
}

#include "backends/ConnectionTester.h"

#include "SSHServer.h"

#include <gtest/gtest.h>

using namespace quillhaven;
using sshtest::SSHEnvironment;
using Kind = TestResult::Kind;

TEST(ConnectionTesterSSH, Outcomes) {
    REQUIRE_SSH_SERVER();
    auto& server = SSHEnvironment::server();
    std::string withTables = server.makeDatabase("tester'1.db", "CREATE TABLE things(a);");
    std::string empty = server.makeDatabase("tester2.db", "PRAGMA user_version = 1;");
    std::string missing = server.dbDir() + "/nowhere/missing.db";
    std::string port = std::to_string(server.port());
    std::optional<std::string> none;
    std::optional<std::string> password = sshtest::password;
    std::optional<std::string> key = server.key("k_ecdsa384");

    struct Case {
        const char* name;
        std::optional<std::string> password;
        std::optional<std::string> keyData;
        std::string dbPath;
        TestResult expected;
    } cases[] = {
        {"tables, password",
         password,
         none,
         withTables,
         {Kind::success, "Connected to 127.0.0.1:" + port + " and queried " + withTables +
                             " successfully. Tables: things"}},
        {"no tables, key",
         none,
         key,
         empty,
         {Kind::success, "Connected to 127.0.0.1:" + port + " and queried " + empty +
                             " successfully. Tables: (none)"}},
        {"key not UTF-8 falls back to the password",
         password,
         std::string("\xff\xfe"),
         empty,
         {Kind::success, "Connected to 127.0.0.1:" + port + " and queried " + empty +
                             " successfully. Tables: (none)"}},
        {"missing file",
         password,
         none,
         missing,
         {Kind::dbNotFound, "SSH connected but database not found at " + missing}},
        {"wrong password",
         std::string("wrong"),
         none,
         empty,
         {Kind::sshFailed,
          "SSH connection failed: The server did not accept the password for user sqtest"}},
        {"unreadable key",
         none,
         std::string("not a key"),
         empty,
         {Kind::sshFailed, "Failed to parse SSH key: The private key could not be read: it is "
                           "encrypted with a passphrase or not in a supported format"}},
        {"no secret",
         none,
         none,
         empty,
         {Kind::sshFailed, "No password or SSH key provided for authentication"}},
    };
    for (const auto& c : cases) {
        TestResult r = ConnectionTester::testSSH("127.0.0.1", server.port(), sshtest::user,
                                                 c.password, c.keyData, c.dbPath);
        EXPECT_EQ(r.kind, c.expected.kind) << c.name << ": " << r.message;
        EXPECT_EQ(r.message, c.expected.message) << c.name;
    }
}

TEST(ConnectionTesterSSH, UnreachableHostFailsWithinTheBound) {
    // A port nobody listens on: refused at once, reported as an SSH failure.
    auto started = std::chrono::steady_clock::now();
    TestResult r = ConnectionTester::testSSH("127.0.0.1", testsupport::freePort(), "nobody",
                                             std::string("pw"), std::nullopt, "/x.db");
    EXPECT_EQ(r.kind, Kind::sshFailed);
    EXPECT_TRUE(r.message.rfind("SSH connection failed: ", 0) == 0) << r.message;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

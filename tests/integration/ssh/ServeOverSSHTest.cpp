// End to end: psql through `quillhaven-cli serve ssh://...` to the test SSH server.

#include "SSHServer.h"
#include "ServeProcess.h"

#include <gtest/gtest.h>

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

TEST(ServeOverSSH, PsqlReachesTheRemoteDatabase) {
    REQUIRE_SSH_SERVER();
    auto& server = sshtest::SSHEnvironment::server();
    std::string db = server.makeDatabase(
        "served.db", "CREATE TABLE notes (id INTEGER PRIMARY KEY, body TEXT NOT NULL);"
                     "INSERT INTO notes VALUES (1, 'over ssh'), (2, 'it''s here');");
    unsigned short port = freePort();
    std::string target =
        "ssh://" + std::string(sshtest::user) + "@127.0.0.1:" + std::to_string(server.port()) + db;
    ServeProcess serve({"serve", "--port", std::to_string(port), "--identity",
                        server.keyFile("k_ed25519"), target});
    ASSERT_TRUE(serve.waitForOutput("Connect with:")) << serve.output();

    EXPECT_EQ(psql(port, "SELECT id, body FROM public.notes ORDER BY id").output,
              "1|over ssh\n2|it's here\n");
    EXPECT_EQ(psql(port, "INSERT INTO notes (body) VALUES ('added')", "").output, "INSERT 0 1\n");
    EXPECT_EQ(psql(port, "SELECT count(*) FROM notes").output, "3\n");
}

TEST(ServeOverSSH, PasswordFromTheEnvironmentAndReadOnly) {
    REQUIRE_SSH_SERVER();
    auto& server = sshtest::SSHEnvironment::server();
    std::string db =
        server.makeDatabase("readonly.db", "CREATE TABLE t (a); INSERT INTO t VALUES (1);");
    unsigned short port = freePort();
    std::string target =
        "ssh://" + std::string(sshtest::user) + "@127.0.0.1:" + std::to_string(server.port()) + db;
    ServeProcess serve({"serve", "--read-only", "--port", std::to_string(port), target},
                       {"QUILLHAVEN_SSH_PASSWORD=" + std::string(sshtest::password)});
    ASSERT_TRUE(serve.waitForOutput("Connect with:")) << serve.output();
    auto r = psql(port, "SELECT 1; DELETE FROM t");
    EXPECT_NE(r.exitCode, 0) << r.output;
    EXPECT_EQ(psql(port, "SELECT count(*) FROM t").output, "1\n");

    ServeProcess wrong({"serve", "--port", std::to_string(freePort()), target},
                       {"QUILLHAVEN_SSH_PASSWORD=not-the-password"});
    ASSERT_TRUE(wrong.waitForExit(40s)) << wrong.output();
    EXPECT_EQ(wrong.exitCode(), 1) << wrong.output();
}

} // namespace

// No statement text may run a shell command or a sqlite3 dot-command on the server, or end
// the here-document early. Each case is written out against the real shell and the marker
// file it tries to create must not appear.

#include "SSHServer.h"
#include "backends/SSHBackend.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace quillhaven;
using sshtest::SSHEnvironment;

TEST(SSHInjection, NoStatementRunsAnythingButSQL) {
    REQUIRE_SSH_SERVER();
    auto& server = SSHEnvironment::server();
    std::string db =
        server.makeDatabase("inject.db", "CREATE TABLE t(a); INSERT INTO t VALUES (1);");
    std::string marker = server.dbDir() + "/marker";
    auto backend =
        std::make_shared<SSHBackend>("127.0.0.1", server.port(), sshtest::user,
                                     SSHCredentials::password(sshtest::password), db, 10.0);
    backend->connect();

    const std::string touch = "touch " + marker;
    const std::string statements[] = {
        ".shell " + touch,
        "SELECT 1;\n.shell " + touch,
        "SELECT 1;\n.system " + touch,
        "-- comment\n.shell " + touch,
        "SELECT 1\ngo\n.shell " + touch,
        // The here-document delimiter of the plain design, then shell text.
        "SELECT 1;\nSQLEOF\n" + touch + "\nSQLEOF",
        "SELECT 1\nSQLEOF\n" + touch,
        // Shell syntax inside SQL is only SQL.
        "SELECT '$(" + touch + ")', \"`" + touch + "`\"",
        "SELECT 1; ATTACH '" + marker + "' AS x",
        "SELECT 'unterminated\n.shell " + touch,
    };
    for (const auto& sql : statements) {
        try {
            backend->execute(sql);
        } catch (const Error&) {
            // Refused or failed as SQL; either way nothing else ran.
        }
        EXPECT_FALSE(std::filesystem::exists(marker)) << sql;
        std::filesystem::remove(marker);
    }
    // The connection is still good and the data untouched.
    auto rows = backend->execute("SELECT a FROM t");
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->rows, std::vector<Row>{{Cell{std::int64_t{1}}}});
}

TEST(SSHInjection, RefusalsSayWhy) {
    REQUIRE_SSH_SERVER();
    auto& server = SSHEnvironment::server();
    std::string db = server.makeDatabase("refusal.db", "CREATE TABLE t(a);");
    auto backend =
        std::make_shared<SSHBackend>("127.0.0.1", server.port(), sshtest::user,
                                     SSHCredentials::password(sshtest::password), db, 10.0);
    backend->connect();
    struct Case {
        std::string sql;
        std::string error;
    } cases[] = {
        {"SELECT 1;\n.shell id", "Statement refused: a line starting with \".\" after a complete "
                                 "statement would run as a sqlite3 shell command, not as SQL"},
        {"SELECT 'open", "Statement refused: the statement is incomplete (an unterminated "
                         "string, quoted name, comment or trigger body)"},
    };
    for (const auto& c : cases) {
        std::string error = "(no failure)";
        try {
            backend->execute(c.sql);
        } catch (const Error& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error);
    }
    EXPECT_TRUE(backend->isAlive());
}

#include "SessionHarness.h"
#include "TestSupport.h"
#include "frontend/PGMessage.h"

#include <fcntl.h>
#include <gtest/gtest.h>

using namespace quillhaven;
using testsupport::InProcessSQLiteBackend;
using testsupport::ScriptedBackend;
using testsupport::SessionHarness;
using Tokens = std::vector<std::string>;
using namespace std::string_literals;

namespace {

std::shared_ptr<InProcessSQLiteBackend> sqliteWithTable() {
    auto backend = std::make_shared<InProcessSQLiteBackend>();
    backend->execute("CREATE TABLE t(a INTEGER, b TEXT); INSERT INTO t VALUES (1, 'one')");
    backend->executed.clear();
    return backend;
}

std::string lengthOnly(std::uint32_t length) {
    std::string out;
    wire::put32(out, length);
    return out;
}

} // namespace

TEST(ClientConnection, StartupExchanges) {
    const std::string startup = wire::startupPacket({{"user", "bob"}});
    struct Case {
        const char* what;
        std::string sent;
        std::string firstBytes; // expected beginning of the answer ("" = nothing at all)
        bool answered;          // the full startup answer follows
        std::optional<std::string> failure;
        std::string logLine;
    } cases[] = {
        {"plain", startup, "R", true, std::nullopt,
         "Client connected: protocol 3.0, user=bob, database=unknown"},
        {"ssl refused, then startup", wire::requestPacket(80877103) + startup, "NR", true,
         std::nullopt, ""},
        {"second ssl request is an ordinary startup",
         wire::requestPacket(80877103) + wire::requestPacket(80877103), "NR", true, std::nullopt,
         "Client connected: protocol 1234.5679, user=unknown, database=unknown"},
        {"gssapi request is an ordinary startup", wire::requestPacket(80877104), "R", true,
         std::nullopt, ""},
        {"cancel request", wire::requestPacket(80877102), "", false, std::nullopt,
         "Received cancel request, ignoring"},
        {"length 7", lengthOnly(7) + "abc", "", false, "Startup message too short: 7"s, ""},
        {"over 1 GiB", lengthOnly(0x40000001), "", false, "Invalid message length: 1073741825"s,
         ""},
        {"closed before startup", "", "", false, "Connection closed"s, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::LogCapture logs;
        SessionHarness h(std::make_shared<InProcessSQLiteBackend>());
        if (!c.sent.empty()) h.client->send(c.sent);
        if (c.sent.empty()) ::shutdown(h.client->fd(), SHUT_WR);
        if (!c.firstBytes.empty()) {
            EXPECT_EQ(h.client->read(c.firstBytes.size()), c.firstBytes);
        }
        if (c.answered) {
            // The rest of the startup answer after 'R', up to ReadyForQuery.
            auto rest = h.client->read(8);
            ASSERT_TRUE(rest);
            Tokens tokens;
            while (auto m = h.client->readMessage()) {
                tokens.push_back(std::string(1, m->type));
                if (m->type == 'Z') break;
            }
            EXPECT_EQ(tokens, (Tokens{"S", "S", "S", "S", "S", "S", "S", "K", "Z"}));
        } else {
            EXPECT_TRUE(h.client->closedByPeer());
        }
        EXPECT_EQ(h.finish(), c.failure);
        if (!c.logLine.empty()) {
            EXPECT_TRUE(logs.contains("ClientConnection", c.logLine));
        }
    }
}

TEST(ClientConnection, SimpleQueriesOnSQLite) {
    auto backend = sqliteWithTable();
    SessionHarness h(backend);
    ASSERT_TRUE(h.client->startup());
    struct Case {
        std::string sql;
        Tokens answer;
    } cases[] = {
        {"SELECT 1 AS n, 'x' AS s, NULL AS z, 2.5 AS r",
         {"T[n,s,z,r]", "D[1,x,NULL,2.5]", "C SELECT 1", "Z"}},
        {"  SELECT a, b FROM t ORDER BY a ;\n", {"T[a,b]", "D[1,one]", "C SELECT 1", "Z"}},
        {"SELECT a FROM t WHERE a > 5", {"C OK", "Z"}}, // no rows: the shell prints nothing
        {"INSERT INTO t VALUES (2, 'two')", {"C INSERT 0 1", "Z"}},
        {"update t set b = 'x'", {"C UPDATE 1", "Z"}}, // fixed count, whatever changed
        {"DELETE FROM t WHERE a = 99", {"C DELETE 1", "Z"}},
        {"CREATE INDEX i ON t(a)", {"C CREATE TABLE", "Z"}},
        {"DROP INDEX i", {"C DROP TABLE", "Z"}},
        {"BEGIN", {"C BEGIN", "Z"}},
        {"END", {"C COMMIT", "Z"}},
        {"VACUUM", {"C OK", "Z"}},
        {"SELEC 1", {"E near \"SELEC\": syntax error", "Z"}},
        {"SELECT count(*) AS c FROM t", {"T[c]", "D[2]", "C SELECT 1", "Z"}},
        {" \n\t ", {"I", "Z"}},
        {"\0\0"s, {"I", "Z"}},
        {"SELECT '\xFF'", {"I", "Z"}}, // not UTF-8: counts as no text at all
    };
    for (const auto& c : cases) {
        h.client->send(wire::query(c.sql));
        EXPECT_EQ(h.client->untilReady(), c.answer) << c.sql;
    }
    // The log callback hears each non-empty statement once, trimmed; the backend runs it.
    auto logged = h.logged();
    ASSERT_EQ(logged.size(), std::size(cases) - 3);
    EXPECT_EQ(logged[1], "SELECT a, b FROM t ORDER BY a ;");
    EXPECT_EQ(backend->executed[1], "SELECT a, b FROM t ORDER BY a ;");
}

TEST(ClientConnection, ReadOnlyGuard) {
    const Tokens refused{"E Read-only mode is enabled. Only SELECT queries are allowed.", "Z"};
    struct Case {
        std::string sql;
        bool runs;
    } cases[] = {
        {"INSERT INTO t VALUES (3, 'x')", false},
        {"  \n select a FROM t", true},
        {"PRAGMA table_info(t)", true},
        {"EXPLAIN SELECT 1", true},
        {"WITH x AS (SELECT 1) SELECT * FROM x", false},
        {"/* c */ SELECT 1", false},
        {"DROP TABLE t", false},
    };
    testsupport::LogCapture logs;
    auto backend = sqliteWithTable();
    SessionHarness h(backend, /*readOnly=*/true);
    ASSERT_TRUE(h.client->startup());
    for (const auto& c : cases) {
        backend->executed.clear();
        h.client->send(wire::query(c.sql));
        auto answer = h.client->untilReady();
        if (c.runs) {
            EXPECT_NE(answer, refused) << c.sql;
            EXPECT_EQ(backend->executed.size(), 1u) << c.sql;
        } else {
            EXPECT_EQ(answer, refused) << c.sql;
            EXPECT_TRUE(backend->executed.empty()) << c.sql;
        }
    }
    EXPECT_TRUE(logs.contains("ClientConnection",
                              "Read-only mode blocked query: INSERT INTO t VALUES (3, 'x')"));
}

TEST(ClientConnection, BackendFailureIsAnsweredAndTheSessionGoesOn) {
    auto backend = std::make_shared<ScriptedBackend>([](const std::string& sql) {
        if (sql == "fail") throw Error("SSH error: no such table: x");
        if (sql == "none") return std::optional<QueryResult>(QueryResult{{{"v"}}, {}});
        QueryResult r{{{"v"}}, {{CellValue{sql}}}};
        return std::optional<QueryResult>(r);
    });
    testsupport::LogCapture logs;
    SessionHarness h(backend);
    ASSERT_TRUE(h.client->startup());
    h.client->send(wire::query("fail"));
    EXPECT_EQ(h.client->untilReady(), (Tokens{"E SSH error: no such table: x", "Z"}));
    h.client->send(wire::query("next"));
    EXPECT_EQ(h.client->untilReady(), (Tokens{"T[v]", "D[next]", "C SELECT 1", "Z"}));
    // A result set without rows is still described.
    h.client->send(wire::query("none"));
    EXPECT_EQ(h.client->untilReady(), (Tokens{"T[v]", "C SELECT 0", "Z"}));
    EXPECT_TRUE(logs.contains("ClientConnection",
                              "Backend execute error: SSH error: no such table: x, sql: fail"));
}

TEST(ClientConnection, ResultsTheWireCannotCarryAreRefusedBeforeAnyRowIsSent) {
    auto backend = std::make_shared<ScriptedBackend>([](const std::string& sql) {
        QueryResult r;
        if (sql == "wide")
            r.columns.assign(65536, ColumnDef{"c"});
        else
            r = QueryResult{{{"ok"}}, {{CellValue{true}}}};
        return std::optional<QueryResult>(r);
    });
    SessionHarness h(backend);
    ASSERT_TRUE(h.client->startup());
    h.client->send(wire::query("wide"));
    EXPECT_EQ(h.client->untilReady(), (Tokens{"E Result too large: more than 65535 columns", "Z"}));
    h.client->send(wire::query("narrow"));
    EXPECT_EQ(h.client->untilReady(), (Tokens{"T[ok]", "D[t]", "C SELECT 1", "Z"}));
}

TEST(ClientConnection, ALargeResultArrivesWholeAndInOrder) {
    // Several hundred KiB: written in many sends, every row in its place.
    auto backend = std::make_shared<ScriptedBackend>([](const std::string&) {
        QueryResult r{{{"n"}, {"padding"}}, {}};
        for (std::int64_t i = 0; i < 5000; ++i)
            r.rows.push_back({CellValue{i}, CellValue{std::string(100, 'x')}});
        return std::optional<QueryResult>(r);
    });
    SessionHarness h(backend);
    ASSERT_TRUE(h.client->startup());
    h.client->send(wire::query("SELECT everything"));
    auto tokens = h.client->untilReady();
    ASSERT_EQ(tokens.size(), 5003u);
    EXPECT_EQ(tokens.front(), "T[n,padding]");
    for (std::size_t i = 0; i < 5000; ++i)
        ASSERT_EQ(tokens[i + 1], "D[" + std::to_string(i) + "," + std::string(100, 'x') + "]");
    EXPECT_EQ(tokens[5001], "C SELECT 5000");
}

TEST(ClientConnection, MessageTypesAndLengths) {
    struct Case {
        const char* what;
        std::string sent;
        Tokens answer; // empty: the session ends
        std::string logLine;
    } cases[] = {
        {"sync", wire::sync(), {"Z"}, ""},
        {"flush", wire::frame('H', ""), {"Z"}, "Unknown message type: 72 (H)"},
        {"byte 0xE9", wire::frame('\xE9', "xy"), {"Z"}, "Unknown message type: 233 (\xC3\xA9)"},
        {"close", wire::frame('C', "S\0"s) + wire::sync(), {"3", "Z"}, ""},
        {"terminate", wire::frame('X', ""), {}, "Client disconnected (Terminate)"},
        {"length 3", "Q"s + lengthOnly(3), {}, "Connection closed: Invalid message length: 3"},
        {"over 1 GiB",
         "Q"s + lengthOnly(0x40000005),
         {},
         "Connection closed: Invalid message length: 1073741829"},
        {"truncated payload",
         "Q"s + lengthOnly(100) + "SELE",
         {},
         "Connection closed: Connection closed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::LogCapture logs;
        SessionHarness h(std::make_shared<InProcessSQLiteBackend>());
        ASSERT_TRUE(h.client->startup());
        h.client->send(c.sent);
        if (c.what == "truncated payload"s) ::shutdown(h.client->fd(), SHUT_WR);
        if (c.answer.empty()) {
            EXPECT_TRUE(h.client->closedByPeer());
        } else {
            EXPECT_EQ(h.client->untilReady(), c.answer);
            h.client->send(wire::query("SELECT 7 AS x"));
            EXPECT_EQ(h.client->untilReady(), (Tokens{"T[x]", "D[7]", "C SELECT 1", "Z"}));
        }
        EXPECT_EQ(h.finish(), std::nullopt);
        if (!c.logLine.empty()) {
            EXPECT_TRUE(logs.contains("ClientConnection", c.logLine));
        }
    }
}

TEST(ClientConnection, StatementHooksInterceptAndRewrite) {
    StatementHooks hooks;
    hooks.check = [](const std::string& sql, const std::shared_ptr<Backend>&) {
        std::optional<InterceptResult> r;
        if (sql == "SHOW x") r = InterceptResult{{{"x"}}, {{CellValue{"on"s}}}, "SHOW"};
        if (sql == "SET y = 1") r = InterceptResult{{}, {{CellValue{"ignored"s}}}, "SET"};
        if (sql == "boom") throw std::runtime_error("hook broke its promise");
        return r;
    };
    hooks.rewrite = [](const std::string& sql) {
        if (sql == "boom") throw std::runtime_error("hook broke its promise");
        return sql == "SELECT now()" ? "SELECT 'then' AS now"s : sql;
    };
    auto backend = std::make_shared<InProcessSQLiteBackend>();
    SessionHarness h(backend, /*readOnly=*/true, hooks);
    ASSERT_TRUE(h.client->startup());
    struct Case {
        std::string sql;
        Tokens answer;
    } cases[] = {
        {"SHOW x", {"T[x]", "D[on]", "C SHOW", "Z"}},
        {"SET y = 1", {"C SET", "Z"}}, // intercepted even in read-only mode; no columns, no rows
        {"SELECT now()", {"T[now]", "D[then]", "C SELECT 1", "Z"}},
        {"boom", {"E Read-only mode is enabled. Only SELECT queries are allowed.", "Z"}},
    };
    for (const auto& c : cases) {
        h.client->send(wire::query(c.sql));
        EXPECT_EQ(h.client->untilReady(), c.answer) << c.sql;
    }
    EXPECT_EQ(backend->executed, (std::vector<std::string>{"SELECT 'then' AS now"}));
}

TEST(ClientConnection, AVanishedClientEndsTheSessionWithoutASignal) {
    // The client disappears while its statement runs: every write then fails (EPIPE). The
    // session must log its way out instead of taking the process down with SIGPIPE.
    int clientFD = -1;
    auto backend = std::make_shared<ScriptedBackend>([&clientFD](const std::string&) {
        ::shutdown(clientFD, SHUT_RDWR);
        return std::optional<QueryResult>(QueryResult{{{"a"}}, {{CellValue{true}}}});
    });
    testsupport::LogCapture logs;
    SessionHarness h(backend);
    clientFD = h.client->fd();
    ASSERT_TRUE(h.client->startup());
    h.client->send(wire::query("SELECT 1"));
    EXPECT_TRUE(h.client->closedByPeer());
    EXPECT_EQ(h.finish(), std::nullopt);
    EXPECT_TRUE(
        logs.contains("ClientConnection", "Failed to send error response, closing connection"));
    bool sawWriteFailure = false;
    for (const auto& r : logs.records())
        sawWriteFailure |= r.revealed.starts_with("Error handling message type 81: Write failed: ");
    EXPECT_TRUE(sawWriteFailure);
}

TEST(ClientConnection, ShutdownWakesABlockedSessionAndTheDescriptorIsClosedOnce) {
    int other[2]; // made first, so that its numbers differ from the session's
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, other), 0);
    SessionHarness h(std::make_shared<InProcessSQLiteBackend>());
    ASSERT_TRUE(h.client->startup());
    int fd = h.session->socketFD();
    h.session->shutdownSocket();
    EXPECT_TRUE(h.client->closedByPeer());
    EXPECT_EQ(h.finish(), std::nullopt);
    // The session closed its descriptor. Give its number to another socket: a late
    // shutdown from the server must leave that socket alone.
    ASSERT_EQ(::dup2(other[0], fd), fd);
    h.session->shutdownSocket();
    EXPECT_EQ(::send(other[1], "x", 1, MSG_NOSIGNAL), 1);
    char c = 0;
    EXPECT_EQ(::recv(fd, &c, 1, MSG_DONTWAIT), 1);
    EXPECT_EQ(::send(fd, "y", 1, MSG_NOSIGNAL), 1);
    for (int d : {fd, other[0], other[1]}) ::close(d);
}

TEST(ClientConnection, ClassifiesStatements) {
    struct Case {
        const char* sql;
        const char* tag;
        bool read;
    } cases[] = {
        {"insert into t values (1)", "INSERT 0 1", false},
        {" UPDATE t SET a = 1", "UPDATE 1", false},
        {"delete from t", "DELETE 1", false},
        {"CREATE VIEW v AS SELECT 1", "CREATE TABLE", false},
        {"drop view v", "DROP TABLE", false},
        {"ALTER TABLE t ADD c", "ALTER TABLE", false},
        {"start transaction", "BEGIN", false},
        {"commit", "COMMIT", false},
        {"rollback", "ROLLBACK", false},
        {"abort", "ROLLBACK", false},
        {"selectivity", "OK", true}, // a plain prefix test, no word boundary
        {"\n SHOW search_path", "OK", true},
        {"Pragma foreign_keys", "OK", true},
        {"(SELECT 1)", "OK", false},
        {"", "OK", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ClientConnection::classifyDMLTag(c.sql), c.tag) << c.sql;
        EXPECT_EQ(ClientConnection::isReadQuery(c.sql), c.read) << c.sql;
    }
}

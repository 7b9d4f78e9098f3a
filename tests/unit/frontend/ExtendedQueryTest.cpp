#include "SessionHarness.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace quillhaven;
using testsupport::InProcessSQLiteBackend;
using testsupport::ScriptedBackend;
using testsupport::SessionHarness;
using Tokens = std::vector<std::string>;
using Values = std::vector<std::optional<std::string>>;
using namespace std::string_literals;

namespace {

// The Bind payload of wire::bind, without its frame.
std::string bindPayload(const Values& values, const std::vector<std::uint16_t>& formats = {}) {
    return wire::bind(values, formats).substr(5);
}

} // namespace

TEST(ExtendedQuery, SubstitutesParametersOutsideLiteralsAndComments) {
    struct Case {
        std::string sql;
        Values values;
        std::string expected;
    } cases[] = {
        {"SELECT * FROM t WHERE a = $1 AND b = $2",
         {"x'y", std::nullopt},
         "SELECT * FROM t WHERE a = 'x''y' AND b = NULL"},
        {"SELECT $1", {"42"}, "SELECT '42'"},
        {"SELECT 'a::b', '$1'", {"v"}, "SELECT 'a::b', '$1'"},
        {"SELECT 'it''s $1', $1", {"v"}, "SELECT 'it''s $1', 'v'"},
        {"SELECT E'\\'$1', $1", {"v"}, "SELECT E'\\'$1', 'v'"},
        {"SELECT \"$1\" FROM t WHERE x = $1", {"v"}, "SELECT \"$1\" FROM t WHERE x = 'v'"},
        {"SELECT $1 -- $1\n, $1", {"v"}, "SELECT 'v' -- $1\n, 'v'"},
        {"SELECT /* $1 /* nested $1 */ still $1 */ $1",
         {"v"},
         "SELECT /* $1 /* nested $1 */ still $1 */ 'v'"},
        {"SELECT $$ $1 $$, $tag$ $1 $tag$, $1", {"v"}, "SELECT $$ $1 $$, $tag$ $1 $tag$, 'v'"},
        {"SELECT $1, $10",
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"},
         "SELECT '1', 'ten'"},
        {"SELECT $1", {"NULL"}, "SELECT 'NULL'"},            // a text that reads NULL stays a text
        {"SELECT $2, $1", {"$2", "b"}, "SELECT 'b', '$2'"},  // values are not searched again
        {"SELECT $3, $0, a$1", {"v"}, "SELECT $3, $0, a$1"}, // no such parameter / identifier
        {"SELECT 'unterminated $1", {"v"}, "SELECT 'unterminated $1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClientConnection::substituteParams(c.sql, c.values), c.expected) << c.sql;
}

TEST(ExtendedQuery, ReadsBindPayloads) {
    const std::string sql = "SELECT $1, $2";
    using Portal = ClientConnection::Portal;
    auto ok = [](std::string text) { return Portal{std::move(text), std::nullopt}; };
    std::string fewer = bindPayload({"a", "b"});
    fewer.resize(fewer.size() - 2 - 5); // drop the result formats and the second value
    std::string negative = bindPayload({"a", "b"});
    negative.replace(negative.find("\x00\x00\x00\x01"
                                   "b"s),
                     4, "\xFF\xFF\xFF\xFE"s);
    struct Case {
        const char* what;
        std::string payload;
        std::vector<std::int32_t> types; // as declared in Parse
        Portal expected;
    } cases[] = {
        {"text values", bindPayload({"a", "b"}), {}, ok("SELECT 'a', 'b'")},
        {"with format codes", bindPayload({"a", "b"}, {0, 0}), {}, ok("SELECT 'a', 'b'")},
        {"fewer values than announced", fewer, {}, ok("SELECT 'a', NULL")},
        {"negative length other than -1", negative, {}, ok("SELECT 'a', NULL")},
        {"text that is not UTF-8", bindPayload({"\xFF", "b"}), {}, ok("SELECT NULL, 'b'")},
        {"shorter than 4 bytes", "\0\0\0"s, {}, ok(sql)},
        {"no statement name end", "portal\0stmt"s, {}, ok(sql)},
        {"no parameter count", "\0\0\0\x01"s, {}, ok(sql)},
        // Binary values are read by their declared type.
        {"binary int2 and int4",
         bindPayload({"\xFF\xFE"s, "\0\0\x01\0"s}, {1}),
         {21, 23},
         ok("SELECT (-2), 256")},
        {"binary int8 and bool",
         bindPayload({"\0\0\0\0\0\0\0\x2A"s, "\x01"s}, {1}),
         {20, 16},
         ok("SELECT 42, 1")},
        {"binary float8, text format text",
         bindPayload({"\x40\x04\0\0\0\0\0\0"s, "x"}, {1, 0}),
         {701, 25},
         ok("SELECT 2.5, 'x'")},
        {"binary bytea and text",
         bindPayload({"\x00\xFF"s, "it's"}, {1}),
         {17, 25},
         ok("SELECT X'00FF', 'it''s'")},
        {"binary numeric",
         bindPayload({"\0\x01"s, "x"}, {1, 0}),
         {1700, 25},
         Portal{sql, "Parameter $1 is sent in binary format with type OID 1700, which is not "
                     "supported"}},
        {"binary without a declared type",
         bindPayload({"\0\0\0\x04"s}, {1}),
         {},
         Portal{sql, "Parameter $1 is sent in binary format with type OID 0, which is not "
                     "supported"}},
        {"zero byte in a text value",
         bindPayload({"a", "b\0c"s}),
         {},
         Portal{sql, "Parameter $2 contains a zero byte"}},
    };
    for (const auto& c : cases) {
        auto portal = ClientConnection::extractAndSubstituteParams(c.payload, sql, c.types);
        EXPECT_EQ(portal.sql, c.expected.sql) << c.what;
        EXPECT_EQ(portal.error, c.expected.error) << c.what;
    }
}

TEST(ExtendedQuery, SplitsZeroTerminatedTexts) {
    using Parts = std::vector<std::string>;
    EXPECT_EQ(ClientConnection::splitNullTerminated("s1\0SELECT 1\0\0\0"s, 2),
              (Parts{"s1", "SELECT 1"}));
    EXPECT_EQ(ClientConnection::splitNullTerminated("\0SELECT 1\0"s, 2), (Parts{"", "SELECT 1"}));
    EXPECT_EQ(ClientConnection::splitNullTerminated("\xFF\0a\0b"s, 2), (Parts{"a"}));
    EXPECT_EQ(ClientConnection::splitNullTerminated("", 2), Parts{});
}

TEST(ExtendedQuery, MessageFlows) {
    auto backend = std::make_shared<InProcessSQLiteBackend>();
    backend->execute("CREATE TABLE t(a TEXT, b TEXT); INSERT INTO t VALUES ('x''y', NULL)");
    SessionHarness h(backend);
    ASSERT_TRUE(h.client->startup());
    struct Case {
        const char* what;
        std::string sent;
        Tokens answer;
    } cases[] = {
        {"execute before parse", wire::execute() + wire::sync(), {"I", "Z"}},
        {"select",
         wire::parse("SELECT a, b FROM t WHERE a = $1") + wire::bind({"x'y"}) +
             wire::describe('P') + wire::execute() + wire::sync(),
         {"1", "2", "n", "T[a,b]", "D[x'y,NULL]", "C SELECT 1", "Z"}},
        {"describe statement",
         wire::parse("SELECT $1") + wire::describe('S') + wire::sync(),
         {"1", "t0", "n", "Z"}},
        {"NULL compared with =",
         wire::parse("SELECT a FROM t WHERE b = $1") + wire::bind({std::nullopt}) +
             wire::execute() + wire::sync(),
         {"1", "2", "C OK", "Z"}},
        {"failing execute, then another",
         wire::parse("SELECT nope FROM t") + wire::bind({}) + wire::execute() +
             wire::parse("INSERT INTO t VALUES ($1, $2)") + wire::bind({"n", "m"}) +
             wire::execute() + wire::sync(),
         {"1", "2", "E no such column: nope", "1", "2", "C INSERT 0 1", "Z"}},
        {"unreadable binary parameter",
         wire::parse("SELECT $1") + wire::bind({"\0\x01"s}, {1}) + wire::execute() + wire::sync(),
         {"1", "2",
          "E Parameter $1 is sent in binary format with type OID 0, which is not supported", "Z"}},
        {"execute twice, close keeps the portal",
         wire::parse("SELECT count(*) AS n FROM t") + wire::bind({}) + wire::execute() +
             wire::frame('C', "P\0"s) + wire::execute() + wire::sync(),
         {"1", "2", "T[n]", "D[2]", "C SELECT 1", "3", "T[n]", "D[2]", "C SELECT 1", "Z"}},
    };
    for (const auto& c : cases) {
        h.client->send(c.sent);
        EXPECT_EQ(h.client->untilReady(), c.answer) << c.what;
    }
    // Parse tells the log about the statement, placeholders included.
    EXPECT_EQ(h.logged().at(0), "SELECT a, b FROM t WHERE a = $1");
}

TEST(ExtendedQuery, BindWithoutPayloadRunsTheStatementAsParsed) {
    auto backend = std::make_shared<ScriptedBackend>(
        [](const std::string&) { return std::optional<QueryResult>(); });
    SessionHarness h(backend);
    ASSERT_TRUE(h.client->startup());
    h.client->send(wire::parse("UPDATE t SET a = $1") + wire::frame('B', "") + wire::execute() +
                   wire::sync());
    EXPECT_EQ(h.client->untilReady(), (Tokens{"1", "2", "C UPDATE 1", "Z"}));
    EXPECT_EQ(backend->executed(), (std::vector<std::string>{"UPDATE t SET a = $1"}));
}

TEST(ExtendedQuery, ReadOnlyRefusalWaitsForSync) {
    testsupport::LogCapture logs;
    auto backend = std::make_shared<InProcessSQLiteBackend>();
    SessionHarness h(backend, /*readOnly=*/true);
    ASSERT_TRUE(h.client->startup());
    h.client->send(wire::parse("INSERT INTO t VALUES ($1)") + wire::bind({"1"}) + wire::execute());
    EXPECT_EQ(h.client->next(3),
              (Tokens{"1", "2", "E Read-only mode is enabled. Only SELECT queries are allowed."}));
    EXPECT_EQ(h.client->read(1, 200), std::nullopt); // no ReadyForQuery yet
    h.client->send(wire::sync());
    EXPECT_EQ(h.client->untilReady(), Tokens{"Z"});
    EXPECT_TRUE(backend->executed.empty());
    EXPECT_TRUE(logs.contains("ClientConnection",
                              "Read-only mode blocked extended query: INSERT INTO t VALUES ('1')"));
}

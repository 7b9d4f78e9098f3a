// End to end: the session commands, catalog queries and PostgreSQL syntax that real clients
// send, through `quillhaven-cli serve` to a real SQLite file, as psql, libpq and psycopg see
// the answers.

#include "ServeProcess.h"
#include "TestSupport.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// Several tables; order_lines has a two-column primary key, NOT NULL and DEFAULT columns.
const std::string schema = R"(
CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT NOT NULL, joined DATE DEFAULT '2024-01-01');
CREATE TABLE order_lines (order_id INTEGER NOT NULL, line_no INTEGER NOT NULL,
                          qty INT NOT NULL DEFAULT 1, price REAL,
                          PRIMARY KEY (order_id, line_no));
CREATE TABLE notes (body TEXT);
INSERT INTO customers VALUES (1, 'Ann', '2024-03-05'), (2, 'Bob', '2023-12-31');
INSERT INTO order_lines VALUES (1, 1, 2, 9.5), (1, 2, 1, 3.0), (2, 1, 5, 1.25);
)";

// The sqlite3 shell's own answer, bypassing the server.
std::string sqlite(const std::string& db, const std::string& sql) {
    return run("sqlite3 '" + db + "' \"" + sql + "\"").output;
}

class Translation : public ::testing::Test {
protected:
    void SetUp() override {
        std::string file = dir / "schema.sql";
        std::ofstream(file) << schema;
        auto r = run("sqlite3 '" + db + "' < '" + file + "'");
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }

    std::unique_ptr<ServeProcess> start(bool readOnly = false) {
        std::vector<std::string> args{"serve", "--port", std::to_string(port)};
        if (readOnly) args.push_back("--read-only");
        args.push_back(db);
        auto p = std::make_unique<ServeProcess>(args);
        EXPECT_TRUE(p->waitForOutput("Connect with:")) << p->output();
        return p;
    }

    std::string rowCounts() {
        return sqlite(db, "SELECT (SELECT count(*) FROM customers) || ' ' || "
                          "(SELECT count(*) FROM order_lines)");
    }

    TempDir dir;
    std::string db = dir / "shop.db";
    unsigned short port = freePort();
};

struct PsqlCase {
    std::string sql, expected; // psql -At output: one line per row, cells joined by '|'
};

// Catalog answers built from the file's schema, and the tags of session commands.
const PsqlCase catalogCases[] = {
    {"SELECT version()", "PostgreSQL 14.0 (sqlite-proxy)\n"},
    {"SHOW TimeZone", "UTC\n"},
    {"SELECT table_name, table_type FROM information_schema.tables "
     "WHERE table_schema = 'public' ORDER BY table_name",
     "customers|public|BASE TABLE\nnotes|public|BASE TABLE\norder_lines|public|BASE TABLE\n"},
    {"SELECT column_name, data_type FROM information_schema.columns "
     "WHERE table_schema = 'public' AND table_name = 'order_lines' ORDER BY ordinal_position",
     "main|public|order_lines|order_id|0||NO|int4|int4\n"
     "main|public|order_lines|line_no|1||NO|int4|int4\n"
     "main|public|order_lines|qty|2|1|NO|int4|int4\n"
     "main|public|order_lines|price|3||YES|float8|float8\n"},
    {"SELECT * FROM information_schema.columns WHERE TABLE_NAME = 'customers'",
     "main|public|customers|id|0||YES|int4|int4\n"
     "main|public|customers|name|1||NO|text|text\n"
     "main|public|customers|joined|2|'2024-01-01'|YES|date|date\n"},
    {"SELECT kcu.column_name FROM information_schema.table_constraints tc "
     "JOIN information_schema.key_column_usage kcu ON tc.constraint_name = kcu.constraint_name "
     "WHERE tc.constraint_type = 'PRIMARY KEY' AND tc.table_name = 'order_lines'",
     "order_lines_pkey|order_id\norder_lines_pkey|line_no\n"},
    {"SELECT * FROM information_schema.key_column_usage WHERE table_name = 'customers'",
     "customers_pkey|id\n"},
    {"SELECT a.attname, a.attnum FROM pg_attribute a JOIN pg_class c ON a.attrelid = c.oid "
     "WHERE c.relname = 'order_lines' AND a.attnum > 0",
     "order_id|1|23|-1|t|f|0\nline_no|2|23|-1|t|f|0\nqty|3|23|-1|t|t|0\nprice|4|701|-1|f|f|0\n"},
    {"SELECT c.oid, c.relname FROM pg_catalog.pg_class c WHERE c.relkind = 'r'",
     "16384|customers|public\n16385|notes|public\n16386|order_lines|public\n"},
    {"SET search_path TO public", "SET\n"},
    {"SET client_min_messages = warning;", "SET\n"},
    {"BEGIN", "BEGIN\n"},
    {"  begin transaction ; ", "BEGIN\n"},
    {"COMMIT", "COMMIT\n"},
    {"ROLLBACK", "ROLLBACK\n"},
};

TEST_F(Translation, PsqlGetsCatalogAnswersAndSessionTags) {
    auto serve = start();
    for (const auto& c : catalogCases) {
        auto r = psql(port, c.sql);
        EXPECT_EQ(r.exitCode, 0) << c.sql << "\n" << r.output;
        EXPECT_EQ(r.output, c.expected) << c.sql;
    }
}

TEST_F(Translation, ShowAllListsSixteenSettingsWithEmptyDescriptions) {
    auto serve = start();
    auto r = psql(port, "SHOW ALL");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    std::vector<std::string> lines;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 16u) << r.output;
    for (const auto& line : lines) {
        EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 2) << line;
        EXPECT_EQ(line.back(), '|') << "description should be empty: " << line;
    }
    for (const char* expected :
         {"server_version|14.0|", "search_path|\"$user\", public|", "datestyle|ISO, MDY|"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    // The aligned listing tells the user how many rows came.
    EXPECT_NE(psql(port, "SHOW ALL", "").output.find("(16 rows)"), std::string::npos);
}

TEST_F(Translation, PostgresSyntaxReachesSQLiteRewritten) {
    auto serve = start();
    // Casts and schema prefixes go; literals that only look like them stay.
    auto r = psql(port, "SELECT c.name, o.qty * o.price::numeric, 'public.x::date' "
                        "FROM public.customers c JOIN \"public\" . order_lines o "
                        "ON o.order_id = c.id WHERE c.joined >= '2024-01-01'::date "
                        "AND o.line_no = 1::integer");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "Ann|19|public.x::date\n");

    r = psql(port, "UPDATE public.order_lines SET price = '7'::real WHERE order_id = 2", "");
    EXPECT_EQ(r.output, "UPDATE 1\n");
    EXPECT_EQ(sqlite(db, "SELECT price FROM order_lines WHERE order_id = 2"), "7.0\n");
}

TEST_F(Translation, ReadOnlyServerStillAnswersCatalogQueries) {
    auto serve = start(/*readOnly=*/true);
    for (const auto& c : catalogCases) {
        auto r = psql(port, c.sql);
        EXPECT_EQ(r.output, c.expected) << c.sql;
    }
    auto r = psql(port, "DELETE FROM notes");
    EXPECT_NE(r.output.find("Read-only mode is enabled"), std::string::npos) << r.output;
}

// Transactions are answered, not run: whatever the spelling, a BEGIN must not open a
// transaction in the server's sqlite3 shell that the answered COMMIT would leave open,
// holding back (and at the end losing) every write after it.
TEST_F(Translation, WritesAfterBeginAreInTheFileAtOnce) {
    auto serve = start();
    const std::string begins[] = {"BEGIN", "begin transaction ;", "BEGIN\n  TRANSACTION",
                                  "BEGIN IMMEDIATE", "begin deferred transaction;"};
    int notes = 0;
    for (const auto& begin : begins) {
        EXPECT_EQ(psql(port, begin).output, "BEGIN\n") << begin;
        EXPECT_EQ(psql(port, "INSERT INTO notes VALUES ('note')", "").output, "INSERT 0 1\n");
        EXPECT_EQ(sqlite(db, "SELECT count(*) FROM notes"), std::to_string(++notes) + "\n")
            << begin;
        EXPECT_EQ(psql(port, "COMMIT TRANSACTION").output, "COMMIT\n") << begin;
    }
}

// A table name taken from a filter goes into a schema query of the server's own making; it
// must stay a name there, whatever it holds.
TEST_F(Translation, TableNamesInCatalogFiltersCannotRunStatements) {
    const std::string attacks[] = {
        "SELECT * FROM information_schema.columns "
        "WHERE table_name = 'x); DELETE FROM customers; --'",
        "SELECT * FROM information_schema.columns "
        "WHERE table_name = 'x\"); DELETE FROM customers; --'",
        "SELECT * FROM information_schema.key_column_usage "
        "WHERE table_name = 'x\"); DROP TABLE order_lines; --'",
        "SELECT * FROM pg_attribute WHERE relname = 'x\"); DELETE FROM order_lines; --'",
    };
    for (bool readOnly : {false, true}) {
        auto serve = start(readOnly);
        for (const auto& attack : attacks) {
            auto r = psql(port, attack);
            EXPECT_EQ(r.exitCode, 0) << attack << "\n" << r.output;
            EXPECT_EQ(r.output, "") << attack; // no rows
        }
        EXPECT_EQ(rowCounts(), "2 3\n") << (readOnly ? "read-only" : "writable");
        EXPECT_EQ(psql(port, "SELECT count(*) FROM customers").output, "2\n");
    }
}

// libpq's PQexecParams: Parse, Bind, Describe, Execute, Sync.
class LibpqConnection {
public:
    explicit LibpqConnection(unsigned short port) {
        std::string conninfo = "host=127.0.0.1 port=" + std::to_string(port) +
                               " user=any dbname=any connect_timeout=10";
        conn_ = PQconnectdb(conninfo.c_str());
    }
    ~LibpqConnection() { PQfinish(conn_); }
    LibpqConnection(const LibpqConnection&) = delete;
    LibpqConnection& operator=(const LibpqConnection&) = delete;

    bool ok() const { return PQstatus(conn_) == CONNECTION_OK; }
    std::string error() const { return PQerrorMessage(conn_); }

    struct Answer {
        std::string tag, error;
        std::vector<std::string> columns; // "name:oid"
        std::vector<std::vector<std::string>> rows;
    };

    Answer exec(const std::string& sql, const std::vector<std::string>& params = {}) {
        std::vector<const char*> values;
        for (const auto& p : params) values.push_back(p.c_str());
        PGresult* res = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                     values.data(), nullptr, nullptr, 0);
        Answer a;
        a.tag = PQcmdStatus(res);
        if (PQresultStatus(res) == PGRES_FATAL_ERROR) a.error = PQresultErrorMessage(res);
        for (int c = 0; c < PQnfields(res); ++c)
            a.columns.push_back(std::string(PQfname(res, c)) + ":" +
                                std::to_string(PQftype(res, c)));
        for (int r = 0; r < PQntuples(res); ++r) {
            a.rows.emplace_back();
            for (int c = 0; c < PQnfields(res); ++c)
                a.rows.back().push_back(PQgetisnull(res, r, c) ? "NULL" : PQgetvalue(res, r, c));
        }
        PQclear(res);
        return a;
    }

private:
    PGconn* conn_ = nullptr;
};

TEST_F(Translation, ExtendedProtocolGetsTheSameAnswers) {
    auto serve = start();
    LibpqConnection conn(port);
    ASSERT_TRUE(conn.ok()) << conn.error();
    using Rows = std::vector<std::vector<std::string>>;
    struct Case {
        std::string sql;
        std::vector<std::string> params;
        std::string tag;
        std::vector<std::string> columns;
        Rows rows;
    } cases[] = {
        {"SELECT version()", {}, "SELECT 1", {"version:25"}, {{"PostgreSQL 14.0 (sqlite-proxy)"}}},
        {"SELECT table_name FROM information_schema.tables",
         {},
         "SELECT 3",
         {"table_name:25", "table_schema:25", "table_type:25"},
         {{"customers", "public", "BASE TABLE"},
          {"notes", "public", "BASE TABLE"},
          {"order_lines", "public", "BASE TABLE"}}},
        {"SELECT * FROM information_schema.columns WHERE table_name = $1",
         {"customers"},
         "SELECT 3",
         {"table_catalog:25", "table_schema:25", "table_name:25", "column_name:25",
          "ordinal_position:23", "column_default:25", "is_nullable:25", "data_type:25",
          "udt_name:25"},
         {{"main", "public", "customers", "id", "0", "NULL", "YES", "int4", "int4"},
          {"main", "public", "customers", "name", "1", "NULL", "NO", "text", "text"},
          {"main", "public", "customers", "joined", "2", "'2024-01-01'", "YES", "date", "date"}}},
        {"SELECT * FROM information_schema.key_column_usage WHERE table_name = $1",
         {"order_lines"},
         "SELECT 2",
         {"constraint_name:25", "column_name:25"},
         {{"order_lines_pkey", "order_id"}, {"order_lines_pkey", "line_no"}}},
        {"SELECT * FROM pg_attribute WHERE relname = $1 AND attnum > $2",
         {"order_lines", "0"},
         "SELECT 4",
         {"attname:25", "attnum:23", "atttypid:23", "atttypmod:23", "attnotnull:16", "atthasdef:16",
          "attrelid:23"},
         {{"order_id", "1", "23", "-1", "t", "f", "0"},
          {"line_no", "2", "23", "-1", "t", "f", "0"},
          {"qty", "3", "23", "-1", "t", "t", "0"},
          {"price", "4", "701", "-1", "f", "f", "0"}}},
        {"SELECT oid, relname FROM pg_class",
         {},
         "SELECT 3",
         {"oid:23", "table_name:25", "table_schema:25"},
         {{"16384", "customers", "public"},
          {"16385", "notes", "public"},
          {"16386", "order_lines", "public"}}},
        // A quote in the parameter ends the name at the quote: no table, no rows.
        {"SELECT * FROM information_schema.key_column_usage WHERE table_name = $1",
         {"x'); DELETE FROM customers; --"},
         "SELECT 0",
         {"constraint_name:25", "column_name:25"},
         {}},
        {"SET application_name = 'tool'", {}, "SET", {}, {}},
        {"BEGIN", {}, "BEGIN", {}, {}},
        {"COMMIT", {}, "COMMIT", {}, {}},
        // Not intercepted: rewritten, then run on the file.
        {"SELECT name FROM public.customers WHERE joined >= $1::date ORDER BY id",
         {"2024-01-01"},
         "SELECT 1",
         {"name:25"},
         {{"Ann"}}},
    };
    for (const auto& c : cases) {
        auto a = conn.exec(c.sql, c.params);
        EXPECT_EQ(a.error, "") << c.sql;
        EXPECT_EQ(a.tag, c.tag) << c.sql;
        EXPECT_EQ(a.columns, c.columns) << c.sql;
        EXPECT_EQ(a.rows, c.rows) << c.sql;
    }
    auto all = conn.exec("SHOW ALL");
    EXPECT_EQ(all.tag, "SELECT 16");
    EXPECT_EQ(all.rows.size(), 16u);
    EXPECT_EQ(rowCounts(), "2 3\n");
}

TEST_F(Translation, PsqlListsTablesWithDt) {
    auto serve = start();
    auto r = psql(port, "\\dt", "");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.find("ERROR"), std::string::npos) << r.output;
    for (const char* table : {"customers", "notes", "order_lines"})
        EXPECT_NE(r.output.find(table), std::string::npos) << table << "\n" << r.output;
}

// psql reads the answers to its describe queries by column position, so each must have
// the columns it asks for; the printed tables come from the file's schema.
TEST_F(Translation, PsqlDescribesATable) {
    auto serve = start();
    const PsqlCase cases[] = {
        {"\\d order_lines", "Table \"public.order_lines\"\n"
                            "Column|Type|Collation|Nullable|Default\n"
                            "order_id|int4||not null|\n"
                            "line_no|int4||not null|\n"
                            "qty|int4||not null|1\n"
                            "price|float8|||\n"
                            "Indexes:\n"
                            "    \"order_lines_pkey\" PRIMARY KEY, btree (order_id, line_no)\n"},
        {"\\d public.customers", "Table \"public.customers\"\n"
                                 "Column|Type|Collation|Nullable|Default\n"
                                 "id|int4|||\n"
                                 "name|text||not null|\n"
                                 "joined|date|||'2024-01-01'\n"
                                 "Indexes:\n"
                                 "    \"customers_pkey\" PRIMARY KEY, btree (id)\n"},
        {"\\d NOTES",
         "Table \"public.notes\"\nColumn|Type|Collation|Nullable|Default\nbody|text|||\n"},
        {"\\d", "List of relations\nSchema|Name|Type|Owner\npublic|customers|table|sqlite\n"
                "public|notes|table|sqlite\npublic|order_lines|table|sqlite\n(3 rows)\n"},
    };
    for (const auto& c : cases) {
        auto r = psql(port, c.sql, "-A");
        EXPECT_EQ(r.exitCode, 0) << c.sql << "\n" << r.output;
        EXPECT_EQ(r.output, c.expected) << c.sql;
    }
    // \d+ adds storage and the other verbose columns.
    auto verbose = psql(port, "\\d+ order_lines", "-A");
    EXPECT_EQ(verbose.exitCode, 0) << verbose.output;
    EXPECT_NE(verbose.output.find("qty|int4||not null|1|plain|||\n"), std::string::npos)
        << verbose.output;
    auto missing = psql(port, "\\d nosuch", "-A");
    EXPECT_EQ(missing.exitCode, 1) << missing.output;
    EXPECT_NE(missing.output.find("Did not find any relation named \"nosuch\"."), std::string::npos)
        << missing.output;
}

TEST_F(Translation, Psycopg3DefaultModeSelectsAndCommitsAnInsert) {
    auto serve = start();
    // Not autocommit: psycopg sends BEGIN before the select.
    auto r = psycopg(port, dir / "client.py",
                     "    assert not c.autocommit\n"
                     "    print(c.execute('SELECT name FROM public.customers "
                     "ORDER BY id').fetchall())\n"
                     "    c.execute('INSERT INTO notes (body) VALUES (%s)', (\"it's kept\",))\n"
                     "    c.commit()\n"
                     "    print(c.info.transaction_status.name)\n");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "[('Ann',), ('Bob',)]\nIDLE\n");
    EXPECT_EQ(sqlite(db, "SELECT body FROM notes"), "it's kept\n");
}

} // namespace

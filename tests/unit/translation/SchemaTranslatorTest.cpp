#include "translation/SchemaTranslator.h"

#include "TestSupport.h"
#include "TranslationTestSupport.h"
#include "translation/QueryInterceptor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace st = quillhaven::SchemaTranslator;
using testing::ElementsAre;
using translationtest::columnsOf;
using translationtest::renderRows;

namespace {

TEST(SchemaTranslatorTypes, MapDeclaredTypesToOIDsAndNames) {
    struct Case {
        const char* declared;
        std::int32_t oid;
        const char* name;
    } cases[] = {
        {"varchar(255)", 25, "text"},
        {"INTEGER", 23, "int4"},
        {"DOUBLE PRECISION", 701, "float8"},
        {"DATETIME", 1114, "timestamp"},
        {"", 25, "text"},
        {"  bigint\t", 20, "int8"},
        {"UNSIGNED BIG INT", 23, "int4"},
        {"BIGINT UNSIGNED", 20, "int8"},                 // the longer key wins
        {"TIMESTAMP WITH TIME ZONE", 1114, "timestamp"}, // not DATE, not TIME...
        {"DECIMAL(10, 2)", 1700, "numeric"},
        {"NATIVE CHARACTER (70)", 25, "text"},
        {"blob", 17, "bytea"},
        {"Bool", 16, "bool"},
        {"date", 1082, "date"},
        {"JSON", 25, "text"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.declared);
        EXPECT_EQ(st::sqliteTypeToOID(c.declared), c.oid);
        EXPECT_EQ(st::pgTypeName(st::sqliteTypeToOID(c.declared)), c.name);
    }
    EXPECT_EQ(st::pgTypeName(700), "float4");
    EXPECT_EQ(st::pgTypeName(1043), "varchar");
    EXPECT_EQ(st::pgTypeName(2950), "text");
}

TEST(SchemaTranslatorNames, ExtractTableNameFromFilters) {
    struct Case {
        const char* sql;
        std::optional<std::string> name;
    } cases[] = {
        {"SELECT * FROM information_schema.columns WHERE TABLE_NAME = 'users'", "users"},
        {"... WHERE table_name='Mixed Case'", "Mixed Case"},
        {"... WHERE table_name = \"users\"", std::nullopt},
        {"... WHERE c.relname = 'orders'", "orders"},
        {"... WHERE c.relname = 'a' AND table_name = 'b'", "b"}, // table_name goes first
        {"... WHERE table_name = ''", std::nullopt},
        {"SELECT 1", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(st::extractTableName(c.sql), c.name) << c.sql;
}

TEST(SchemaTranslatorNames, QuoteIdentifierDoublesQuotes) {
    EXPECT_EQ(st::quoteIdentifier("orders"), "\"orders\"");
    EXPECT_EQ(st::quoteIdentifier("we\"ird)"), "\"we\"\"ird)\"");
}

TEST(SchemaTranslatorAnswers, TablesAndRelationsFollowTheSortedTableList) {
    auto backend = translationtest::shopBackend();
    auto tables = st::handleTablesQuery(*backend);
    EXPECT_EQ(columnsOf(tables), "table_name/25 table_schema/25 table_type/25");
    EXPECT_THAT(renderRows(tables), ElementsAre("'customers' 'public' 'BASE TABLE'",
                                                "'order_items' 'public' 'BASE TABLE'",
                                                "'orders' 'public' 'BASE TABLE'"));
    EXPECT_EQ(tables.commandTag, "SELECT 3");

    auto classes = st::handlePgClassQuery(*backend);
    EXPECT_EQ(columnsOf(classes), "oid/23 table_name/25 table_schema/25");
    EXPECT_THAT(renderRows(classes),
                ElementsAre("16384 'customers' 'public'", "16385 'order_items' 'public'",
                            "16386 'orders' 'public'"));
    EXPECT_EQ(classes.commandTag, "SELECT 3");
    EXPECT_THAT(backend->executed, ElementsAre(st::tableListQuery, st::tableListQuery));
}

TEST(SchemaTranslatorAnswers, ColumnsOfOneTableInOneRequest) {
    auto backend = translationtest::shopBackend();
    auto r = st::handleColumnsQuery(
        "SELECT * FROM information_schema.columns WHERE TABLE_NAME = 'orders'", *backend);
    EXPECT_EQ(columnsOf(r), "table_catalog/25 table_schema/25 table_name/25 column_name/25 "
                            "ordinal_position/23 column_default/25 is_nullable/25 "
                            "data_type/25 udt_name/25");
    EXPECT_THAT(renderRows(r),
                ElementsAre("'main' 'public' 'orders' 'id' 0 NULL 'YES' 'int4' 'int4'",
                            "'main' 'public' 'orders' 'customer' 1 NULL 'NO' 'text' 'text'",
                            "'main' 'public' 'orders' 'total' 2 '0' 'YES' 'float8' 'float8'",
                            "'main' 'public' 'orders' 'placed' 3 NULL 'YES' 'timestamp' "
                            "'timestamp'",
                            "'main' 'public' 'orders' 'note' 4 NULL 'YES' 'text' 'text'"));
    EXPECT_EQ(r.commandTag, "SELECT 5");
    EXPECT_THAT(backend->executed, ElementsAre("PRAGMA table_info(\"orders\")"));
}

TEST(SchemaTranslatorAnswers, AttributesCountFromOne) {
    auto backend = translationtest::shopBackend();
    auto r = st::handlePgAttributeQuery(
        "SELECT attname FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid "
        "WHERE c.relname = 'order_items'",
        *backend);
    EXPECT_EQ(columnsOf(r), "attname/25 attnum/23 atttypid/23 atttypmod/23 attnotnull/16 "
                            "atthasdef/16 attrelid/23");
    EXPECT_THAT(renderRows(r),
                ElementsAre("'order_id' 1 23 -1 't' 'f' 0", "'line' 2 23 -1 't' 'f' 0",
                            "'sku' 3 25 -1 'f' 'f' 0", "'qty' 4 20 -1 'f' 't' 0"));
    EXPECT_EQ(r.commandTag, "SELECT 4");
}

// A table-list row without a name is skipped everywhere, but still uses up its position in
// the OIDs; a name that came as a number is listed in its textual form.
TEST(SchemaTranslatorAnswers, NamelessTableRowsAreSkippedButKeepTheirOID) {
    using quillhaven::CellValue;
    translationtest::FixedBackend backend(
        {{CellValue{std::string("a")}}, {std::nullopt}, {}, {CellValue{std::int64_t{7}}}});
    EXPECT_THAT(renderRows(st::handlePgClassQuery(backend)),
                ElementsAre("16384 'a' 'public'", "16387 '7' 'public'"));
    EXPECT_THAT(renderRows(st::handleTablesQuery(backend)),
                ElementsAre("'a' 'public' 'BASE TABLE'", "'7' 'public' 'BASE TABLE'"));
    auto estimates = quillhaven::QueryInterceptor::check(
        "SELECT relname, reltuples AS estimated_row FROM pg_class", backend);
    ASSERT_TRUE(estimates);
    EXPECT_THAT(renderRows(*estimates), ElementsAre("'sqlite' 'a' 0", "'sqlite' '7' 0"));
    EXPECT_EQ(estimates->commandTag, "SELECT 2");
}

// attnum is cid + 1 whatever kind of cell the shell gave for cid; a cid that is not a
// number, or has no successor, is passed on as it came.
TEST(SchemaTranslatorAnswers, AttributeNumberFromEveryKindOfCid) {
    using quillhaven::Cell;
    using quillhaven::CellValue;
    struct Case {
        Cell cid;
        std::string attnum;
    } cases[] = {
        {CellValue{std::int64_t{0}}, "1"},
        {CellValue{2.9}, "3"},
        {CellValue{-0.5}, "1"},
        {CellValue{std::string("4")}, "5"},
        {CellValue{std::string("+4")}, "5"},
        {CellValue{std::string("-1")}, "0"},
        {CellValue{std::string("+-1")}, "'+-1'"},
        {CellValue{std::string("4x")}, "'4x'"},
        {std::nullopt, "NULL"},
        {CellValue{INT64_MAX}, std::to_string(INT64_MAX)},
        {CellValue{std::string("9223372036854775807")}, "'9223372036854775807'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attnum);
        translationtest::FixedBackend backend(
            {{c.cid, CellValue{std::string("a")}, CellValue{std::string("INT")}, std::nullopt,
              std::nullopt, std::nullopt}});
        auto r = st::handlePgAttributeQuery("... relname = 't'", backend);
        ASSERT_EQ(r.rows.size(), 1u);
        EXPECT_EQ(translationtest::render({r.rows[0][1]}), c.attnum);
    }
}

TEST(SchemaTranslatorAnswers, CompositePrimaryKeyGivesOneRowPerColumn) {
    auto backend = translationtest::shopBackend();
    for (const char* view : {"table_constraints", "key_column_usage"}) {
        auto r = st::handleConstraintsQuery(std::string("SELECT * FROM information_schema.") +
                                                view + " WHERE table_name = 'order_items'",
                                            *backend);
        EXPECT_EQ(columnsOf(r), "constraint_name/25 column_name/25");
        EXPECT_THAT(renderRows(r),
                    ElementsAre("'order_items_pkey' 'order_id'", "'order_items_pkey' 'line'"));
        EXPECT_EQ(r.commandTag, "SELECT 2");
    }
}

TEST(SchemaTranslatorAnswers, NameWithQuotesAndParenthesisIsOneIdentifier) {
    auto backend = translationtest::shopBackend();
    backend->execute("CREATE TABLE \"we\"\"ird)\" (x TEXT PRIMARY KEY)");
    auto r = st::handleColumnsQuery("... WHERE table_name = 'we\"ird)'", *backend);
    EXPECT_THAT(renderRows(r), ElementsAre("'main' 'public' 'we\"ird)' 'x' 0 NULL 'YES' "
                                           "'text' 'text'"));
}

TEST(SchemaTranslatorAnswers, MissingNameOrTableAnswersNoRows) {
    auto backend = translationtest::shopBackend();
    testsupport::LogCapture log;
    const std::string noName = "SELECT * FROM information_schema.columns WHERE 1";
    auto columns = st::handleColumnsQuery(noName, *backend);
    EXPECT_EQ(columns.commandTag, "SELECT 0");
    EXPECT_EQ(columns.columns.size(), 9u);
    EXPECT_TRUE(log.contains("SchemaTranslator",
                             "Could not extract table name from columns query: " + noName));
    EXPECT_TRUE(backend->executed.empty());

    auto attributes = st::handlePgAttributeQuery("... relname = 'nope'", *backend);
    EXPECT_EQ(attributes.commandTag, "SELECT 0");
    EXPECT_TRUE(attributes.rows.empty());
    EXPECT_EQ(attributes.columns.size(), 7u);
}

// A failing backend: the handler's columns, no rows, the error logged (never sent).
TEST(SchemaTranslatorAnswers, BackendFailureIsLoggedAndAnsweredEmpty) {
    translationtest::FailingBackend backend;
    testsupport::LogCapture log;
    struct Case {
        quillhaven::InterceptResult result;
        std::size_t columns;
        std::string line;
    } cases[] = {
        {st::handleTablesQuery(backend), 3,
         "Failed to query sqlite_master for tables: disk I/O error"},
        {st::handlePgClassQuery(backend), 3,
         "Failed to query sqlite_master for pg_class: disk I/O error"},
        {st::handleColumnsQuery("table_name = 't'", backend), 9,
         "Failed to query table_info for t: disk I/O error"},
        {st::handleConstraintsQuery("table_name = 't'", backend), 2,
         "Failed to query constraints for t: disk I/O error"},
        {st::handlePgAttributeQuery("table_name = 't'", backend), 7,
         "Failed to query pg_attribute for t: disk I/O error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(c.result.commandTag, "SELECT 0");
        EXPECT_TRUE(c.result.rows.empty());
        EXPECT_EQ(c.result.columns.size(), c.columns);
        EXPECT_TRUE(log.contains("SchemaTranslator", c.line));
    }
}

// A table name taken from a catalog query must not end the PRAGMA and start a statement
// of its own, for any of the handlers that build one.
TEST(SchemaTranslatorInjection, TableNameCannotRunAWrite) {
    auto backend = translationtest::shopBackend();
    const char* injected = "'x); DELETE FROM orders; --'";
    for (const char* query :
         {"SELECT * FROM information_schema.columns WHERE table_name = ",
          "SELECT * FROM information_schema.key_column_usage WHERE table_name = ",
          "SELECT * FROM pg_attribute a, pg_class c WHERE c.relname = "}) {
        std::string sql = std::string(query) + injected;
        auto answer = quillhaven::QueryInterceptor::check(sql, *backend);
        ASSERT_TRUE(answer) << sql;
        EXPECT_EQ(answer->commandTag, "SELECT 0");
    }
    auto count = backend->execute("SELECT count(*) FROM orders");
    EXPECT_EQ(translationtest::render(count->rows.at(0)), "2");
    // The only text the backend saw holds the DELETE inside one quoted identifier.
    const std::string pragma = "PRAGMA table_info(\"x); DELETE FROM orders; --\")";
    EXPECT_THAT(backend->executed,
                ElementsAre(pragma, pragma, pragma, "SELECT count(*) FROM orders"));
}

} // namespace

#include "translation/QueryInterceptor.h"

#include "Psql15Queries.h"
#include "TestSupport.h"
#include "TranslationTestSupport.h"
#include "translation/TranslationHooks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using quillhaven::QueryInterceptor::check;
using testing::ElementsAre;
using translationtest::columnsOf;
using translationtest::render;
using translationtest::renderRows;

namespace {

struct DispatchCase {
    const char* sql;
    const char* tag;     // "" = not intercepted
    const char* columns; // "name/oid ..."
    const char* firstRow = "";
};

void PrintTo(const DispatchCase& c, std::ostream* os) {
    *os << c.sql;
}

class Dispatch : public testing::TestWithParam<DispatchCase> {};

TEST_P(Dispatch, AnswersLocallyOrPassesOn) {
    const auto& c = GetParam();
    auto backend = translationtest::shopBackend();
    auto answer = check(c.sql, *backend);
    if (std::string(c.tag).empty()) {
        EXPECT_FALSE(answer) << answer->commandTag;
        return;
    }
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->commandTag, c.tag);
    EXPECT_EQ(columnsOf(*answer), c.columns);
    EXPECT_EQ(answer->rows.empty() ? "" : render(answer->rows[0]), c.firstRow);
}

// psql's describe sequence for shopBackend's tables: customers 16384 (no primary key),
// order_items 16385, orders 16386.
const std::string psqlQueries[] = {
    psql15::lookup("^(order_items)$"), psql15::lookup("^(ORDER_ITEMS)$"),
    psql15::lookup("^(order.*)$"),     psql15::lookup("^(nosuch)$"),
    psql15::details("16385"),          psql15::details("16384"),
    psql15::details("99999"),          psql15::attributes("16385"),
    psql15::indexes("16385"),          psql15::indexes("16384"),
    psql15::policies("16385"),         psql15::statistics("16385"),
    psql15::publications("16385"),     psql15::parents("16385"),
    psql15::children("16385"),         psql15::listing("'r','p',''"),
    psql15::listing("'v',''"),         psql15::listing("'r','p',''", "^(order.*)$"),
};
const std::string detailsColumns =
    "relchecks/23 relkind/25 relhasindex/16 relhasrules/16 relhastriggers/16 relrowsecurity/16 "
    "relforcerowsecurity/16 relhasoids/16 relispartition/16 ?column?/25 reltablespace/26 "
    "reloftype/25 relpersistence/25 relreplident/25 amname/19";
const char* const lookupColumns = "oid/26 nspname/19 relname/19";
const char* const listingColumns = "Schema/25 Name/25 Type/25 Owner/25";

const DispatchCase dispatchCases[] = {
    // Session commands, decided by the whole statement.
    {"BEGIN;", "BEGIN", ""},
    {"  begin \n", "BEGIN", ""},
    {"start transaction;;", "BEGIN", ""},
    {"BEGIN READ ONLY", "", ""},
    // Spellings SQLite would run as real transaction control are answered as well.
    {"begin transaction ;", "BEGIN", ""},
    {"BEGIN\n  TRANSACTION", "BEGIN", ""},
    {"BEGIN IMMEDIATE;", "BEGIN", ""},
    {"begin exclusive transaction", "BEGIN", ""},
    {"BEGIN IMMEDIATE READ", "", ""},
    {"COMMIT TRANSACTION", "COMMIT", ""},
    {"end work ;", "COMMIT", ""},
    {"ROLLBACK TRANSACTION", "ROLLBACK", ""},
    {"ROLLBACK TO SAVEPOINT s1", "", ""},
    {"COMMIT", "COMMIT", ""},
    {"end transaction", "COMMIT", ""},
    {"ABORT", "ROLLBACK", ""},
    {"SET client_encoding TO 'UTF8'", "SET", ""},
    {"SET statement_timeout = 0; SELECT pg_type", "SET", ""}, // the first test decides
    {"DISCARD ALL", "DISCARD ALL", ""},
    {"RESET ALL", "RESET", ""},
    {"UNLISTEN *", "LISTEN", ""},
    {"LISTEN jobs", "LISTEN", ""},
    {"NOTIFY jobs", "NOTIFY", ""},
    {"DEALLOCATE pdo_stmt_1", "DEALLOCATE", ""},
    {"SHOW TimeZone", "SELECT 1", "timezone/25", "'UTC'"},
    {"SHOW 'DateStyle';", "SELECT 1", "datestyle/25", "'ISO, MDY'"},
    {"show search_path", "SELECT 1", "search_path/25", "'\"$user\", public'"},
    // Catalog questions answered with fixed values.
    {"SELECT version()", "SELECT 1", "version/25", "'PostgreSQL 14.0 (sqlite-proxy)'"},
    {"select current_schema()", "SELECT 1", "current_schema/25", "'public'"},
    {"SELECT current_schema() FROM pg_catalog.pg_namespace", "SELECT 3", "nspname/25",
     "'pg_catalog'"},
    {"SELECT current_role", "SELECT 1", "current_user/25", "'sqlite'"},
    {"SELECT current_database()", "SELECT 1", "current_database/25", "'sqlite'"},
    {"SELECT pg_is_in_recovery()", "SELECT 1", "pg_is_in_recovery/16", "'f'"},
    {"SELECT pg_backend_pid()", "SELECT 1", "pg_backend_pid/23", "'1'"},
    {"SELECT inet_server_port()", "SELECT 1", "inet_server_addr/25", "'127.0.0.1'"},
    {"SELECT oid, typname FROM pg_type WHERE typname = 'int4'", "SELECT 13",
     "oid/23 typname/25 typnamespace/23 typtype/25 typcategory/25 typlen/23 typelem/23 "
     "typarray/23 typinput/25 typoutput/25",
     "16 'bool' 11 'b' 'B' 1 0 1000 'boolin' 'boolout'"},
    {"SELECT oid FROM pg_type WHERE typname='geometry'", "SELECT 0", "oid/23 typname/25"},
    {"SELECT * FROM pg_statio_user_tables", "SELECT 1",
     "total_size/20 data_size/20 index_size/20 comment/25", "NULL NULL NULL NULL"},
    {"SELECT relname AS name FROM pg_statio_user_tables", "SELECT 0",
     "name/25 comment/25 total_size/20 data_size/20 index_size/20"},
    {"SELECT * FROM pg_enum", "SELECT 0", "type_oid/23 schema_name/25 type_name/25 type_define/25"},
    {"SELECT pg_get_functiondef(1)", "SELECT 0",
     "owner/25 oid/23 args/25 function_schema/25 function_name/25 function_type/25"},
    {"SELECT reltuples FROM pg_class", "SELECT 1", "count/20", "'0'"},
    {"SELECT * FROM pg_class WHERE relkind = 'm'", "SELECT 0",
     "table_name/25 table_schema/25 table_type/25"},
    {"SELECT * FROM pg_index", "SELECT 0",
     "indexrelid/23 indrelid/23 indisprimary/16 indisunique/16 indkey/25"},
    {"SELECT * FROM pg_constraint", "SELECT 0",
     "conname/25 contype/25 conrelid/23 confrelid/23 conkey/25 confkey/25"},
    {"SELECT datname FROM pg_database", "SELECT 1",
     "datname/25 oid/23 datdba/23 encoding/23 datcollate/25 datctype/25",
     "'sqlite' 16384 10 6 'en_US.UTF-8' 'en_US.UTF-8'"},
    {"SELECT relname FROM pg_stat_user_tables", "SELECT 0", "relname/25"},
    {"SELECT * FROM pg_settings", "SELECT 0", "result/25"},
    // Schema questions answered from the SQLite schema.
    {"SELECT table_name FROM information_schema.tables", "SELECT 3",
     "table_name/25 table_schema/25 table_type/25", "'customers' 'public' 'BASE TABLE'"},
    {"SELECT * FROM information_schema.columns WHERE table_name = 'Orders'", "SELECT 5",
     "table_catalog/25 table_schema/25 table_name/25 column_name/25 ordinal_position/23 "
     "column_default/25 is_nullable/25 data_type/25 udt_name/25",
     "'main' 'public' 'Orders' 'id' 0 NULL 'YES' 'int4' 'int4'"},
    {"SELECT * FROM information_schema.tables t JOIN information_schema.key_column_usage k "
     "ON true WHERE k.table_name = 'orders'",
     "SELECT 1", "constraint_name/25 column_name/25", "'orders_pkey' 'id'"},
    {"SELECT c.oid, c.relname FROM pg_class c WHERE c.relkind IN ('r', 'm')", "SELECT 3",
     "oid/23 table_name/25 table_schema/25", "16384 'customers' 'public'"},
    {"SELECT c.relname, c.reltuples AS estimated_row, c.relowner FROM pg_class c", "SELECT 3",
     "owner/25 name/25 estimated_row/20", "'sqlite' 'customers' 0"},
    // psql's \d NAME, \d and \dt, answered with the columns psql reads by position. Names
    // match psql's pattern without regard to case, as SQLite's do.
    {psqlQueries[0].c_str(), "SELECT 1", lookupColumns, "16385 'public' 'order_items'"},
    {psqlQueries[1].c_str(), "SELECT 1", lookupColumns, "16385 'public' 'order_items'"},
    {psqlQueries[2].c_str(), "SELECT 2", lookupColumns, "16385 'public' 'order_items'"},
    {psqlQueries[3].c_str(), "SELECT 0", lookupColumns},
    {psqlQueries[4].c_str(), "SELECT 1", detailsColumns.c_str(),
     "0 'r' 't' 'f' 'f' 'f' 'f' 'f' 'f' '' 0 '' 'p' 'd' 'heap'"},
    {psqlQueries[5].c_str(), "SELECT 1", detailsColumns.c_str(),
     "0 'r' 'f' 'f' 'f' 'f' 'f' 'f' 'f' '' 0 '' 'p' 'd' 'heap'"},
    {psqlQueries[6].c_str(), "SELECT 0", detailsColumns.c_str()},
    {psqlQueries[7].c_str(), "SELECT 4",
     "attname/19 format_type/25 pg_get_expr/25 attnotnull/16 attcollation/19 attidentity/25 "
     "attgenerated/25",
     "'order_id' 'int4' NULL 't' NULL '' ''"},
    {psqlQueries[8].c_str(), "SELECT 1",
     "relname/19 indisprimary/16 indisunique/16 indisclustered/16 indisvalid/16 "
     "pg_get_indexdef/25 pg_get_constraintdef/25 contype/25 condeferrable/16 condeferred/16 "
     "indisreplident/16 reltablespace/26",
     "'order_items_pkey' 't' 't' 'f' 't' 'CREATE UNIQUE INDEX order_items_pkey ON "
     "public.order_items USING btree (order_id, line)' 'PRIMARY KEY (order_id, line)' 'p' 'f' "
     "'f' 'f' 0"},
    {psqlQueries[9].c_str(), "SELECT 0",
     "relname/19 indisprimary/16 indisunique/16 indisclustered/16 indisvalid/16 "
     "pg_get_indexdef/25 pg_get_constraintdef/25 contype/25 condeferrable/16 condeferred/16 "
     "indisreplident/16 reltablespace/26"},
    {psqlQueries[10].c_str(), "SELECT 0",
     "polname/19 polpermissive/16 array_to_string/25 pg_get_expr/25 pg_get_expr/25 cmd/25"},
    {psqlQueries[11].c_str(), "SELECT 0",
     "oid/26 stxrelid/25 nsp/25 stxname/19 columns/25 ndist_enabled/16 deps_enabled/16 "
     "mcv_enabled/16 stxstattarget/23"},
    {psqlQueries[12].c_str(), "SELECT 0", "pubname/19 ?column?/25 ?column?/25"},
    {psqlQueries[13].c_str(), "SELECT 0", "oid/25"},
    {psqlQueries[14].c_str(), "SELECT 0", "oid/25 relkind/25 inhdetachpending/16 pg_get_expr/25"},
    {psqlQueries[15].c_str(), "SELECT 3", listingColumns, "'public' 'customers' 'table' 'sqlite'"},
    {psqlQueries[16].c_str(), "SELECT 0", listingColumns},
    {psqlQueries[17].c_str(), "SELECT 2", listingColumns,
     "'public' 'order_items' 'table' 'sqlite'"},
    // The user's own statements, including ones that only mention catalog names inside a
    // string literal or a comment, reach the database.
    {"SELECT * FROM orders", "", ""},
    {"SELECT * FROM notes WHERE body LIKE '%pg_index%'", "", ""},
    {"DELETE FROM notes WHERE body = 'see information_schema.columns'", "", ""},
    {"SELECT 'version()' AS v -- pg_type\n", "", ""},
    {"UPDATE t SET x = 1 /* current_user */", "", ""},
    {"", "", ""},
};

INSTANTIATE_TEST_SUITE_P(Statements, Dispatch, testing::ValuesIn(dispatchCases));

TEST(Interceptor, ShowAllListsSixteenSettings) {
    auto backend = translationtest::shopBackend();
    auto answer = check("SHOW ALL", *backend);
    ASSERT_TRUE(answer);
    EXPECT_EQ(columnsOf(*answer), "name/25 setting/25 description/25");
    EXPECT_EQ(answer->commandTag, "SELECT 16");
    ASSERT_EQ(answer->rows.size(), 16u);
    for (const auto& row : answer->rows) EXPECT_EQ(render({row[2]}), "''");
    EXPECT_EQ(render(answer->rows[5]), "'timezone' 'UTC' ''");
}

TEST(Interceptor, LogsUnknownShowParameterAndCatalogFallback) {
    auto backend = translationtest::shopBackend();
    testsupport::LogCapture log;
    auto show = check("SHOW transaction isolation level", *backend);
    ASSERT_TRUE(show);
    EXPECT_EQ(columnsOf(*show), "transaction isolation level/25");
    EXPECT_THAT(renderRows(*show), ElementsAre("''"));
    EXPECT_TRUE(
        log.contains("QueryInterceptor", "Unknown SHOW parameter: transaction isolation level"));

    check("SELECT * FROM PG_ROLES;", *backend);
    EXPECT_TRUE(log.contains("QueryInterceptor",
                             "Intercepting pg_catalog query with empty result: select * from "
                             "pg_roles"));
}

// Whatever the backend does, every statement that needs it is answered with its columns
// and no rows; nothing escapes to the session.
TEST(Interceptor, FailingBackendNeverEscapes) {
    for (bool oddThrow : {false, true}) {
        translationtest::FailingBackend backend(oddThrow);
        for (const std::string& sql : std::vector<std::string>{
                 "SELECT relname, relowner, reltuples FROM pg_class",
                 "SELECT * FROM information_schema.tables",
                 "SELECT * FROM information_schema.columns WHERE table_name = 'x'",
                 "SELECT * FROM information_schema.table_constraints WHERE table_name = 'x'",
                 "SELECT * FROM pg_attribute WHERE relname = 'x'", "SELECT * FROM pg_class",
                 psql15::lookup("^(x)$"), psql15::details("16384"), psql15::attributes("16384"),
                 psql15::indexes("16384"), psql15::listing("'r',''")}) {
            SCOPED_TRACE(sql);
            std::optional<quillhaven::InterceptResult> answer;
            EXPECT_NO_THROW(answer = check(sql, backend));
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->commandTag, "SELECT 0");
            EXPECT_TRUE(answer->rows.empty());
            EXPECT_FALSE(answer->columns.empty());
        }
    }
}

// \d NAME's column listing: every column of a composite-key table with its mapped type,
// default and NOT NULL; \d+ adds storage, compression, statistics target and description.
TEST(PsqlDescribe, ListsColumnsFromTheTableSchema) {
    auto backend = translationtest::shopBackend();
    auto plain = check(psql15::attributes("16385"), *backend);
    ASSERT_TRUE(plain);
    EXPECT_THAT(renderRows(*plain),
                ElementsAre("'order_id' 'int4' NULL 't' NULL '' ''",
                            "'line' 'int4' NULL 't' NULL '' ''", "'sku' 'text' NULL 'f' NULL '' ''",
                            "'qty' 'int8' '1' 'f' NULL '' ''"));

    auto verbose = check(psql15::attributes("16386", /*verbose=*/true), *backend);
    ASSERT_TRUE(verbose);
    EXPECT_EQ(verbose->columns.size(), 11u);
    EXPECT_THAT(renderRows(*verbose),
                ElementsAre("'id' 'int4' NULL 'f' NULL '' '' 'p' '' NULL NULL",
                            "'customer' 'text' NULL 't' NULL '' '' 'x' '' NULL NULL",
                            "'total' 'float8' '0' 'f' NULL '' '' 'p' '' NULL NULL",
                            "'placed' 'timestamp' NULL 'f' NULL '' '' 'p' '' NULL NULL",
                            "'note' 'text' NULL 'f' NULL '' '' 'x' '' NULL NULL"));
}

// Names that are not plain lower-case words are quoted in the definitions psql prints, and
// reach SQLite only as quoted identifiers.
TEST(PsqlDescribe, QuotesNamesInTheKeyIndexDefinition) {
    testsupport::InProcessSQLiteBackend backend;
    backend.execute(R"(CREATE TABLE "Line Items" ("Order Id" INTEGER, "x""y" INT,
                                                  PRIMARY KEY ("Order Id", "x""y")))");
    auto lookup = check(psql15::lookup("^(Line Items)$"), backend);
    ASSERT_TRUE(lookup);
    EXPECT_THAT(renderRows(*lookup), ElementsAre("16384 'public' 'Line Items'"));
    auto index = check(psql15::indexes("16384"), backend);
    ASSERT_TRUE(index);
    ASSERT_EQ(index->rows.size(), 1u);
    EXPECT_EQ(render({index->rows[0][0], index->rows[0][5], index->rows[0][6]}),
              "'Line Items_pkey' 'CREATE UNIQUE INDEX \"Line Items_pkey\" ON public.\"Line "
              "Items\" USING btree (\"Order Id\", \"x\"\"y\")' 'PRIMARY KEY (\"Order Id\", "
              "\"x\"\"y\")'");
    EXPECT_EQ(backend.executed.back(), "PRAGMA table_info(\"Line Items\")");
}

// psql's name patterns are regular expressions; a schema other than public names nothing,
// and a pattern that is not a valid expression selects nothing rather than failing.
TEST(PsqlDescribe, LookupFollowsPsqlPatterns) {
    auto backend = translationtest::shopBackend();
    struct {
        std::string sql;
        std::vector<std::string> rows;
    } cases[] = {
        {psql15::lookup("^(orders)$", "^(public)$"), {"16386 'public' 'orders'"}},
        {psql15::lookup("^(orders)$", "^(other)$"), {}},
        {psql15::lookup("^(.*s)$"),
         {"16384 'public' 'customers'", "16385 'public' 'order_items'", "16386 'public' 'orders'"}},
        {psql15::lookup("^(o''s)$"), {}},
        {psql15::lookup("^(()$"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sql);
        auto answer = check(c.sql, *backend);
        ASSERT_TRUE(answer);
        EXPECT_EQ(renderRows(*answer), c.rows);
    }
}

TEST(TranslationHooks, BindInterceptorAndRewriter) {
    auto hooks = quillhaven::sqliteTranslationHooks();
    std::shared_ptr<quillhaven::Backend> backend = translationtest::shopBackend();
    auto tables = hooks.check("select table_name from information_schema.tables", backend);
    ASSERT_TRUE(tables);
    EXPECT_EQ(tables->commandTag, "SELECT 3");
    EXPECT_FALSE(hooks.check("SELECT * FROM orders", backend));
    EXPECT_EQ(hooks.rewrite("SELECT x::int FROM public.t"), "SELECT x FROM t");

    // Without a backend, schema questions still answer (with no rows).
    auto none = hooks.check("SELECT * FROM information_schema.tables", nullptr);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->commandTag, "SELECT 0");
}

} // namespace

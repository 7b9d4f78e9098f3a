#include "translation/QueryInterceptor.h"

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
        for (const char* sql :
             {"SELECT relname, relowner, reltuples FROM pg_class",
              "SELECT * FROM information_schema.tables",
              "SELECT * FROM information_schema.columns WHERE table_name = 'x'",
              "SELECT * FROM information_schema.table_constraints WHERE table_name = 'x'",
              "SELECT * FROM pg_attribute WHERE relname = 'x'", "SELECT * FROM pg_class"}) {
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

// Cost of the two statement hooks per statement: QueryInterceptor::check, then
// rewriteForSQLite for what is not intercepted, as a session runs them. The backend answers
// from memory, so schema answers measure the translation alone.

#include "backends/Backend.h"
#include "translation/QueryInterceptor.h"
#include "translation/SQLRewriter.h"

#include <benchmark/benchmark.h>
#include <string>

namespace {

using namespace quillhaven;

class MemoryBackend : public Backend {
public:
    void connect() override {}
    void close() override {}
    bool isAlive() override { return true; }
    std::optional<QueryResult> execute(const std::string& sql) override {
        QueryResult r;
        if (sql.rfind("PRAGMA", 0) == 0) {
            for (int i = 0; i < 8; ++i)
                r.rows.push_back({CellValue{std::int64_t{i}}, CellValue{"col" + std::to_string(i)},
                                  CellValue{std::string(i % 2 ? "INTEGER" : "varchar(64)")},
                                  CellValue{std::int64_t{i % 2}}, std::nullopt,
                                  CellValue{std::int64_t{i == 0}}});
        } else {
            for (int i = 0; i < 20; ++i) r.rows.push_back({CellValue{"table" + std::to_string(i)}});
        }
        return r;
    }
};

void runHooks(benchmark::State& state, const std::string& sql) {
    MemoryBackend backend;
    for (auto _ : state) {
        auto answer = QueryInterceptor::check(sql, backend);
        if (answer) {
            benchmark::DoNotOptimize(answer);
        } else {
            auto rewritten = rewriteForSQLite(sql);
            benchmark::DoNotOptimize(rewritten);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * sql.size()));
}

std::string insertOfSize(std::size_t bytes) {
    std::string sql = "INSERT INTO events (id, kind, payload, created_at) VALUES ";
    for (int i = 0; sql.size() < bytes; ++i)
        sql += (i ? ", (" : "(") + std::to_string(i) + ", 'click', '{\"x\": " + std::to_string(i) +
               "}', '2024-05-01 12:00:00')";
    return sql;
}

std::string selectOfSize(std::size_t bytes) {
    std::string sql = "SELECT o.id, o.customer, o.total";
    for (int i = 0; sql.size() < bytes - 200; ++i)
        sql += ", CASE WHEN o.total > " + std::to_string(i) +
               " THEN o.note ELSE o.customer END AS c" + std::to_string(i);
    sql += " FROM orders o JOIN customers c ON c.name = o.customer WHERE o.placed >= "
           "'2024-01-01' AND o.total BETWEEN 10 AND 500 ORDER BY o.placed DESC LIMIT 100";
    return sql;
}

const std::string user100 =
    "SELECT id, name, email FROM users WHERE status = 'active' AND age > 21 ORDER BY id LIMIT 50";
const std::string user100Rewritten =
    "SELECT * FROM public.orders WHERE placed::date = '2024-01-01'::date ORDER BY id LIMIT 5";
const std::string insert10k = insertOfSize(10 * 1024);
const std::string select10k = selectOfSize(10 * 1024);

// What psql's \d name and a database browser send.
const std::string psqlDescribe =
    "SELECT a.attname, pg_catalog.format_type(a.atttypid, a.atttypmod), (SELECT "
    "pg_catalog.pg_get_expr(d.adbin, d.adrelid, true) FROM pg_catalog.pg_attrdef d WHERE "
    "d.adrelid = a.attrelid AND d.adnum = a.attnum AND a.atthasdef), a.attnotnull FROM "
    "pg_catalog.pg_attribute a WHERE a.attrelid = '16384' AND a.attnum > 0 AND NOT "
    "a.attisdropped ORDER BY a.attnum;";
const std::string psqlListTables =
    "SELECT n.nspname as \"Schema\", c.relname as \"Name\", CASE c.relkind WHEN 'r' THEN "
    "'table' WHEN 'v' THEN 'view' END as \"Type\", pg_catalog.pg_get_userbyid(c.relowner) as "
    "\"Owner\" FROM pg_catalog.pg_class c LEFT JOIN pg_catalog.pg_namespace n ON n.oid = "
    "c.relnamespace WHERE c.relkind IN ('r','p','') AND n.nspname <> 'pg_catalog' AND "
    "pg_catalog.pg_table_is_visible(c.oid) ORDER BY 1,2;";
const std::string browserColumns =
    "SELECT column_name, data_type, is_nullable, column_default FROM information_schema.columns "
    "WHERE table_schema = 'public' AND table_name = 'orders' ORDER BY ordinal_position";
const std::string browserTables =
    "SELECT table_name, table_type FROM information_schema.tables WHERE table_schema = 'public' "
    "ORDER BY table_name";
const std::string setCommand = "SET client_min_messages TO warning";

} // namespace

BENCHMARK_CAPTURE(runHooks, user_select_100B, user100);
BENCHMARK_CAPTURE(runHooks, user_select_100B_with_rewrites, user100Rewritten);
BENCHMARK_CAPTURE(runHooks, user_insert_10KB, insert10k);
BENCHMARK_CAPTURE(runHooks, user_select_10KB, select10k);
BENCHMARK_CAPTURE(runHooks, session_set, setCommand);
BENCHMARK_CAPTURE(runHooks, psql_describe_pg_attribute, psqlDescribe);
BENCHMARK_CAPTURE(runHooks, psql_list_tables_pg_class, psqlListTables);
BENCHMARK_CAPTURE(runHooks, browser_information_schema_columns, browserColumns);
BENCHMARK_CAPTURE(runHooks, browser_information_schema_tables, browserTables);

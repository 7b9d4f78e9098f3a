#include "translation/QueryInterceptor.h"

#include "backends/Backend.h"
#include "support/Logger.h"
#include "support/Text.h"
#include "translation/Answers.h"
#include "translation/PsqlDescribe.h"
#include "translation/SQLSegmenter.h"
#include "translation/SchemaTranslator.h"

#include <algorithm>
#include <array>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace quillhaven::QueryInterceptor {
namespace {

using namespace answers;

const Logger& logger() {
    static const Logger instance("QueryInterceptor");
    return instance;
}

// SHOW answers, in the order SHOW ALL lists them ("all" itself is not listed).
constexpr std::array<std::pair<std::string_view, std::string_view>, 17> showDefaults = {{
    {"server_version", "14.0"},
    {"server_encoding", "UTF8"},
    {"client_encoding", "UTF8"},
    {"standard_conforming_strings", "on"},
    {"integer_datetimes", "on"},
    {"timezone", "UTC"},
    {"datestyle", "ISO, MDY"},
    {"intervalstyle", "postgres"},
    {"max_identifier_length", "63"},
    {"search_path", "\"$user\", public"},
    {"transaction_isolation", "read committed"},
    {"lc_collate", "en_US.UTF-8"},
    {"lc_ctype", "en_US.UTF-8"},
    {"is_superuser", "on"},
    {"session_authorization", "sqlite"},
    {"default_transaction_isolation", "read committed"},
    {"all", ""},
}};

constexpr std::string_view pgCatalogPatterns[] = {
    "pg_catalog",
    "pg_namespace",
    "pg_extension",
    "pg_available_extensions",
    "pg_settings",
    "pg_database",
    "pg_tablespace",
    "pg_shdescription",
    "pg_roles",
    "pg_user",
    "pg_shadow",
    "pg_group",
    "pg_stat_activity",
    "pg_locks",
    "pg_prepared_xacts",
    "pg_cursors",
    "pg_stat_replication",
    "pg_replication_slots",
    "pg_publication",
    "pg_subscription",
    "pg_enum",
    "pg_range",
    "pg_collation",
    "pg_am",
    "pg_amop",
    "pg_amproc",
    "pg_opclass",
    "pg_opfamily",
    "pg_operator",
    "pg_aggregate",
    "pg_proc",
    "pg_language",
    "pg_cast",
    "pg_conversion",
    "pg_depend",
    "pg_description",
    "pg_inherits",
    "pg_trigger",
    "pg_rewrite",
};

struct BuiltinType {
    std::int32_t oid;
    std::string_view name, typtype, category;
    std::int32_t length, elem, array;
};

constexpr BuiltinType builtinTypes[] = {
    {16, "bool", "b", "B", 1, 0, 1000},       {17, "bytea", "b", "U", -1, 0, 1001},
    {20, "int8", "b", "N", 8, 0, 1016},       {23, "int4", "b", "N", 4, 0, 1007},
    {25, "text", "b", "S", -1, 0, 1009},      {700, "float4", "b", "N", 4, 0, 1021},
    {701, "float8", "b", "N", 8, 0, 1022},    {1043, "varchar", "b", "S", -1, 0, 1015},
    {1082, "date", "b", "D", 4, 0, 1182},     {1114, "timestamp", "b", "D", 8, 0, 1115},
    {1700, "numeric", "b", "N", -1, 0, 1231}, {2950, "uuid", "b", "U", 16, 0, 2951},
    {3802, "jsonb", "b", "U", -1, 0, 3807},
};

InterceptResult tagOnly(std::string tag) {
    return InterceptResult{{}, {}, std::move(tag)};
}
// One text column with one text row.
InterceptResult single(std::string_view name, std::string_view value) {
    return InterceptResult{{column(name, 25)}, {{textCell(value)}}, "SELECT 1"};
}

bool contains(std::string_view s, std::string_view part) {
    return s.find(part) != std::string_view::npos;
}

InterceptResult handleShow(std::string_view statement) {
    std::string_view name = trimChars(trimChars(statement.substr(5), " \t"), "\"'");
    if (name == "all") {
        InterceptResult result{
            {column("name", 25), column("setting", 25), column("description", 25)}, {}, ""};
        for (const auto& [key, value] : showDefaults)
            if (key != "all") result.rows.push_back({textCell(key), textCell(value), textCell("")});
        result.commandTag = selectTag(result.rows.size());
        return result;
    }
    for (const auto& [key, value] : showDefaults)
        if (key == name) return single(name, value);
    logger().debug("Unknown SHOW parameter: %s", std::string(name));
    return single(name, "");
}

InterceptResult handlePgTypeQuery(std::string_view statement) {
    if ((contains(statement, "typname=") || contains(statement, "typname =")) &&
        (contains(statement, "geometry") || contains(statement, "geography")))
        return empty({column("oid", 23), column("typname", 25)});
    InterceptResult result{{column("oid", 23), column("typname", 25), column("typnamespace", 23),
                            column("typtype", 25), column("typcategory", 25), column("typlen", 23),
                            column("typelem", 23), column("typarray", 23), column("typinput", 25),
                            column("typoutput", 25)},
                           {},
                           ""};
    for (const auto& t : builtinTypes) {
        std::string name(t.name);
        result.rows.push_back({intCell(t.oid), textCell(name), intCell(11), textCell(t.typtype),
                               textCell(t.category), intCell(t.length), intCell(t.elem),
                               intCell(t.array), textCell(name + "in"), textCell(name + "out")});
    }
    result.commandTag = selectTag(result.rows.size());
    return result;
}

InterceptResult handleReltuplesList(Backend& backend) {
    InterceptResult result =
        empty({column("owner", 25), column("name", 25), column("estimated_row", 20)});
    std::optional<QueryResult> tables;
    try {
        tables = backend.execute(SchemaTranslator::tableListQuery);
    } catch (...) {
        return result; // a listing without rows; the error is not the client's business
    }
    if (!tables) return result;
    for (const auto& row : tables->rows) {
        if (row.empty() || !row[0]) continue;
        result.rows.push_back(
            {textCell("sqlite"), textCell(SchemaTranslator::textualForm(row[0])), intCell(0)});
    }
    result.commandTag = selectTag(result.rows.size());
    return result;
}

InterceptResult handlePgNamespace() {
    return InterceptResult{
        {column("nspname", 25)},
        {{textCell("pg_catalog")}, {textCell("public")}, {textCell("information_schema")}},
        selectTag(3)};
}

InterceptResult handlePgProc() {
    return empty({column("owner", 25), column("oid", 23), column("args", 25),
                  column("function_schema", 25), column("function_name", 25),
                  column("function_type", 25)});
}

InterceptResult handlePgConstraint() {
    return empty({column("conname", 25), column("contype", 25), column("conrelid", 23),
                  column("confrelid", 23), column("conkey", 25), column("confkey", 25)});
}

bool isPgCatalogQuery(std::string_view statement) {
    for (auto pattern : pgCatalogPatterns)
        if (contains(statement, pattern)) return true;
    return false;
}

// The statement's words, split at any run of white space.
std::vector<std::string_view> wordsOf(std::string_view t) {
    constexpr std::string_view space = " \t\r\n\v\f";
    std::vector<std::string_view> words;
    for (auto begin = t.find_first_not_of(space); begin != std::string_view::npos;) {
        auto end = std::min(t.find_first_of(space, begin), t.size());
        words.push_back(t.substr(begin, end - begin));
        begin = t.find_first_not_of(space, end);
    }
    return words;
}

// Transaction control. Statements run one by one on the database, so these are answered
// here and never sent: a BEGIN that reached a long-lived sqlite3 shell would open a
// transaction there that the answered COMMIT never ends, and the writes after it would be
// lost. So the spellings SQLite itself accepts (BEGIN IMMEDIATE, COMMIT TRANSACTION, words
// split by several spaces) are answered too.
std::optional<std::string> transactionTag(std::string_view t) {
    auto w = wordsOf(t);
    if (w.empty() || w.size() > 3) return std::nullopt;
    auto noise = [](std::string_view word) { return word == "transaction" || word == "work"; };
    auto rest = std::span(w).subspan(1);
    if (w[0] == "begin") {
        if (!rest.empty() &&
            (rest[0] == "deferred" || rest[0] == "immediate" || rest[0] == "exclusive"))
            rest = rest.subspan(1);
        if (rest.empty() || (rest.size() == 1 && noise(rest[0]))) return "BEGIN";
        return std::nullopt;
    }
    if (w.size() == 2 && w[0] == "start" && w[1] == "transaction") return "BEGIN";
    if (rest.size() > 1 || (rest.size() == 1 && !noise(rest[0]))) return std::nullopt;
    if (w[0] == "commit" || w[0] == "end") return "COMMIT";
    if (w[0] == "rollback" || w[0] == "abort") return "ROLLBACK";
    return std::nullopt;
}

// Session commands: decided by how the whole statement reads.
std::optional<InterceptResult> sessionCommand(std::string_view t) {
    using text::startsWith;
    if (startsWith(t, "set ")) return tagOnly("SET");
    if (t == "discard all") return tagOnly("DISCARD ALL");
    if (startsWith(t, "reset ")) return tagOnly("RESET");
    if (auto tag = transactionTag(t)) return tagOnly(std::move(*tag));
    if (startsWith(t, "show ")) return handleShow(t);
    if (startsWith(t, "listen ") || startsWith(t, "unlisten ")) return tagOnly("LISTEN");
    if (startsWith(t, "notify ")) return tagOnly("NOTIFY");
    if (startsWith(t, "deallocate ")) return tagOnly("DEALLOCATE");
    return std::nullopt;
}

// Catalog queries. `code` is the statement with the contents of its string literals and
// comments set aside: a user's query that only mentions, say, 'pg_index' inside a string
// is the user's own and runs on the database. The refinements inside a matched test (a
// 'm' relkind, a typname filter) read the whole statement `t`, literals included.
std::optional<InterceptResult> catalogQuery(std::string_view t, std::string_view code,
                                            const std::string& sql, Backend& backend) {
    // psql's describe queries first: they mention pg_type, pg_class and the like, and psql
    // reads their answers by column position, so the generic answers below would not do.
    if (auto answer = PsqlDescribe::check(code, sql, backend)) return answer;
    if (contains(code, "version()")) return single("version", "PostgreSQL 14.0 (sqlite-proxy)");
    if (contains(code, "current_schema") && !contains(code, "pg_catalog"))
        return single("current_schema", "public");
    if (contains(code, "current_user") || contains(code, "current_role"))
        return single("current_user", "sqlite");
    if (contains(code, "current_database")) return single("current_database", "sqlite");
    if (contains(code, "pg_is_in_recovery"))
        return InterceptResult{{column("pg_is_in_recovery", 16)}, {{textCell("f")}}, "SELECT 1"};
    if (contains(code, "pg_backend_pid"))
        return InterceptResult{{column("pg_backend_pid", 23)}, {{textCell("1")}}, "SELECT 1"};
    if (contains(code, "inet_server")) return single("inet_server_addr", "127.0.0.1");
    if (contains(code, "pg_type")) return handlePgTypeQuery(t);
    if (contains(code, "information_schema.tables") && !contains(code, "table_constraints") &&
        !contains(code, "key_column_usage"))
        return SchemaTranslator::handleTablesQuery(backend);
    if (contains(code, "information_schema.columns"))
        return SchemaTranslator::handleColumnsQuery(sql, backend);
    if (contains(code, "information_schema.table_constraints") ||
        contains(code, "information_schema.key_column_usage"))
        return SchemaTranslator::handleConstraintsQuery(sql, backend);
    if (contains(code, "pg_statio")) {
        if (contains(t, "relname as name") || contains(t, "proname as name"))
            return empty({column("name", 25), column("comment", 25), column("total_size", 20),
                          column("data_size", 20), column("index_size", 20)});
        return InterceptResult{{column("total_size", 20), column("data_size", 20),
                                column("index_size", 20), column("comment", 25)},
                               {{std::nullopt, std::nullopt, std::nullopt, std::nullopt}},
                               "SELECT 1"};
    }
    if (contains(code, "pg_enum"))
        return empty({column("type_oid", 23), column("schema_name", 25), column("type_name", 25),
                      column("type_define", 25)});
    if (contains(code, "pg_proc") || contains(code, "pg_get_function")) return handlePgProc();
    if (contains(code, "reltuples")) {
        if (contains(t, "relowner") || contains(t, "estimated_row"))
            return handleReltuplesList(backend);
        return InterceptResult{{column("count", 20)}, {{textCell("0")}}, "SELECT 1"};
    }
    if (contains(code, "pg_attribute"))
        return SchemaTranslator::handlePgAttributeQuery(sql, backend);
    if (contains(code, "pg_class")) {
        if (contains(t, "'m'") && !contains(t, "'r'")) // a materialized-view listing
            return empty(
                {column("table_name", 25), column("table_schema", 25), column("table_type", 25)});
        return SchemaTranslator::handlePgClassQuery(backend);
    }
    if (contains(code, "pg_namespace")) return handlePgNamespace();
    if (contains(code, "pg_index"))
        return empty({column("indexrelid", 23), column("indrelid", 23), column("indisprimary", 16),
                      column("indisunique", 16), column("indkey", 25)});
    if (contains(code, "pg_constraint")) return handlePgConstraint();
    if (contains(code, "pg_database"))
        return InterceptResult{{column("datname", 25), column("oid", 23), column("datdba", 23),
                                column("encoding", 23), column("datcollate", 25),
                                column("datctype", 25)},
                               {{textCell("sqlite"), intCell(16384), intCell(10), intCell(6),
                                 textCell("en_US.UTF-8"), textCell("en_US.UTF-8")}},
                               "SELECT 1"};
    if (contains(code, "pg_stat_user_tables") || contains(code, "pg_stat_all_tables"))
        return empty({column("relname", 25)});
    if (isPgCatalogQuery(code)) {
        logger().debug("Intercepting pg_catalog query with empty result: %s", std::string(t));
        return empty({column("result", 25)});
    }
    return std::nullopt;
}

// Every catalog test looks for a text that holds one of these, so a statement without any
// of them (most of the user's own) is passed on after a few fast scans.
bool mayBeCatalogQuery(std::string_view t) {
    static constexpr std::string_view anchors[] = {
        "pg_", "current_", "version()", "information_schema.", "inet_server", "reltuples"};
    for (auto anchor : anchors)
        if (contains(t, anchor)) return true;
    return false;
}

} // namespace

std::optional<InterceptResult> check(const std::string& sql, Backend& backend) {
    try {
        std::string t = text::toLowerASCII(text::trimWhitespace(sql));
        // "begin ;" reads as "begin": white space around a final semicolon goes with it.
        std::string_view test = trimChars(t, "; \t\r\n\v\f");
        if (test.size() != t.size()) t = std::string(test);
        if (auto answer = sessionCommand(t)) return answer;
        if (!mayBeCatalogQuery(t)) return std::nullopt;
        return catalogQuery(t, codeView(t), sql, backend);
    } catch (...) {
        // Only allocation can fail here (the handlers absorb backend errors); an answer
        // cannot be built, so the statement goes its ordinary way.
        return std::nullopt;
    }
}

} // namespace quillhaven::QueryInterceptor

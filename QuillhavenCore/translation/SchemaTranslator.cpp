#include "translation/SchemaTranslator.h"

#include "backends/Backend.h"
#include "support/Logger.h"
#include "support/Text.h"
#include "translation/Answers.h"
#include "translation/Regex.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <exception>
#include <utility>
#include <vector>

namespace quillhaven::SchemaTranslator {
namespace {

using namespace answers;

const Logger& schemaLogger() {
    static const Logger logger("SchemaTranslator");
    return logger;
}

const Regex& tableNameRegex() {
    static const Regex regex(R"((?i)table_name\s*=\s*'([^']+)')");
    return regex;
}
const Regex& relNameRegex() {
    static const Regex regex(R"((?i)relname\s*=\s*'([^']+)')");
    return regex;
}

struct TypeEntry {
    std::string_view name;
    std::int32_t oid;
};

// Keys in declared-type order of the table the system documents.
constexpr TypeEntry sqliteTypeToPgOID[] = {
    {"TEXT", 25},       {"VARCHAR", 25}, {"CHAR", 25},    {"CLOB", 25},     {"STRING", 25},
    {"INTEGER", 23},    {"INT", 23},     {"TINYINT", 23}, {"SMALLINT", 23}, {"MEDIUMINT", 23},
    {"BIGINT", 20},     {"REAL", 701},   {"FLOAT", 701},  {"DOUBLE", 701},  {"NUMERIC", 1700},
    {"DECIMAL", 1700},  {"BLOB", 17},    {"BOOLEAN", 16}, {"BOOL", 16},     {"TIMESTAMP", 1114},
    {"DATETIME", 1114}, {"DATE", 1082},
};

// For a type that merely contains keys, longer keys are tried first, so BIGINT wins over
// INT and DATETIME over DATE (ties keep table order).
const std::vector<TypeEntry>& entriesLongestFirst() {
    static const std::vector<TypeEntry> entries = [] {
        std::vector<TypeEntry> v(std::begin(sqliteTypeToPgOID), std::end(sqliteTypeToPgOID));
        std::stable_sort(v.begin(), v.end(), [](const TypeEntry& a, const TypeEntry& b) {
            return a.name.size() > b.name.size();
        });
        return v;
    }();
    return entries;
}

std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

// Runs one query; on a failure logs `logFormat` with the description (after `name` when
// given) and answers nothing, as for an empty result.
std::optional<QueryResult> query(Backend& backend, const std::string& sql, const char* logFormat,
                                 const std::string* name = nullptr) {
    try {
        return backend.execute(sql);
    } catch (...) {
        std::string description = describe(std::current_exception());
        if (name)
            schemaLogger().error(logFormat, *name, description);
        else
            schemaLogger().error(logFormat, description);
        return std::nullopt;
    }
}

// PRAGMA table_info rows are read by position: cid, name, type, notnull, dflt_value, pk.
constexpr std::size_t tableInfoCells = 6;

std::optional<QueryResult> tableInfo(Backend& backend, const std::string& name,
                                     const char* logFormat) {
    return query(backend, "PRAGMA table_info(" + quoteIdentifier(name) + ")", logFormat, &name);
}

// cid + 1: a real is truncated, a text is parsed as a decimal integer; anything else, and a
// number with no successor, is passed on unchanged.
Cell attributeNumber(const Cell& cid) {
    if (!cid) return cid;
    if (auto* n = std::get_if<std::int64_t>(&*cid)) return *n < INT64_MAX ? intCell(*n + 1) : cid;
    if (auto* d = std::get_if<double>(&*cid)) {
        if (std::isfinite(*d) && std::fabs(*d) < 9.0e18)
            return intCell(static_cast<std::int64_t>(std::trunc(*d)) + 1);
        return cid;
    }
    if (auto* s = std::get_if<std::string>(&*cid)) {
        std::string_view digits = *s;
        bool plus = !digits.empty() && digits.front() == '+';
        if (plus) digits.remove_prefix(1);
        std::int64_t n = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
        bool parsed = ec == std::errc() && end == digits.data() + digits.size() &&
                      !(plus && digits.front() == '-');
        if (parsed && n < INT64_MAX) return intCell(n + 1);
    }
    return cid;
}

} // namespace

std::string quoteIdentifier(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string textualForm(const Cell& cell) {
    if (!cell) return {};
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return v;
            } else if constexpr (std::is_same_v<T, bool>) {
                return v ? "true" : "false";
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return std::to_string(v);
            } else {
                char buffer[64];
                auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
                std::string s(buffer, ec == std::errc() ? end : buffer);
                // A whole number still reads as a real ("1.0"), as the shell prints it.
                if (std::isfinite(v) && s.find_first_of(".e") == std::string::npos) s += ".0";
                return s;
            }
        },
        *cell);
}

std::optional<std::string> extractTableName(std::string_view sql) {
    for (const Regex* regex : {&tableNameRegex(), &relNameRegex()}) {
        if (auto m = regex->find(sql))
            return std::string(sql.substr(m->groupBegin, m->groupEnd - m->groupBegin));
    }
    return std::nullopt;
}

std::int32_t sqliteTypeToOID(std::string_view type) {
    std::string upper = text::toUpperASCII(trimChars(type, " \t"));
    std::string_view name = upper;
    if (auto paren = name.find('('); paren != std::string_view::npos)
        name = trimChars(name.substr(0, paren), " \t");
    for (const auto& entry : sqliteTypeToPgOID)
        if (entry.name == name) return entry.oid;
    for (const auto& entry : entriesLongestFirst())
        if (name.find(entry.name) != std::string_view::npos) return entry.oid;
    return 25;
}

std::string pgTypeName(std::int32_t oid) {
    switch (oid) {
    case 16:
        return "bool";
    case 17:
        return "bytea";
    case 20:
        return "int8";
    case 23:
        return "int4";
    case 700:
        return "float4";
    case 701:
        return "float8";
    case 1043:
        return "varchar";
    case 1082:
        return "date";
    case 1114:
        return "timestamp";
    case 1700:
        return "numeric";
    default:
        return "text";
    }
}

InterceptResult handleTablesQuery(Backend& backend) {
    InterceptResult result{
        {column("table_name", 25), column("table_schema", 25), column("table_type", 25)},
        {},
        "SELECT 0"};
    auto tables = query(backend, tableListQuery, "Failed to query sqlite_master for tables: %s");
    if (!tables) return result;
    for (const auto& row : tables->rows)
        if (!row.empty() && row[0])
            result.rows.push_back(
                {textCell(textualForm(row[0])), textCell("public"), textCell("BASE TABLE")});
    result.commandTag = selectTag(result.rows.size());
    return result;
}

InterceptResult handleColumnsQuery(const std::string& sql, Backend& backend) {
    InterceptResult result = empty(
        {column("table_catalog", 25), column("table_schema", 25), column("table_name", 25),
         column("column_name", 25), column("ordinal_position", 23), column("column_default", 25),
         column("is_nullable", 25), column("data_type", 25), column("udt_name", 25)});
    auto name = extractTableName(sql);
    if (!name) {
        schemaLogger().error("Could not extract table name from columns query: %s", sql);
        return result;
    }
    auto info = tableInfo(backend, *name, "Failed to query table_info for %s: %s");
    if (!info) return result;
    for (const auto& row : info->rows) {
        if (row.size() < tableInfoCells) continue;
        std::string type = pgTypeName(sqliteTypeToOID(textualForm(row[2])));
        result.rows.push_back({textCell("main"), textCell("public"), textCell(*name),
                               textCell(textualForm(row[1])), row[0], row[4],
                               textCell(textualForm(row[3]) == "1" ? "NO" : "YES"), textCell(type),
                               textCell(type)});
    }
    result.commandTag = selectTag(result.rows.size());
    return result;
}

InterceptResult handleConstraintsQuery(const std::string& sql, Backend& backend) {
    InterceptResult result = empty({column("constraint_name", 25), column("column_name", 25)});
    auto name = extractTableName(sql);
    if (!name) return result;
    auto info = tableInfo(backend, *name, "Failed to query constraints for %s: %s");
    if (!info) return result;
    for (const auto& row : info->rows) {
        if (row.size() < tableInfoCells || textualForm(row[5]) == "0") continue;
        result.rows.push_back({textCell(*name + "_pkey"), textCell(textualForm(row[1]))});
    }
    result.commandTag = selectTag(result.rows.size());
    return result;
}

InterceptResult handlePgAttributeQuery(const std::string& sql, Backend& backend) {
    InterceptResult result =
        empty({column("attname", 25), column("attnum", 23), column("atttypid", 23),
               column("atttypmod", 23), column("attnotnull", 16), column("atthasdef", 16),
               column("attrelid", 23)});
    auto name = extractTableName(sql);
    if (!name) return result;
    auto info = tableInfo(backend, *name, "Failed to query pg_attribute for %s: %s");
    if (!info) return result;
    for (const auto& row : info->rows) {
        if (row.size() < tableInfoCells) continue;
        bool hasDefault = row[4] && !textualForm(row[4]).empty();
        result.rows.push_back({textCell(textualForm(row[1])), attributeNumber(row[0]),
                               intCell(sqliteTypeToOID(textualForm(row[2]))), intCell(-1),
                               textCell(textualForm(row[3]) == "1" ? "t" : "f"),
                               textCell(hasDefault ? "t" : "f"), intCell(0)});
    }
    result.commandTag = selectTag(result.rows.size());
    return result;
}

InterceptResult handlePgClassQuery(Backend& backend) {
    InterceptResult result =
        empty({column("oid", 23), column("table_name", 25), column("table_schema", 25)});
    auto tables = query(backend, tableListQuery, "Failed to query sqlite_master for pg_class: %s");
    if (!tables) return result;
    for (std::size_t i = 0; i < tables->rows.size(); ++i) {
        const auto& row = tables->rows[i];
        // A skipped row keeps its position, so OIDs follow the sorted table list.
        if (row.empty() || !row[0]) continue;
        result.rows.push_back({intCell(16384 + static_cast<std::int64_t>(i)),
                               textCell(textualForm(row[0])), textCell("public")});
    }
    result.commandTag = selectTag(result.rows.size());
    return result;
}

} // namespace quillhaven::SchemaTranslator

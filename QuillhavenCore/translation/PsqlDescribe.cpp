#include "translation/PsqlDescribe.h"

#include "backends/Backend.h"
#include "support/Text.h"
#include "translation/Answers.h"
#include "translation/Regex.h"
#include "translation/SchemaTranslator.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace quillhaven::PsqlDescribe {
namespace {

using namespace answers;
using SchemaTranslator::textualForm;

constexpr std::int32_t boolOID = 16, nameOID = 19, int4OID = 23, textOID = 25, oidOID = 26;
constexpr std::int64_t firstRelationOID = 16384;

bool has(std::string_view s, std::string_view part) {
    return s.find(part) != std::string_view::npos;
}

// The text with every run of white space made one space, so psql's line breaks and
// indentation (which differ between its versions) do not matter to the shape tests.
std::string collapsed(std::string_view s) {
    std::string out;
    bool space = false;
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += c;
    }
    return out;
}

Cell boolCell(bool b) {
    return textCell(b ? "t" : "f");
}

// A schema query of our own; a failure reads as no rows.
std::optional<QueryResult> run(Backend& backend, const std::string& sql) {
    try {
        return backend.execute(sql);
    } catch (...) {
        return std::nullopt;
    }
}

struct Relation {
    std::int64_t oid;
    std::string name;
};

// The SQLite tables with their OIDs. A row without a name keeps its position, so the OIDs
// agree with the pg_class answer.
std::vector<Relation> relations(Backend& backend) {
    std::vector<Relation> out;
    auto tables = run(backend, SchemaTranslator::tableListQuery);
    if (!tables) return out;
    for (std::size_t i = 0; i < tables->rows.size(); ++i) {
        const auto& row = tables->rows[i];
        if (row.empty() || !row[0]) continue;
        out.push_back({firstRelationOID + static_cast<std::int64_t>(i), textualForm(row[0])});
    }
    return out;
}

// The OID psql asks about: its first quoted all-digit literal ('16386').
std::optional<std::int64_t> askedOID(std::string_view sql) {
    static const Regex regex(R"('(\d{1,18})')");
    auto m = regex.find(sql);
    if (!m) return std::nullopt;
    std::int64_t oid = 0;
    std::from_chars(sql.data() + m->groupBegin, sql.data() + m->groupEnd, oid);
    return oid;
}

std::optional<std::string> tableForOID(std::string_view sql, Backend& backend) {
    auto oid = askedOID(sql);
    if (!oid) return std::nullopt;
    for (auto& relation : relations(backend))
        if (relation.oid == *oid) return std::move(relation.name);
    return std::nullopt;
}

// PRAGMA table_info rows, read by position: cid, name, type, notnull, dflt_value, pk.
std::vector<Row> tableInfo(Backend& backend, const std::string& table) {
    auto info = run(backend, "PRAGMA table_info(" + SchemaTranslator::quoteIdentifier(table) + ")");
    std::vector<Row> rows;
    if (!info) return rows;
    for (auto& row : info->rows)
        if (row.size() >= 6) rows.push_back(std::move(row));
    return rows;
}

// The primary key's columns in key order (empty when the table has none).
std::vector<std::string> primaryKey(const std::vector<Row>& info) {
    std::vector<std::pair<std::int64_t, std::string>> keyed;
    for (const auto& row : info) {
        std::int64_t position = 0;
        std::string pk = textualForm(row[5]);
        std::from_chars(pk.data(), pk.data() + pk.size(), position);
        if (position > 0) keyed.emplace_back(position, textualForm(row[1]));
    }
    std::stable_sort(keyed.begin(), keyed.end());
    std::vector<std::string> names;
    for (auto& [position, name] : keyed) names.push_back(std::move(name));
    return names;
}

// A name as PostgreSQL prints it in a definition: bare when it reads as a plain lower-case
// identifier, else in double quotes.
std::string displayIdentifier(std::string_view name) {
    bool plain = !name.empty() && !(name[0] >= '0' && name[0] <= '9');
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) plain = false;
    return plain ? std::string(name) : SchemaTranslator::quoteIdentifier(name);
}

std::string joinedIdentifiers(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) out += (out.empty() ? "" : ", ") + displayIdentifier(name);
    return out;
}

// The literal after "<column> OPERATOR(pg_catalog.~)": psql's regular expression for a name
// pattern ("^(order_lines)$"), with its doubled quotes made single.
std::optional<std::string> namePattern(std::string_view sql, const Regex& regex) {
    auto m = regex.find(sql);
    if (!m) return std::nullopt;
    std::string pattern;
    for (std::size_t i = m->groupBegin; i < m->groupEnd; ++i) {
        pattern += sql[i];
        if (sql[i] == '\'') ++i;
    }
    return pattern;
}
const Regex& relnamePatternRegex() {
    static const Regex regex(
        R"((?i)relname\s+operator\s*\(\s*pg_catalog\.~\s*\)\s*'((?:[^']|'')*)')");
    return regex;
}
const Regex& nspnamePatternRegex() {
    static const Regex regex(
        R"((?i)nspname\s+operator\s*\(\s*pg_catalog\.~\s*\)\s*'((?:[^']|'')*)')");
    return regex;
}

// psql's name filter in a statement; without one, every name passes. SQLite names are
// case-insensitive, so is the match. A pattern that does not compile selects nothing.
class NameFilter {
public:
    NameFilter(std::string_view sql, const Regex& filterRegex) {
        auto pattern = namePattern(sql, filterRegex);
        if (!pattern) return;
        try {
            regex_ = std::make_unique<Regex>(pattern->c_str(), Regex::caseless);
        } catch (const std::logic_error&) {
            invalid_ = true;
        }
    }
    bool selects(std::string_view name) const {
        return !invalid_ && (!regex_ || regex_->find(name));
    }

private:
    std::unique_ptr<Regex> regex_;
    bool invalid_ = false;
};

// The relations a psql statement filters for by name (and schema: only "public" exists).
std::vector<Relation> selectedRelations(std::string_view sql, Backend& backend) {
    if (!NameFilter(sql, nspnamePatternRegex()).selects("public")) return {};
    NameFilter filter(sql, relnamePatternRegex());
    auto all = relations(backend);
    std::erase_if(all, [&](const Relation& r) { return !filter.selects(r.name); });
    return all;
}

InterceptResult finished(InterceptResult result) {
    result.commandTag = selectTag(result.rows.size());
    return result;
}

// \d NAME, first step: which relations the pattern names.
InterceptResult relationLookup(std::string_view sql, Backend& backend) {
    InterceptResult result =
        empty({column("oid", oidOID), column("nspname", nameOID), column("relname", nameOID)});
    for (const auto& relation : selectedRelations(sql, backend))
        result.rows.push_back({intCell(relation.oid), textCell("public"), textCell(relation.name)});
    return finished(std::move(result));
}

// \d NAME: the relation's kind and flags. An index is announced when the table has a
// primary key, which the index answer then lists.
InterceptResult relationDetails(std::string_view sql, Backend& backend) {
    InterceptResult result = empty(
        {column("relchecks", int4OID), column("relkind", textOID), column("relhasindex", boolOID),
         column("relhasrules", boolOID), column("relhastriggers", boolOID),
         column("relrowsecurity", boolOID), column("relforcerowsecurity", boolOID),
         column("relhasoids", boolOID), column("relispartition", boolOID),
         column("?column?", textOID), column("reltablespace", oidOID), column("reloftype", textOID),
         column("relpersistence", textOID), column("relreplident", textOID),
         column("amname", nameOID)});
    auto table = tableForOID(sql, backend);
    if (!table) return result;
    bool hasIndex = !primaryKey(tableInfo(backend, *table)).empty();
    result.rows.push_back({intCell(0), textCell("r"), boolCell(hasIndex), boolCell(false),
                           boolCell(false), boolCell(false), boolCell(false), boolCell(false),
                           boolCell(false), textCell(""), intCell(0), textCell(""), textCell("p"),
                           textCell("d"), textCell("heap")});
    return finished(std::move(result));
}

// \d NAME: the columns, from PRAGMA table_info. The verbose form (\d+) asks for storage,
// compression, statistics target and description after the seven psql always reads.
InterceptResult attributes(std::string_view code, std::string_view sql, Backend& backend) {
    InterceptResult result = empty({column("attname", nameOID), column("format_type", textOID),
                                    column("pg_get_expr", textOID), column("attnotnull", boolOID),
                                    column("attcollation", nameOID), column("attidentity", textOID),
                                    column("attgenerated", textOID)});
    bool storage = has(code, "a.attstorage"), compression = has(code, "attcompression"),
         statistics = has(code, "attstattarget"), description = has(code, "col_description");
    if (storage) result.columns.push_back(column("attstorage", textOID));
    if (compression) result.columns.push_back(column("attcompression", textOID));
    if (statistics) result.columns.push_back(column("attstattarget", int4OID));
    if (description) result.columns.push_back(column("col_description", textOID));
    auto table = tableForOID(sql, backend);
    if (!table) return result;
    for (const auto& info : tableInfo(backend, *table)) {
        std::int32_t type = SchemaTranslator::sqliteTypeToOID(textualForm(info[2]));
        Row row{textCell(textualForm(info[1])),
                textCell(SchemaTranslator::pgTypeName(type)),
                info[4] ? textCell(textualForm(info[4])) : Cell{},
                boolCell(textualForm(info[3]) == "1"),
                Cell{},
                textCell(""),
                textCell("")};
        bool fixedLength = type != textOID && type != 17 && type != 1700;
        if (storage) row.push_back(textCell(fixedLength ? "p" : "x"));
        if (compression) row.push_back(textCell(""));
        if (statistics) row.push_back(Cell{});
        if (description) row.push_back(Cell{});
        result.rows.push_back(std::move(row));
    }
    return finished(std::move(result));
}

// \d NAME: the indexes; the primary key is the one SQLite always has an index for.
InterceptResult indexes(std::string_view sql, Backend& backend) {
    InterceptResult result =
        empty({column("relname", nameOID), column("indisprimary", boolOID),
               column("indisunique", boolOID), column("indisclustered", boolOID),
               column("indisvalid", boolOID), column("pg_get_indexdef", textOID),
               column("pg_get_constraintdef", textOID), column("contype", textOID),
               column("condeferrable", boolOID), column("condeferred", boolOID),
               column("indisreplident", boolOID), column("reltablespace", oidOID)});
    auto table = tableForOID(sql, backend);
    if (!table) return result;
    auto key = primaryKey(tableInfo(backend, *table));
    if (key.empty()) return result;
    std::string name = *table + "_pkey", columns = joinedIdentifiers(key);
    result.rows.push_back(
        {textCell(name), boolCell(true), boolCell(true), boolCell(false), boolCell(true),
         textCell("CREATE UNIQUE INDEX " + displayIdentifier(name) + " ON public." +
                  displayIdentifier(*table) + " USING btree (" + columns + ")"),
         textCell("PRIMARY KEY (" + columns + ")"), textCell("p"), boolCell(false), boolCell(false),
         boolCell(false), intCell(0)});
    return finished(std::move(result));
}

// \d and \dt: the relation listing. Its columns are the ones the statement names (AS
// "Schema", AS "Name", ...), so the verbose forms are answered too; only tables exist, so
// a listing of other kinds (\dv, \di, \ds) has no rows.
InterceptResult relationListing(std::string_view sql, Backend& backend) {
    static const Regex aliasRegex(R"re((?i)\bas\s+"([^"]+)")re");
    InterceptResult result = empty({});
    std::vector<std::string> aliases;
    for (auto m = aliasRegex.find(sql); m; m = aliasRegex.find(sql, m->end)) {
        aliases.emplace_back(sql.substr(m->groupBegin, m->groupEnd - m->groupBegin));
        result.columns.push_back(column(aliases.back(), textOID));
    }
    std::string lower = text::toLowerASCII(sql);
    auto kinds = lower.find("relkind in (");
    bool tables = kinds != std::string::npos &&
                  has(std::string_view(lower).substr(kinds, lower.find(')', kinds) - kinds), "'r'");
    if (!tables) return result;
    for (const auto& relation : selectedRelations(sql, backend)) {
        Row row;
        for (const auto& alias : aliases) {
            std::string key = text::toLowerASCII(alias);
            if (key == "schema")
                row.push_back(textCell("public"));
            else if (key == "name")
                row.push_back(textCell(relation.name));
            else if (key == "type")
                row.push_back(textCell("table"));
            else if (key == "owner")
                row.push_back(textCell("sqlite"));
            else if (key == "persistence")
                row.push_back(textCell("permanent"));
            else if (key == "access method")
                row.push_back(textCell("heap"));
            else
                row.push_back(Cell{});
        }
        result.rows.push_back(std::move(row));
    }
    return finished(std::move(result));
}

// The footers of \d NAME that never have rows here (SQLite has no policies, extended
// statistics, publications or inheritance), by a fragment of their shape and the columns
// psql asks for.
struct EmptyFooter {
    std::string_view shape;
    std::initializer_list<std::pair<std::string_view, std::int32_t>> columns;
};
const EmptyFooter emptyFooters[] = {
    {"from pg_catalog.pg_policy pol where pol.polrelid = ''",
     {{"polname", nameOID},
      {"polpermissive", boolOID},
      {"array_to_string", textOID},
      {"pg_get_expr", textOID},
      {"pg_get_expr", textOID},
      {"cmd", textOID}}},
    {"from pg_catalog.pg_statistic_ext where stxrelid = ''",
     {{"oid", oidOID},
      {"stxrelid", textOID},
      {"nsp", textOID},
      {"stxname", nameOID},
      {"columns", textOID},
      {"ndist_enabled", boolOID},
      {"deps_enabled", boolOID},
      {"mcv_enabled", boolOID},
      {"stxstattarget", int4OID}}},
    {"join pg_catalog.pg_publication_rel pr on p.oid = pr.prpubid where pr.prrelid = ''",
     {{"pubname", nameOID}, {"?column?", textOID}, {"?column?", textOID}}},
    {"from pg_catalog.pg_class c, pg_catalog.pg_inherits i where c.oid = i.inhparent and "
     "i.inhrelid = ''",
     {{"oid", textOID}}},
    {"from pg_catalog.pg_class c, pg_catalog.pg_inherits i where c.oid = i.inhrelid and "
     "i.inhparent = ''",
     {{"oid", textOID},
      {"relkind", textOID},
      {"inhdetachpending", boolOID},
      {"pg_get_expr", textOID}}},
};

} // namespace

std::optional<InterceptResult> check(std::string_view code, const std::string& sql,
                                     Backend& backend) {
    std::string shape = collapsed(code);
    if (!has(shape, "pg_catalog.")) return std::nullopt;
    if (shape.starts_with("select c.oid, n.nspname, c.relname from pg_catalog.pg_class c") &&
        has(shape, "relname operator(pg_catalog.~)"))
        return relationLookup(sql, backend);
    if (shape.starts_with("select c.relchecks, c.relkind, c.relhasindex,") &&
        has(shape, "where c.oid = ''"))
        return relationDetails(sql, backend);
    if (shape.starts_with("select a.attname, pg_catalog.format_type(a.atttypid, a.atttypmod)") &&
        has(shape, "from pg_catalog.pg_attribute a where a.attrelid = ''"))
        return attributes(shape, sql, backend);
    if (has(shape, "from pg_catalog.pg_class c, pg_catalog.pg_class c2, pg_catalog.pg_index i") &&
        has(shape, "where c.oid = ''"))
        return indexes(sql, backend);
    if (shape.starts_with("select n.nspname as \"schema\", c.relname as \"name\",") &&
        has(shape, "from pg_catalog.pg_class c") && has(shape, "c.relkind in ("))
        return relationListing(sql, backend);
    for (const auto& footer : emptyFooters) {
        if (!has(shape, footer.shape)) continue;
        InterceptResult result = empty({});
        for (auto [name, oid] : footer.columns) result.columns.push_back(column(name, oid));
        return result;
    }
    return std::nullopt;
}

} // namespace quillhaven::PsqlDescribe

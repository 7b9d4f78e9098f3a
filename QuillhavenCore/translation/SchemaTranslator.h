#pragma once

#include "frontend/InterceptResult.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillhaven {

class Backend;

// Answers information_schema and pg_catalog questions from the SQLite schema, read through
// the connection's backend (sqlite_master and PRAGMA table_info, one request per answer).
// Every handler answers; a failing backend gives the handler's columns and no rows.
namespace SchemaTranslator {

InterceptResult handleTablesQuery(Backend& backend);
InterceptResult handleColumnsQuery(const std::string& sql, Backend& backend);
InterceptResult handleConstraintsQuery(const std::string& sql, Backend& backend);
InterceptResult handlePgAttributeQuery(const std::string& sql, Backend& backend);
InterceptResult handlePgClassQuery(Backend& backend);

// The name in a table_name = '...' filter, else in a relname = '...' filter.
std::optional<std::string> extractTableName(std::string_view sql);

// The PostgreSQL type OID for a SQLite declared type (text when nothing fits).
std::int32_t sqliteTypeToOID(std::string_view type);
// The name reported for an OID ("text" for any OID without a name of its own).
std::string pgTypeName(std::int32_t oid);

// name as an SQL identifier: in double quotes, each " doubled. Names taken from a client's
// statement go into generated SQL only this way.
std::string quoteIdentifier(std::string_view name);

// The textual form of a cell: the text itself, the decimal digits of a number, "" for NULL.
std::string textualForm(const Cell& cell);

// The query that lists the user's tables, sorted by name.
inline constexpr const char* tableListQuery =
    "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' ORDER BY name";

} // namespace SchemaTranslator
} // namespace quillhaven

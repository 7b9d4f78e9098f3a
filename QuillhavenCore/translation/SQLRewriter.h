#pragma once

#include <string>

namespace quillhaven {

// Turns PostgreSQL-flavoured SQL into SQLite SQL: drops the public schema prefix and ::
// casts, turns a lone DEFAULT value into NULL, CREATE TABLE ... AS TABLE into AS SELECT * FROM,
// unwraps quote_ident(x) and renames STRING_AGG. The rules act on code only: string
// literals, quoted identifiers (except the identifier "public" as a schema prefix) and
// comments come back as written. A statement no rule touches comes back unchanged, byte
// for byte. Never throws.
std::string rewriteForSQLite(const std::string& sql);

} // namespace quillhaven

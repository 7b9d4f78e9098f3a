#pragma once

#include "frontend/StatementHooks.h"

namespace quillhaven {

// The statement hooks of a server in front of SQLite: QueryInterceptor::check answers
// session commands and catalog queries, rewriteForSQLite turns the rest into SQLite SQL.
StatementHooks sqliteTranslationHooks();

} // namespace quillhaven

#pragma once

#include "frontend/InterceptResult.h"

#include <optional>
#include <string>

namespace quillhaven {

class Backend;

// Answers locally the session commands (SET, BEGIN, SHOW, LISTEN, ...) and catalog queries
// (version(), pg_type, information_schema, pg_stat_* ...) that SQLite cannot, so they never
// reach the remote shell. Stateless; safe on any number of threads at once.
namespace QueryInterceptor {

// The local answer, or nothing when the statement is not intercepted. Schema questions are
// answered from the SQLite schema read through `backend`. Never throws: a failure inside a
// handler is an answer with that handler's columns and no rows.
std::optional<InterceptResult> check(const std::string& sql, Backend& backend);

} // namespace QueryInterceptor
} // namespace quillhaven

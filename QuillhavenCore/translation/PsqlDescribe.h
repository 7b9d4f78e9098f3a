#pragma once

#include "frontend/InterceptResult.h"

#include <optional>
#include <string>
#include <string_view>

namespace quillhaven {

class Backend;

// Answers the catalog queries psql's \d family sends (\d, \dt, \d NAME, \d+ NAME), each with
// the columns psql reads by position: psql does not check how many columns came and reads
// past the end of a shorter answer. Relations are the SQLite tables, numbered 16384 + their
// position in the sorted table list, as in every other pg_class answer.
namespace PsqlDescribe {

// The answer, or nothing when `code` (the lower-case statement with its literals and
// comments set aside) is not one of psql's describe queries. Names and OIDs are read from
// `sql`. Never throws for a backend failure: the answer then has its columns and no rows.
std::optional<InterceptResult> check(std::string_view code, const std::string& sql,
                                     Backend& backend);

} // namespace PsqlDescribe
} // namespace quillhaven

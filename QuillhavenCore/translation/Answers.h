#pragma once

// Small builders shared by the interceptor and the schema translator for the answers they
// make locally. Every column they describe has variable length (-1), whatever its type.

#include "frontend/InterceptResult.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillhaven::answers {

inline ColumnDef column(std::string_view name, std::int32_t oid) {
    return ColumnDef{std::string(name), oid, -1};
}
inline Cell textCell(std::string_view s) {
    return CellValue{std::string(s)};
}
inline Cell intCell(std::int64_t n) {
    return CellValue{n};
}
inline std::string selectTag(std::size_t rows) {
    return "SELECT " + std::to_string(rows);
}

// The given columns, no rows.
inline InterceptResult empty(std::vector<ColumnDef> columns) {
    return InterceptResult{std::move(columns), {}, "SELECT 0"};
}

// s without any of `chars` at either end.
inline std::string_view trimChars(std::string_view s, std::string_view chars) {
    auto begin = s.find_first_not_of(chars);
    if (begin == std::string_view::npos) return {};
    return s.substr(begin, s.find_last_not_of(chars) - begin + 1);
}

} // namespace quillhaven::answers

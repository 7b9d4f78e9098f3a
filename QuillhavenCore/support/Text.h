#pragma once

#include <string>
#include <string_view>

namespace quillhaven::text {

// Strips white space and line breaks (ASCII and Unicode spaces) from both ends.
std::string trimWhitespace(std::string_view s);

// The first `limit` characters (code points) followed by "..." when longer.
std::string shortenForLog(std::string_view s, std::size_t limit = 100);

// Encloses s in single quotes for a POSIX shell; each ' becomes '\''.
std::string shellQuote(std::string_view s);

// Trims, drops trailing ';', spaces, tabs and line feeds, then ends with exactly ";\n".
std::string prepareStatement(std::string_view sql);

bool isValidUTF8(std::string_view s);
// Replaces every ill-formed sequence with U+FFFD; valid input comes back unchanged.
std::string repairUTF8(std::string_view s);
// Number of code points (assumes valid UTF-8; stray bytes count as one each).
std::size_t codePointCount(std::string_view s);

std::string toLowerASCII(std::string_view s);
std::string toUpperASCII(std::string_view s);
bool startsWith(std::string_view s, std::string_view prefix);
bool startsWithIgnoringCase(std::string_view s, std::string_view prefix);

} // namespace quillhaven::text

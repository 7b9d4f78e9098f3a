#pragma once

#include "backends/Backend.h"
#include "support/Error.h"

#include <optional>
#include <string>
#include <string_view>

namespace quillhaven {

class SQLiteJSONParserError : public Error {
public:
    enum class Case {
        encodingFailed,   // "JSON parse encoding failed: " + text
        unexpectedFormat, // "JSON parse unexpected format: " + text
        syntaxError,      // the JSON reader's own description of malformed input
    };
    SQLiteJSONParserError(Case c, const std::string& text);
    Case errorCase() const { return case_; }
    const std::string& text() const { return text_; }

private:
    Case case_;
    std::string text_;
};

// Turns what the sqlite3 shell printed in JSON mode for one statement into rows.
// Columns keep the shell's order, duplicate names included; every column is text
// (OID 25). Values that are not valid UTF-8 (blobs are printed raw) are repaired.
namespace SQLiteJSONParser {

// Nothing for empty output, "[]" or an empty array; throws SQLiteJSONParserError.
std::optional<QueryResult> parse(std::string_view output);

} // namespace SQLiteJSONParser
} // namespace quillhaven

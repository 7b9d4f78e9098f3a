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

// Reads one long answer in parts while it arrives, each part the text of a JSON array that
// holds the next objects of the answer. The columns come from the answer's first object;
// cells are typed and repaired as parse() does.
class PartReader {
public:
    // The rows of the next part; throws SQLiteJSONParserError.
    std::vector<Row> read(std::string_view part);
    bool hasColumns() const { return hasColumns_; }
    const std::vector<ColumnDef>& columns() const { return columns_; }

private:
    std::vector<ColumnDef> columns_;
    bool hasColumns_ = false;
};

// Follows the shell's answer line by line (as the shell prints it: "[{...}," then "{...},"
// ... "{...}]") to tell where it may be cut between two rows. Quotes and escapes are
// followed, so a raw blob that holds line breaks or brackets never makes a cut.
class RowBoundaryScanner {
public:
    void addLine(std::string_view line);
    // Whether the lines so far are "[" and whole objects, the last one followed by a comma
    // that ends the last line.
    bool atRowBoundary() const { return !broken_ && !inString_ && depth_ == 1 && last_ == ','; }

private:
    bool started_ = false; // a line was added
    bool broken_ = false;  // not an array of objects: never cut
    bool inString_ = false;
    bool escaped_ = false;
    int depth_ = 0;
    char last_ = 0; // the last byte outside strings that is not white space
};

} // namespace SQLiteJSONParser
} // namespace quillhaven

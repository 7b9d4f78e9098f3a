#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillhaven {

// A run of statement text of one lexical kind. The rewrite rules act on code only, so a
// string literal, a quoted identifier or a comment reaches SQLite exactly as written.
struct SQLSegment {
    enum class Kind { code, literal, identifier, comment };
    Kind kind;
    std::size_t begin; // byte offsets into the split text
    std::size_t end;

    bool operator==(const SQLSegment&) const = default;
};

// Splits a statement the way SQLite's tokenizer sees it, since SQLite runs the result:
// '...' literals ('' inside), "...", `...` and [...] identifiers, -- comments up to the line
// end and /* */ comments (not nested). An unterminated quote or comment runs to the end.
// Adjacent code is one segment; the segments cover the text without gaps.
std::vector<SQLSegment> splitSQL(std::string_view sql);

// The text with every literal replaced by '' and every comment by one space: what the
// statement says once the contents of its strings and comments are set aside.
std::string codeView(std::string_view sql);

} // namespace quillhaven

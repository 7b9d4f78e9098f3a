#include "translation/SQLSegmenter.h"

#include <array>

namespace quillhaven {
namespace {

// End of a quoted run that starts at `open` and closes with `close`; a doubled closing
// character stands for itself (except in [...], which has no escape).
std::size_t quotedEnd(std::string_view s, std::size_t open, char close, bool doubling) {
    std::size_t i = open + 1;
    while (i < s.size()) {
        std::size_t at = s.find(close, i);
        if (at == std::string_view::npos) return s.size();
        if (doubling && at + 1 < s.size() && s[at + 1] == close) {
            i = at + 2;
            continue;
        }
        return at + 1;
    }
    return s.size();
}

// Characters that may open a literal, an identifier or a comment.
constexpr auto startsSegment = [] {
    std::array<bool, 256> table{};
    for (unsigned char c : std::string_view("'\"`[-/")) table[c] = true;
    return table;
}();

} // namespace

std::vector<SQLSegment> splitSQL(std::string_view s) {
    std::vector<SQLSegment> segments;
    segments.reserve(8);
    std::size_t codeStart = 0;
    auto push = [&](SQLSegment::Kind kind, std::size_t begin, std::size_t end) {
        if (begin > codeStart) segments.push_back({SQLSegment::Kind::code, codeStart, begin});
        segments.push_back({kind, begin, end});
        codeStart = end;
    };
    std::size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        std::size_t end;
        switch (c) {
        case '\'':
            end = quotedEnd(s, i, '\'', true);
            push(SQLSegment::Kind::literal, i, end);
            break;
        case '"':
        case '`':
            end = quotedEnd(s, i, c, true);
            push(SQLSegment::Kind::identifier, i, end);
            break;
        case '[':
            end = quotedEnd(s, i, ']', false);
            push(SQLSegment::Kind::identifier, i, end);
            break;
        case '-':
            if (i + 1 < s.size() && s[i + 1] == '-') {
                end = s.find('\n', i);
                if (end == std::string_view::npos) end = s.size();
                push(SQLSegment::Kind::comment, i, end);
            } else {
                end = i + 1;
            }
            break;
        case '/':
            if (i + 1 < s.size() && s[i + 1] == '*') {
                end = s.find("*/", i + 2);
                end = end == std::string_view::npos ? s.size() : end + 2;
                push(SQLSegment::Kind::comment, i, end);
            } else {
                end = i + 1;
            }
            break;
        default:
            end = i + 1;
            // Skip plain code in one go: most of a statement starts no quote or comment.
            while (end < s.size() && !startsSegment[static_cast<unsigned char>(s[end])]) ++end;
        }
        i = end;
    }
    if (codeStart < s.size()) segments.push_back({SQLSegment::Kind::code, codeStart, s.size()});
    return segments;
}

std::string codeView(std::string_view sql) {
    if (sql.find_first_of("'-/\"`[") == std::string_view::npos) return std::string(sql);
    std::string out;
    out.reserve(sql.size());
    for (const auto& seg : splitSQL(sql)) {
        switch (seg.kind) {
        case SQLSegment::Kind::literal:
            out += "''";
            break;
        case SQLSegment::Kind::comment:
            out += ' ';
            break;
        default:
            out.append(sql.substr(seg.begin, seg.end - seg.begin));
        }
    }
    return out;
}

} // namespace quillhaven

#include "translation/SQLRewriter.h"

#include "translation/Regex.h"
#include "translation/SQLSegmenter.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace quillhaven {
namespace {

using Kind = SQLSegment::Kind;
using Segments = std::vector<SQLSegment>;

const Regex& schemaSeparatorRegex() {
    // What may follow the quoted identifier "public" for it to be a schema prefix.
    static const Regex regex(R"(\s*\.\s*)");
    return regex;
}
const Regex& unquotedSchemaRegex() {
    static const Regex regex(R"(\bpublic\s*\.\s*)", Regex::caseless);
    return regex;
}
const Regex& pgCastRegex() {
    static const Regex regex(R"(::(\w+))");
    return regex;
}
const Regex& defaultValueRegex() {
    // Same matches as the look-behind (?<=[(,]) before \s*: \K drops the "(" or "," from the
    // match, and a leading character class lets the matcher skip ahead quickly.
    static const Regex regex(R"([(,]\K\s*DEFAULT\s*(?=[,)]))", Regex::caseless);
    return regex;
}
const Regex& createAsTableRegex() {
    static const Regex regex(R"(\bAS\s+TABLE\s+)", Regex::caseless);
    return regex;
}

// The segment that holds byte `pos`, searching forward from `hint`.
std::size_t segmentAt(const Segments& segs, std::size_t pos, std::size_t hint) {
    while (hint + 1 < segs.size() && segs[hint].end <= pos) ++hint;
    return hint;
}

// Step 1: "public" written as a quoted identifier and followed by a dot is removed with the
// dot and the white space around it. Only a real identifier counts, not the same characters
// inside a literal, a comment or a longer identifier.
bool removeQuotedPublic(std::string& text, const Segments& segs) {
    std::string out;
    std::size_t copied = 0;
    for (std::size_t k = 0; k + 1 < segs.size(); ++k) {
        const auto& seg = segs[k];
        if (seg.kind != Kind::identifier ||
            std::string_view(text).substr(seg.begin, seg.end - seg.begin) != "\"public\"")
            continue;
        const auto& next = segs[k + 1];
        if (next.kind != Kind::code) continue;
        auto m =
            schemaSeparatorRegex().matchAt(std::string_view(text).substr(0, next.end), next.begin);
        if (!m) continue;
        out.append(text, copied, seg.begin - copied);
        copied = m->end;
    }
    if (copied == 0) return false;
    out.append(text, copied);
    text = std::move(out);
    return true;
}

// Replaces every match of `regex` that lies in code. Matches are found on the whole text,
// so look-behind and \b see what precedes a code run, as they would without quoting rules.
bool replaceInCode(std::string& text, const Segments& segs, const Regex& regex,
                   std::string_view replacement) {
    std::string out;
    std::size_t copied = 0;
    bool changed = false;
    std::size_t pos = 0;
    std::size_t k = 0;
    while (pos <= text.size()) {
        k = segmentAt(segs, pos, k);
        if (k < segs.size() && segs[k].kind != Kind::code) {
            pos = segs[k].end;
            if (pos >= text.size()) break;
            continue;
        }
        auto m = regex.find(text, pos);
        if (!m) break;
        k = segmentAt(segs, m->begin, k);
        const auto& seg = segs[k];
        if (seg.kind != Kind::code) {
            pos = seg.end;
            continue;
        }
        if (m->end > seg.end) {
            // A match that runs out of its code segment: look again within the segment alone.
            m = regex.find(std::string_view(text).substr(0, seg.end), m->begin);
            if (!m) {
                pos = seg.end;
                continue;
            }
        }
        out.append(text, copied, m->begin - copied);
        out.append(replacement);
        copied = m->end;
        changed = true;
        pos = m->end > m->begin ? m->end : m->end + 1;
    }
    if (!changed) return false;
    out.append(text, copied);
    text = std::move(out);
    return true;
}

bool startsWithIgnoringCaseAt(std::string_view s, std::size_t at, std::string_view word) {
    if (at + word.size() > s.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = s[at + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

// Position of the first "quote_ident(" (any letter case) that lies in code at or after
// `from`, or npos.
std::size_t findQuoteIdent(std::string_view text, const Segments& segs, std::size_t from) {
    static constexpr std::string_view call = "quote_ident(";
    for (const auto& seg : segs) {
        if (seg.kind != Kind::code || seg.end <= from) continue;
        for (std::size_t i = std::max(seg.begin, from); i + call.size() <= seg.end; ++i) {
            char c = text[i];
            if ((c == 'q' || c == 'Q') && startsWithIgnoringCaseAt(text, i, call)) return i;
        }
    }
    return std::string_view::npos;
}

// Step 6: quote_ident(x) becomes x. Parentheses count only in code, so a ")" inside a
// literal argument does not end the call. An unclosed call, and every call after it, stay.
bool replaceQuoteIdent(std::string& text, Segments segs) {
    static constexpr std::size_t callLength = 12; // "quote_ident("
    bool changed = false;
    std::size_t from = 0;
    while (true) {
        if (changed) segs = splitSQL(text);
        std::size_t at = findQuoteIdent(text, segs, from);
        if (at == std::string::npos) return changed;
        std::size_t argStart = at + callLength;
        if (argStart >= text.size()) return changed;
        int depth = 1;
        std::size_t close = std::string::npos;
        std::size_t k = segmentAt(segs, argStart, 0);
        for (std::size_t i = argStart; i < text.size() && close == std::string::npos;) {
            k = segmentAt(segs, i, k);
            if (segs[k].kind != Kind::code) {
                i = segs[k].end;
                continue;
            }
            if (text[i] == '(') ++depth;
            if (text[i] == ')' && --depth == 0) close = i;
            ++i;
        }
        if (close == std::string::npos) return changed;
        text =
            text.substr(0, at) + text.substr(argStart, close - argStart) + text.substr(close + 1);
        changed = true;
        // Only a call that spans the join at `at` can be new; nothing before it matched.
        from = at >= callLength ? at - (callLength - 1) : 0;
    }
}

// Steps 7 and 8: STRING_AGG and string_agg (exactly these spellings) become GROUP_CONCAT
// and group_concat.
void renameStringAgg(std::string& text, const Segments& segs) {
    std::string out;
    std::size_t copied = 0;
    for (const auto& seg : segs) {
        if (seg.kind != Kind::code) continue;
        std::string_view code = std::string_view(text).substr(seg.begin, seg.end - seg.begin);
        for (std::size_t i = 0; i + 10 <= code.size();) {
            if (code[i] != 'S' && code[i] != 's') {
                ++i;
                continue;
            }
            std::string_view here = code.substr(i, 10);
            std::string_view replacement = here == "STRING_AGG"   ? "GROUP_CONCAT"
                                           : here == "string_agg" ? "group_concat"
                                                                  : "";
            if (replacement.empty()) {
                ++i;
                continue;
            }
            out.append(text, copied, seg.begin + i - copied);
            out.append(replacement);
            copied = seg.begin + i + 10;
            i += 10;
        }
    }
    if (copied == 0) return;
    out.append(text, copied);
    text = std::move(out);
}

std::string rewrite(const std::string& sql) {
    std::string text = sql;
    Segments segs = splitSQL(text);
    if (removeQuotedPublic(text, segs)) segs = splitSQL(text);
    const std::pair<const Regex*, std::string_view> steps[] = {
        {&unquotedSchemaRegex(), ""},
        {&pgCastRegex(), ""},
        {&defaultValueRegex(), " NULL"},
        {&createAsTableRegex(), "AS SELECT * FROM "},
    };
    for (const auto& [regex, replacement] : steps)
        if (replaceInCode(text, segs, *regex, replacement)) segs = splitSQL(text);
    if (replaceQuoteIdent(text, segs)) segs = splitSQL(text);
    renameStringAgg(text, segs);
    return text;
}

} // namespace

std::string rewriteForSQLite(const std::string& sql) {
    try {
        return rewrite(sql);
    } catch (...) {
        // A rule that cannot run leaves the statement as the client wrote it.
        return sql;
    }
}

} // namespace quillhaven

#include "translation/SQLSegmenter.h"

#include <gtest/gtest.h>
#include <string>

using quillhaven::SQLSegment;

namespace {

// "kind:text|kind:text" for the segments of sql.
std::string describe(const std::string& sql) {
    std::string out;
    for (const auto& seg : quillhaven::splitSQL(sql)) {
        static const char* names[] = {"code", "literal", "identifier", "comment"};
        if (!out.empty()) out += '|';
        out += std::string(names[static_cast<int>(seg.kind)]) + ":" +
               sql.substr(seg.begin, seg.end - seg.begin);
    }
    return out;
}

TEST(SQLSegmenter, SplitsAsSQLiteTokenizes) {
    struct Case {
        std::string sql, expected;
    } cases[] = {
        {"", ""},
        {"SELECT 1", "code:SELECT 1"},
        {"'it''s'", "literal:'it''s'"},
        {"a='x'||\"q\"\"d\"", "code:a=|literal:'x'|code:|||identifier:\"q\"\"d\""},
        {"`b` [c d]x", "identifier:`b`|code: |identifier:[c d]|code:x"},
        {"1 - 2 -- note\n/ 3 /* c */", "code:1 - 2 |comment:-- note|code:\n/ 3 |comment:/* c */"},
        {"/* a /* b */ c */", "comment:/* a /* b */|code: c */"}, // no nesting in SQLite
        {"x 'open", "code:x |literal:'open"},
        {"x /* open", "code:x |comment:/* open"},
        {"x \"open", "code:x |identifier:\"open"},
        {"'é' \"ü\"", "literal:'é'|code: |identifier:\"ü\""},
    };
    for (const auto& c : cases) EXPECT_EQ(describe(c.sql), c.expected) << c.sql;
}

TEST(SQLSegmenter, CodeViewSetsLiteralsAndCommentsAside) {
    EXPECT_EQ(quillhaven::codeView("select 'pg_type' from \"pg_class\" -- pg_index"),
              "select '' from \"pg_class\"  ");
    EXPECT_EQ(quillhaven::codeView("select 1"), "select 1");
}

} // namespace

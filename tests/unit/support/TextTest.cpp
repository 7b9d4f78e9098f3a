#include "support/Text.h"

#include "support/Logger.h"
#include "support/UUID.h"

#include <gtest/gtest.h>

using namespace quillhaven;

TEST(Text, TrimsAsciiAndUnicodeSpaceButNotOtherCharacters) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"  SELECT 1 \n\t", "SELECT 1"},
        {"\xC2\xA0x\xE3\x80\x80", "x"}, // no-break space, ideographic space
        {"\r\n", ""},
        {"", ""},
        {"\xE9", "\xE9"}, // a stray byte is not space
        {"a b", "a b"},
    };
    for (const auto& c : cases) EXPECT_EQ(text::trimWhitespace(c.in), c.out) << c.in;
}

TEST(Text, ShortensByCodePoints) {
    EXPECT_EQ(text::shortenForLog(std::string(100, 'a')), std::string(100, 'a'));
    EXPECT_EQ(text::shortenForLog(std::string(101, 'a')), std::string(100, 'a') + "...");
    std::string accents;
    for (int i = 0; i < 101; ++i) accents += "\xC3\xA9";
    EXPECT_EQ(text::shortenForLog(accents), accents.substr(0, 200) + "...");
    EXPECT_EQ(text::shortenForLog("abcdef", 3), "abc...");
}

TEST(Text, ShellQuoteEscapesSingleQuotes) {
    EXPECT_EQ(text::shellQuote("/data/app.db"), "'/data/app.db'");
    EXPECT_EQ(text::shellQuote("/it's/x"), "'/it'\\''s/x'");
    EXPECT_EQ(text::shellQuote(""), "''");
}

TEST(Text, PrepareStatementEndsWithOneSemicolonAndLineFeed) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"SELECT 1", "SELECT 1;\n"},
        {"  SELECT 1;;; \n", "SELECT 1;\n"},
        {"SELECT 1; \t;\n", "SELECT 1;\n"},
        {"", ";\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(text::prepareStatement(c.in), c.out) << c.in;
}

TEST(Text, Utf8ValidationAndRepair) {
    EXPECT_TRUE(text::isValidUTF8("h\xC3\xA9llo"));
    EXPECT_FALSE(text::isValidUTF8("\xC3"));
    EXPECT_FALSE(text::isValidUTF8("\xED\xA0\x80")); // surrogate
    EXPECT_FALSE(text::isValidUTF8("\xC0\xAF"));     // overlong
    EXPECT_EQ(text::repairUTF8("a\xFF"
                               "b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(text::repairUTF8("h\xC3\xA9"), "h\xC3\xA9");
}

TEST(UUID, MakesUpperCaseCanonicalIds) {
    std::string id = uuid::make();
    ASSERT_EQ(id.size(), 36u);
    EXPECT_EQ(text::toUpperASCII(id), id);
    EXPECT_EQ(uuid::normalized(text::toLowerASCII(id)), id);
    EXPECT_EQ(uuid::normalized("not-a-uuid"), std::nullopt);
}

TEST(Logger, TextArgumentsArePrivateNumbersAreNot) {
    std::vector<LogRecord> seen;
    int token = Logger::addSink([&](const LogRecord& r) { seen.push_back(r); });
    Logger("Test").info("Query executed: %s, %ld rows", std::string("SELECT 1"), 3L);
    Logger::removeSink(token);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].category, "Test");
    EXPECT_EQ(seen[0].revealed, "Query executed: SELECT 1, 3 rows");
    if (!Logger::showsPrivate()) {
        EXPECT_EQ(seen[0].message, "Query executed: <private>, 3 rows");
    }
}

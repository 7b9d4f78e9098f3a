#include "backends/SQLiteShellCommand.h"

#include <gtest/gtest.h>

using namespace quillhaven;

namespace {

struct RefusalCase {
    const char* sql;
    bool refused;
};

// Statements as a client sends them; the shell would run a dot-command (or swallow what
// follows) exactly for the refused ones.
const RefusalCase refusalCases[] = {
    {"SELECT 1", false},
    {"SELECT 1;\n\n", false},
    {".shell touch /tmp/x", true},
    {"SELECT 1;\n.shell touch /tmp/x", true},
    {"SELECT 1;\n\n   \n.system id", true},
    {"SELECT 1; -- note\n.shell id", true},
    {"-- only a comment line\n.shell id", true},
    {"/* block */\n.shell id", true},
    {"SELECT 1\ngo\n.shell id", true},
    {"SELECT 1\n/\n.shell id", true},
    {"SELECT 1;\n.once /tmp/out\nSELECT 2", true},
    {"SELECT 1\n.shell id", false},        // pending SQL: the shell reads it as SQL
    {"SELECT 1; .shell id", false},        // not at the start of a line
    {"SELECT 1;\n .shell id", false},      // a blank before the dot
    {"SELECT 'a\n.shell id\n'", false},    // inside a string
    {"SELECT 1 /*\n.shell id\n*/", false}, // inside a comment
    {"SELECT 1;\n# a shell comment\nSELECT 2", false},
    {"SELECT 'unterminated", true},
    {"SELECT \"open name", true},
    {"SELECT 1 /* open comment", true},
    {"CREATE TRIGGER t AFTER INSERT ON x BEGIN SELECT 1;", true},
    {"CREATE TRIGGER t AFTER INSERT ON x BEGIN SELECT 1; END", false},
    {"SELECT 1 -- trailing comment", false},
};

} // namespace

TEST(SQLiteShellCommand, RefusesWhatTheShellWouldNotReadAsSQL) {
    for (const auto& c : refusalCases) {
        EXPECT_EQ(sqliteshell::refusal(sqliteshell::body(c.sql)).has_value(), c.refused) << c.sql;
    }
    EXPECT_TRUE(sqliteshell::refusal(std::string("SELECT 1\0; DELETE FROM t", 24)).has_value());
}

TEST(SQLiteShellCommand, BodyEndsWithOneSemicolonOnItsOwnLineAfterALineComment) {
    EXPECT_EQ(sqliteshell::body("  SELECT 1;;  \n"), "SELECT 1;\n");
    EXPECT_EQ(sqliteshell::body("SELECT 1 -- why"), "SELECT 1 -- why\n;\n");
    EXPECT_EQ(sqliteshell::body("SELECT 1; -- why"), "SELECT 1; -- why;\n");
}

TEST(SQLiteShellCommand, DatabaseURIOpensExistingFilesOnly) {
    EXPECT_EQ(sqliteshell::databaseURI("/data/o'brien.db", false),
              "file:///data/o'brien.db?mode=rw");
    EXPECT_EQ(sqliteshell::databaseURI("/a%b?c#d.db", true), "file:///a%25b%3Fc%23d.db?mode=ro");
    EXPECT_EQ(sqliteshell::databaseURI("//x/y.db", false), "file:////x/y.db?mode=rw");
    EXPECT_EQ(sqliteshell::databaseURI("rel/y.db", true), "file:rel/y.db?mode=ro");
}

TEST(SQLiteShellCommand, DelimiterNeverOccursInTheText) {
    std::string a = sqliteshell::hereDocDelimiter("SELECT 1;\n");
    EXPECT_EQ(a.rfind("SQLEOF_", 0), 0u);
    std::string text = "SELECT '\n" + a + "\n';\n";
    for (int i = 0; i < 50; ++i) EXPECT_NE(sqliteshell::hereDocDelimiter(text), a);
}

TEST(SQLiteShellCommand, SafeModeFromVersionOutput) {
    EXPECT_TRUE(sqliteshell::supportsSafeMode("3.40.1 2022-12-28 14:03:47 df5c253c\n"));
    EXPECT_TRUE(sqliteshell::supportsSafeMode("3.37.0 2021-11-27"));
    EXPECT_FALSE(sqliteshell::supportsSafeMode("3.36.0 2021-06-18"));
    EXPECT_FALSE(sqliteshell::supportsSafeMode("sh: sqlite3: not found"));
}

TEST(SQLiteShellCommand, StripsEveryRuntimeErrorLinePrefix) {
    EXPECT_EQ(sqliteshell::withoutLinePrefix(
                  "Runtime error near line 1: UNIQUE constraint failed: u.a (19)"),
              "UNIQUE constraint failed: u.a (19)");
    EXPECT_EQ(sqliteshell::withoutLinePrefix("Runtime error near line 12: a\nRuntime error near "
                                             "line 3: b"),
              "a\nb");
    EXPECT_EQ(sqliteshell::withoutLinePrefix("Parse error near line 1: no such table: x"),
              "Parse error near line 1: no such table: x");
    EXPECT_EQ(sqliteshell::withoutLinePrefix("Runtime error near line x: y"),
              "Runtime error near line x: y");
}

#include "backends/SQLiteShellCommand.h"

#include <gtest/gtest.h>

using namespace quillhaven;

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

#include "backends/SQLiteJSONParser.h"

#include "TestSupport.h"
#include "support/Text.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace quillhaven;

namespace {

Cell txt(const char* s) {
    return CellValue(std::string(s));
}
Cell integer(std::int64_t i) {
    return CellValue(i);
}
Cell real(double d) {
    return CellValue(d);
}

std::vector<std::string> names(const QueryResult& r) {
    std::vector<std::string> out;
    for (const auto& c : r.columns) {
        EXPECT_EQ(c.typeOID, 25);
        EXPECT_EQ(c.typeSize, -1);
        out.push_back(c.name);
    }
    return out;
}

// What the real sqlite3 shell prints for a query in JSON mode.
std::string shellJSON(const std::string& sql) {
    testsupport::TempDir dir;
    std::string file = dir / "q.sql";
    FILE* f = std::fopen(file.c_str(), "w");
    std::fputs(sql.c_str(), f);
    std::fclose(f);
    auto r = testsupport::run("sqlite3 -json :memory: < " + file);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.output;
}

} // namespace

TEST(SQLiteJSONParser, NoResultSet) {
    for (const char* out : {"", "\n", "  \r\n", "[]", "[ ]", "\n[\n]\n"})
        EXPECT_FALSE(SQLiteJSONParser::parse(out).has_value()) << out;
}

TEST(SQLiteJSONParser, RowsAndColumnsInShellOrder) {
    struct Case {
        const char* output;
        std::vector<std::string> columns;
        std::vector<Row> rows;
    } cases[] = {
        {R"([{"b":1,"a":"x"}])", {"b", "a"}, {{integer(1), txt("x")}}},
        {"[{\"a\":null},\n{\"a\":2.5}]\n", {"a"}, {{std::nullopt}, {real(2.5)}}},
        {R"([{"t":true,"f":false}])", {"t", "f"}, {{CellValue(true), CellValue(false)}}},
        // Repeated names stay separate columns, each with its own value.
        {R"([{"id":1,"id":2},{"id":3,"id":4}])",
         {"id", "id"},
         {{integer(1), integer(2)}, {integer(3), integer(4)}}},
        // Names the JSON text escapes keep their place and their decoded form.
        {R"([{"a\"b":1,"c\\d":2,"e":3}])",
         {"a\"b", "c\\d", "e"},
         {{integer(1), integer(2), integer(3)}}},
        // Rows whose keys come in another order or are missing still fill the right cells.
        {R"([{"a":1,"b":2},{"b":4,"a":3},{"b":5}])",
         {"a", "b"},
         {{integer(1), integer(2)}, {integer(3), integer(4)}, {std::nullopt, integer(5)}}},
        {R"([{"x":1.0,"y":1e20,"z":-0}])", {"x", "y", "z"}, {{real(1.0), real(1e20), integer(0)}}},
    };
    for (const auto& c : cases) {
        auto r = SQLiteJSONParser::parse(c.output);
        ASSERT_TRUE(r.has_value()) << c.output;
        EXPECT_EQ(names(*r), c.columns) << c.output;
        EXPECT_EQ(r->rows, c.rows) << c.output;
    }
}

TEST(SQLiteJSONParser, ExtremeNumbersFromTheShell) {
    auto r = SQLiteJSONParser::parse(
        shellJSON("SELECT -9223372036854775807 - 1 AS lo, 9223372036854775807 AS hi, 9e999 AS inf, "
                  "-9e999 AS ninf, 0.1 AS tenth, 2.0 AS two, 1e308*10-1e308*10 AS nan;"));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->rows.size(), 1u);
    const auto& row = r->rows[0];
    EXPECT_EQ(row[0], integer(std::numeric_limits<std::int64_t>::min()));
    EXPECT_EQ(row[1], integer(std::numeric_limits<std::int64_t>::max()));
    EXPECT_EQ(row[2], real(std::numeric_limits<double>::infinity()));
    EXPECT_EQ(row[3], real(-std::numeric_limits<double>::infinity()));
    EXPECT_EQ(row[4], real(0.1));
    EXPECT_EQ(row[5], real(2.0));
    EXPECT_EQ(row[6], std::nullopt); // NaN is printed as null
}

TEST(SQLiteJSONParser, IntegersPastSixtyFourBitsBecomeReals) {
    auto r = SQLiteJSONParser::parse(
        R"([{"a":9223372036854775808,"b":123456789012345678901234567890,"c":-99999999999999999999}])");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->rows[0][0], real(9223372036854775808.0));
    EXPECT_EQ(r->rows[0][1], real(123456789012345678901234567890.0));
    EXPECT_EQ(r->rows[0][2], real(-99999999999999999999.0));
}

TEST(SQLiteJSONParser, InvalidUTF8FromBlobsIsRepairedNotDropped) {
    auto out = shellJSON("SELECT 1 AS n, x'41ff42' AS b, 'ok' AS t UNION ALL "
                         "SELECT 2, x'c328', 'ok2';");
    ASSERT_FALSE(text::isValidUTF8(out)); // the shell really prints the raw bytes
    auto r = SQLiteJSONParser::parse(out);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->rows.size(), 2u);
    EXPECT_EQ(r->rows[0], (Row{integer(1),
                               txt("A\xEF\xBF\xBD"
                                   "B"),
                               txt("ok")}));
    EXPECT_EQ(r->rows[1], (Row{integer(2), txt("\xEF\xBF\xBD("), txt("ok2")}));
}

TEST(SQLiteJSONParser, ShellOutputWithDuplicateNamesAndEscapes) {
    auto out = shellJSON("CREATE TABLE a(id, v); INSERT INTO a VALUES (1, 'x\"y\n\\z');"
                         "CREATE TABLE b(id); INSERT INTO b VALUES (10);"
                         "SELECT a.id, b.id, a.v, NULL AS \"n\"\"q\" FROM a, b;");
    auto r = SQLiteJSONParser::parse(out);
    ASSERT_TRUE(r);
    EXPECT_EQ(names(*r), (std::vector<std::string>{"id", "id", "v", "n\"q"}));
    EXPECT_EQ(r->rows[0], (Row{integer(1), integer(10), txt("x\"y\n\\z"), std::nullopt}));
}

TEST(SQLiteJSONParser, Errors) {
    std::string longObject = "{\"a\":\"" + std::string(300, 'z') + "\"}";
    struct Case {
        std::string output;
        SQLiteJSONParserError::Case kind;
        std::string description; // empty: only the kind and a readable text are checked
    } cases[] = {
        {R"({"a":1})", SQLiteJSONParserError::Case::unexpectedFormat,
         R"(JSON parse unexpected format: Expected JSON array of objects, got: {"a":1})"},
        {"[1,2]", SQLiteJSONParserError::Case::unexpectedFormat,
         "JSON parse unexpected format: Expected JSON array of objects, got: [1,2]"},
        {R"([{"a":1},"x"])", SQLiteJSONParserError::Case::unexpectedFormat, ""},
        {longObject, SQLiteJSONParserError::Case::unexpectedFormat,
         "JSON parse unexpected format: Expected JSON array of objects, got: " +
             longObject.substr(0, 200) + "..."},
        {"Error: no such table: x", SQLiteJSONParserError::Case::syntaxError, ""},
        {"[{\"a\":1}]\n[{\"b\":2}]", SQLiteJSONParserError::Case::syntaxError, ""},
        {"[{\"a\":1},", SQLiteJSONParserError::Case::syntaxError, ""},
        {"[{\"a\":1,}]", SQLiteJSONParserError::Case::syntaxError, ""},
        {"[1, {", SQLiteJSONParserError::Case::syntaxError, ""},
    };
    for (const auto& c : cases) {
        try {
            SQLiteJSONParser::parse(c.output);
            ADD_FAILURE() << "no error for " << c.output;
        } catch (const SQLiteJSONParserError& e) {
            EXPECT_EQ(e.errorCase(), c.kind) << c.output << " -> " << e.what();
            if (!c.description.empty()) {
                EXPECT_EQ(e.what(), c.description);
            }
            if (c.kind == SQLiteJSONParserError::Case::syntaxError) {
                EXPECT_TRUE(text::startsWith(e.what(), "JSON syntax error: ")) << e.what();
            }
        }
    }
}

TEST(SQLiteJSONParser, PartsReadLikeTheWholeAnswer) {
    // Later parts take the first part's columns: repeated names, other key orders, big
    // integers and raw blob bytes come out as in one piece.
    std::vector<std::string> parts = {
        R"([{"id":1,"id":2,"v":"x"},{"id":3,"id":4,"v":null}])",
        R"([{"id":5,"id":6,"v":9223372036854775808}])",
        "[{\"v\":\"A\xff\",\"id\":7,\"id\":8}]",
    };
    std::string whole = R"([{"id":1,"id":2,"v":"x"},{"id":3,"id":4,"v":null},)"
                        R"({"id":5,"id":6,"v":9223372036854775808},)"
                        "{\"v\":\"A\xff\",\"id\":7,\"id\":8}]";
    auto expected = SQLiteJSONParser::parse(whole);
    ASSERT_TRUE(expected);
    ASSERT_EQ(expected->rows.size(), 4u);
    EXPECT_EQ(expected->rows[3], (Row{integer(7), integer(8), txt("A\xEF\xBF\xBD")}));

    SQLiteJSONParser::PartReader reader;
    EXPECT_FALSE(reader.hasColumns());
    std::vector<Row> rows;
    for (const auto& part : parts) {
        auto batch = reader.read(part);
        rows.insert(rows.end(), batch.begin(), batch.end());
    }
    EXPECT_TRUE(reader.hasColumns());
    EXPECT_EQ(reader.columns(), expected->columns);
    EXPECT_EQ(rows, expected->rows);
    EXPECT_THROW(reader.read("[{\"id\":1},"), SQLiteJSONParserError);
}

TEST(SQLiteJSONParser, RowBoundariesFollowQuotesAndEscapesAcrossLines) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::vector<bool> boundaryAfter;
    } cases[] = {
        {"rows", {R"([{"a":1},)", R"({"a":"},"},)", R"({"a":3}])"}, {true, true, false}},
        // A raw blob may hold line feeds; what follows one is still inside the string.
        {"line feed in a string", {R"([{"a":"x)", "},", R"(y"},)"}, {false, false, true}},
        {"escaped quote", {R"([{"a":"\"},)", R"("},)"}, {false, true}},
        {"escaped line feed", {R"([{"a":"x\)", R"("},)", R"({"a":1},)"}, {false, true, true}},
        {"items that are not objects", {"[1,", R"({"a":1},)"}, {false, false}},
        {"text before the array", {"Error", R"([{"a":1},)"}, {false, false}},
        {"a second array", {R"([{"a":1}])", R"([{"b":2},)"}, {false, false}},
        {"nested values", {R"([{"a":{"b":1}},)", R"({"a":1},)"}, {false, false}},
    };
    for (const auto& c : cases) {
        SQLiteJSONParser::RowBoundaryScanner scanner;
        for (std::size_t i = 0; i < c.lines.size(); ++i) {
            scanner.addLine(c.lines[i]);
            EXPECT_EQ(scanner.atRowBoundary(), c.boundaryAfter[i]) << c.name << ", line " << i;
        }
    }
}

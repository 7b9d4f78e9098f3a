#include "translation/SQLRewriter.h"

#include "TranslationTestSupport.h"

#include <gtest/gtest.h>
#include <string>

using quillhaven::rewriteForSQLite;

namespace {

struct RewriteCase {
    const char* name;
    std::string input;
    std::string expected;
};

void PrintTo(const RewriteCase& c, std::ostream* os) {
    *os << c.name;
}

class Rewrite : public testing::TestWithParam<RewriteCase> {};

TEST_P(Rewrite, GivesSQLiteText) {
    EXPECT_EQ(rewriteForSQLite(GetParam().input), GetParam().expected);
}

// Statements no rule touches must come back byte for byte.
const RewriteCase unchanged[] = {
    {"plain_select", "SELECT id, name FROM users WHERE id = 1", ""},
    {"odd_spacing_and_unicode", "  select\t*\nfrom  \"Ünïcode\"  where x = 'é' ;  ", ""},
    {"no_boundary_before_public", "SELECT * FROM republic.x JOIN my_public.y ON 1", ""},
    {"literals_keep_casts_and_params", "SELECT 'a::b', '$1'", ""},
    {"literal_with_public_prefix", "SELECT 'public.users', 'x''public.y'", ""},
    {"literal_with_default_and_as_table", "INSERT INTO t VALUES ('(DEFAULT)', ' AS TABLE x')", ""},
    {"identifier_with_cast_text", "SELECT \"a::int\", `b::int`, [c::int] FROM t", ""},
    {"comments_keep_rules", "SELECT 1 -- public.t::int STRING_AGG\n/* quote_ident(x) */", ""},
    {"literal_public_in_double_quotes", "SELECT '\"public\".users'", ""},
    {"longer_identifier_ending_in_public", "SELECT * FROM \"my\"\"public\".t", ""},
    {"default_in_column_definition", "CREATE TABLE t (a INTEGER DEFAULT 0, b TEXT)", ""},
    {"mixed_case_string_agg", "SELECT String_Agg(x, ',') FROM t", ""},
    {"quote_ident_unclosed", "SELECT quote_ident(name FROM t", ""},
    {"quote_ident_in_literal", "SELECT 'quote_ident(x)'", ""},
    {"unterminated_literal", "SELECT 'public.x::int", ""},
};

std::vector<RewriteCase> unchangedCases() {
    std::vector<RewriteCase> cases;
    for (auto c : unchanged) {
        c.expected = c.input;
        cases.push_back(c);
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Unchanged, Rewrite, testing::ValuesIn(unchangedCases()),
                         [](const auto& info) { return std::string(info.param.name); });

const RewriteCase rewritten[] = {
    {"quoted_public_prefix", "SELECT * FROM \"public\".\"users\"", "SELECT * FROM \"users\""},
    {"quoted_public_spaced_dot", "SELECT * FROM \"public\" . users", "SELECT * FROM users"},
    {"quoted_public_is_case_sensitive", "SELECT * FROM \"Public\".users",
     "SELECT * FROM \"Public\".users"},
    {"unquoted_public_any_case", "SELECT * FROM Public.Orders", "SELECT * FROM Orders"},
    {"unquoted_public_spaced_dot", "SELECT * FROM public . orders", "SELECT * FROM orders"},
    {"public_before_quoted_table", "SELECT * FROM public.\"Order Items\"",
     "SELECT * FROM \"Order Items\""},
    {"cast_on_literal", "SELECT '2024-01-01'::date", "SELECT '2024-01-01'"},
    {"cast_keeps_following_words", "SELECT x::timestamp with time zone FROM t",
     "SELECT x with time zone FROM t"},
    {"casts_in_code_only", "SELECT a::int, 'b::int', c::text", "SELECT a, 'b::int', c"},
    {"default_first_in_values", "INSERT INTO t VALUES (DEFAULT, 'a')",
     "INSERT INTO t VALUES ( NULL, 'a')"},
    {"default_last_in_values", "INSERT INTO t VALUES (1, DEFAULT)",
     "INSERT INTO t VALUES (1, NULL)"},
    {"default_lower_case_between_commas", "INSERT INTO t VALUES (1,default,2)",
     "INSERT INTO t VALUES (1, NULL,2)"},
    {"default_twice_in_a_row", "INSERT INTO t VALUES (DEFAULT,DEFAULT)",
     "INSERT INTO t VALUES ( NULL, NULL)"},
    {"default_next_to_literal", "INSERT INTO t VALUES ('DEFAULT',DEFAULT)",
     "INSERT INTO t VALUES ('DEFAULT', NULL)"},
    {"create_as_table", "CREATE TABLE t2 AS TABLE t1", "CREATE TABLE t2 AS SELECT * FROM t1"},
    {"quote_ident_simple", "SELECT quote_ident(name) FROM t", "SELECT name FROM t"},
    {"quote_ident_upper_nested", "SELECT QUOTE_IDENT(lower(name)) FROM t",
     "SELECT lower(name) FROM t"},
    {"quote_ident_twice", "SELECT quote_ident(a), quote_ident( b ) FROM t", "SELECT a,  b  FROM t"},
    {"quote_ident_nested_calls", "SELECT quote_ident(quote_ident(a))", "SELECT a"},
    {"quote_ident_paren_in_literal", "SELECT quote_ident(')') || x", "SELECT ')' || x"},
    {"quote_ident_unclosed_stops_later_calls", "SELECT quote_ident(a), quote_ident(b",
     "SELECT a, quote_ident(b"},
    {"string_agg_upper", "SELECT STRING_AGG(name, ', ') FROM t",
     "SELECT GROUP_CONCAT(name, ', ') FROM t"},
    {"string_agg_lower_not_in_literal", "SELECT string_agg(x, 'string_agg') FROM t",
     "SELECT group_concat(x, 'string_agg') FROM t"},
    {"all_rules_together",
     "INSERT INTO \"public\".t SELECT STRING_AGG(quote_ident(c), ','), x::int, 'y::int' "
     "FROM public.u -- public.v::int",
     "INSERT INTO t SELECT GROUP_CONCAT(c, ','), x, 'y::int' FROM u -- public.v::int"},
};

INSTANTIATE_TEST_SUITE_P(Rewritten, Rewrite, testing::ValuesIn(rewritten),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RewriteSize, TenKilobyteStatementWithManyLiteralsKeepsThemAll) {
    std::string input = "INSERT INTO public.t VALUES ";
    std::string expected = "INSERT INTO t VALUES ";
    for (int i = 0; i < 500; ++i) {
        std::string sep = i ? ", " : "";
        input += sep + "(" + std::to_string(i) + ", 'v::" + std::to_string(i) + "', DEFAULT)";
        expected += sep + "(" + std::to_string(i) + ", 'v::" + std::to_string(i) + "', NULL)";
    }
    EXPECT_EQ(rewriteForSQLite(input), expected);
}

} // namespace

namespace {

// Rewritten PostgreSQL statements run on a real SQLite database and do what the client
// meant, string contents included.
TEST(RewriteOnSQLite, PostgreSQLStatementsRunAfterRewrite) {
    testsupport::InProcessSQLiteBackend db;
    const char* statements[] = {
        "CREATE TABLE public.notes (id INTEGER PRIMARY KEY, body TEXT, day TEXT, n INT DEFAULT 7)",
        "INSERT INTO \"public\".\"notes\" (id, body, day, n) VALUES (1, 'a::b public.x', "
        "'2024-01-02'::date, DEFAULT)",
        "INSERT INTO public.notes VALUES (2, '$1 -- not a comment', '2024-01-03'::date, 1)",
        "CREATE TABLE public.copy AS TABLE public.notes",
    };
    for (const char* sql : statements) ASSERT_NO_THROW(db.execute(rewriteForSQLite(sql))) << sql;

    auto result = db.execute(rewriteForSQLite(
        "SELECT STRING_AGG(quote_ident(body), '|'), SUM(n::integer) FROM public.copy"));
    ASSERT_TRUE(result);
    // The DEFAULT value became NULL (SQLite has no such value), so only row 2 adds to SUM.
    EXPECT_EQ(translationtest::render(result->rows.at(0)), "'a::b public.x|$1 -- not a comment' 1");
}

} // namespace

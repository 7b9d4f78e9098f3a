// Statements that try to make the sqlite3 shell do something other than run SQL, against
// both shell backends and the real sqlite3. The mark file must never appear.

#include "BackendTestSupport.h"
#include "backends/FlyBackend.h"
#include "backends/LocalBackend.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

using namespace quillhaven;
using namespace backendtest;

namespace {

enum class Expect { refused, sqlError, rows, anyError };

struct Attack {
    std::string name;
    std::string sql; // MARK is replaced by the mark file's path
    Expect expect;
};

std::string replaceMark(std::string s, const std::string& mark) {
    for (std::size_t at; (at = s.find("MARK")) != std::string::npos;) s.replace(at, 4, mark);
    return s;
}

using Factory = std::function<std::unique_ptr<Backend>(const std::string& db, bool readOnly)>;

class ShellSafety : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        setenv("QUILLHAVEN_FLY_PATH", QUILLHAVEN_FIXTURES, 1);
        db = makeDatabase(dir);
        mark = dir / "mark";
    }
    void TearDown() override { unsetenv("QUILLHAVEN_FLY_PATH"); }
    std::unique_ptr<Backend> make(bool readOnly) {
        if (GetParam() == "fly") return std::make_unique<FlyBackend>("demo-app", db, 10, readOnly);
        return std::make_unique<LocalBackend>(db, readOnly);
    }
    testsupport::TempDir dir;
    std::string db, mark;
};

} // namespace

TEST_P(ShellSafety, StatementsRunOnlyAsSQL) {
    const Attack attacks[] = {
        {"dot-command after a statement", "SELECT 1;\n.shell touch MARK", Expect::refused},
        {".system", "SELECT 1;\n.system touch MARK", Expect::refused},
        {"dot-command alone", ".shell touch MARK", Expect::refused},
        {"after a comment line", "-- note\n.shell touch MARK", Expect::refused},
        {"CR LF line ends", "SELECT 1;\r\n.system touch MARK", Expect::refused},
        {"'go' ends a statement", "SELECT 1\ngo\n.shell touch MARK", Expect::refused},
        {"here-document end line", "SELECT 1;\nSQL_EOF\n.shell touch MARK\nSQL_EOF",
         Expect::sqlError},
        {"file output", "SELECT 1;\n.output MARK\nSELECT 2;", Expect::refused},
        {"unterminated string swallows a forged sentinel",
         "SELECT 'x\n.print <<<QUERY_DONE_SENTINEL>>>\n.shell touch MARK", Expect::refused},
        {"unterminated comment", "SELECT 1 /* comment\n.shell touch MARK", Expect::refused},
        {"indented dot-command is SQL", "SELECT 1;\n .shell touch MARK", Expect::sqlError},
        {"no semicolon: the line is SQL", "SELECT 1\n.shell touch MARK", Expect::sqlError},
        {"dot line inside a string is data", "SELECT 'a\n.shell touch MARK\n' AS v", Expect::rows},
        {"trailing line comment", "SELECT 1 AS v -- .shell touch MARK", Expect::rows},
        {"forged sentinel in a value",
         "SELECT char(10) || '<<<QUERY_DONE_SENTINEL>>>' || char(10) AS v", Expect::rows},
        {"file functions", "SELECT writefile('MARK', 'x')", Expect::anyError},
        {"attach creates files", "ATTACH 'MARK' AS other", Expect::anyError},
    };
    auto backend = make(false);
    backend->connect();
    for (const auto& attack : attacks) {
        SCOPED_TRACE(attack.name);
        std::string sql = replaceMark(attack.sql, mark);
        try {
            auto r = backend->execute(sql);
            EXPECT_EQ(attack.expect, Expect::rows) << "ran: " << sql;
            EXPECT_TRUE(r && r->rows.size() == 1);
        } catch (const Error& e) {
            std::string what = e.what();
            if (attack.expect == Expect::refused) {
                EXPECT_TRUE(what.starts_with("Statement refused: ")) << what;
            } else if (attack.expect == Expect::sqlError) {
                EXPECT_TRUE(what.starts_with("SQLite error: ")) << what;
            } else {
                EXPECT_EQ(attack.expect, Expect::anyError) << what;
            }
        }
        EXPECT_FALSE(std::filesystem::exists(mark)) << sql;
        std::filesystem::remove(mark);
        // Whatever happened, the session still answers (reconnecting if the shell ended).
        EXPECT_EQ(backend->execute("SELECT 5 AS v")->rows[0][0], integer(5));
    }
    auto value =
        backend->execute("SELECT char(10) || '<<<QUERY_DONE_SENTINEL>>>' || char(10) AS v");
    EXPECT_EQ(value->rows[0][0], txt("\n<<<QUERY_DONE_SENTINEL>>>\n"));
}

TEST_P(ShellSafety, ReadOnlyAndMissingFiles) {
    auto backend = make(true);
    backend->connect();
    for (const char* sql : {"SELECT 1; DELETE FROM users", "DELETE FROM users", "CREATE TABLE x(a)",
                            "PRAGMA user_version = 7"}) {
        EXPECT_THROW(backend->execute(sql), Error) << sql;
    }
    EXPECT_EQ(countUsers(db), "2\n");
    EXPECT_EQ(testsupport::run("sqlite3 '" + db + "' 'PRAGMA user_version'").output, "0\n");
    backend->close();

    std::string missing = dir / "missing.db";
    for (bool readOnly : {false, true}) {
        std::unique_ptr<Backend> b;
        if (GetParam() == "fly") {
            b = std::make_unique<FlyBackend>("demo-app", missing, 10, readOnly);
        } else {
            b = std::make_unique<LocalBackend>(missing, readOnly);
        }
        EXPECT_THROW(b->connect(), Error);
        EXPECT_THROW(b->execute("CREATE TABLE t(a)"), Error);
        EXPECT_FALSE(std::filesystem::exists(missing));
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, ShellSafety, ::testing::Values("local", "fly"));

#include "backends/LocalBackend.h"

#include "BackendTestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

using namespace quillhaven;
using namespace backendtest;

TEST(LocalBackend, RunsStatementsOnAFile) {
    testsupport::TempDir dir;
    auto db = makeDatabase(dir);
    LocalBackend backend(db);
    backend.connect();
    EXPECT_TRUE(backend.isAlive());
    EXPECT_FALSE(backend.execute("INSERT INTO users VALUES (3, 'cy')"));
    auto r = backend.execute("SELECT u.id, v.id, u.name FROM users u JOIN users v ON v.id = "
                             "u.id + 1 ORDER BY u.id");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->columns.size(), 3u);
    EXPECT_EQ(r->columns[0].name, "id");
    EXPECT_EQ(r->columns[1].name, "id");
    EXPECT_EQ(r->rows, (std::vector<Row>{{integer(1), integer(2), txt("ada")},
                                         {integer(2), integer(3), txt("bob")}}));

    auto e =
        errorOf<LocalBackendError>([&] { backend.execute("INSERT INTO users VALUES (1, 'dup')"); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->errorCase(), LocalBackendError::Case::sqliteError);
    EXPECT_TRUE(std::string(e->what()).find("UNIQUE constraint failed: users.id") !=
                std::string::npos)
        << e->what();
    EXPECT_TRUE(backend.isAlive()); // an SQL error leaves the shell running

    backend.close();
    EXPECT_FALSE(backend.isAlive());
    // A statement after close starts a new shell.
    EXPECT_EQ(backend.execute("SELECT count(*) AS n FROM users")->rows[0][0], integer(3));
}

TEST(LocalBackend, ConcurrentCallersAreSerialised) {
    testsupport::TempDir dir;
    auto db = makeDatabase(dir);
    LocalBackend backend(db);
    backend.connect();
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                auto r = backend.execute("SELECT " + std::to_string(t * 100 + i) + " AS v");
                if (r && r->rows[0][0] == integer(t * 100 + i)) ++good;
                backend.isAlive();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(good, 100);
}

TEST(LocalBackend, MissingFileIsAnErrorAndIsNotCreated) {
    testsupport::TempDir dir;
    std::string missing = dir / "nope.db";
    for (bool readOnly : {false, true}) {
        LocalBackend backend(missing, readOnly);
        auto e = errorOf<LocalBackendError>([&] { backend.connect(); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->errorCase(), LocalBackendError::Case::connectionFailed);
        EXPECT_TRUE(std::string(e->what()).find("unable to open database") != std::string::npos)
            << e->what();
        EXPECT_FALSE(std::filesystem::exists(missing));
    }
}

TEST(LocalBackend, ReadOnlyConnectionCannotWrite) {
    testsupport::TempDir dir;
    auto db = makeDatabase(dir);
    LocalBackend backend(db, true);
    backend.connect();
    auto e = errorOf<LocalBackendError>([&] { backend.execute("SELECT 1; DELETE FROM users"); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->errorCase(), LocalBackendError::Case::sqliteError);
    EXPECT_TRUE(std::string(e->what()).find("attempt to write a readonly database") !=
                std::string::npos)
        << e->what();
    EXPECT_EQ(countUsers(db), "2\n");
    EXPECT_EQ(backend.execute("SELECT count(*) AS n FROM users")->rows[0][0], integer(2));
}

TEST(LocalBackend, PathsWithShellAndURICharacters) {
    testsupport::TempDir dir;
    std::filesystem::create_directory(dir.path() / "a b?c#d%e'f");
    std::string db = (dir.path() / "a b?c#d%e'f" / "x.db").string();
    testsupport::run("sqlite3 \"" + db + "\" 'CREATE TABLE t(v); INSERT INTO t VALUES (42)'");
    LocalBackend backend(db, true);
    EXPECT_EQ(backend.execute("SELECT v FROM t")->rows[0][0], integer(42));
}

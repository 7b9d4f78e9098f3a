#pragma once

// Shared by the backend tests: a small database made with the real sqlite3 shell and
// cell helpers.

#include "TestSupport.h"
#include "frontend/ColumnDef.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace backendtest {

inline quillhaven::Cell txt(const char* s) {
    return quillhaven::CellValue(std::string(s));
}
inline quillhaven::Cell integer(std::int64_t i) {
    return quillhaven::CellValue(i);
}

// users(id, name) with (1, 'ada') and (2, 'bob').
inline std::string makeDatabase(const testsupport::TempDir& dir) {
    std::string db = dir / "app.db";
    auto r = testsupport::run("sqlite3 '" + db +
                              "' \"CREATE TABLE users(id INTEGER PRIMARY KEY, name TEXT);"
                              "INSERT INTO users VALUES (1, 'ada'), (2, 'bob');\"");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return db;
}

// The error of type E that f throws, or nothing (and a test failure) when it throws none.
template <class E, class F> std::optional<E> errorOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    }
    ADD_FAILURE() << "no error thrown";
    return std::nullopt;
}

inline std::string countUsers(const std::string& db) {
    return testsupport::run("sqlite3 '" + db + "' 'SELECT count(*) FROM users'").output;
}

} // namespace backendtest

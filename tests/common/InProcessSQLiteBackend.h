#pragma once

// A Backend that runs statements on a local SQLite database inside the test process and
// shapes the answer as the remote shell's JSON output would be: every column described as
// text, cells typed by storage class, nothing at all for a statement that printed no rows.
// Front-end and translation tests use it to see real schemas and real SQL errors without
// a remote shell.

#include "backends/Backend.h"
#include "support/Error.h"

#include <mutex>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace testsupport {

class InProcessSQLiteBackend : public quillhaven::Backend {
public:
    explicit InProcessSQLiteBackend(const std::string& path = ":memory:") {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK)
            throw quillhaven::Error("cannot open " + path);
    }
    ~InProcessSQLiteBackend() override { sqlite3_close(db_); }

    void connect() override { ++connects; }
    void close() override { ++closes; }
    bool isAlive() override { return alive; }

    std::optional<quillhaven::QueryResult> execute(const std::string& sql) override {
        std::lock_guard lock(mutex_);
        executed.push_back(sql);
        std::optional<quillhaven::QueryResult> result;
        const char* tail = sql.c_str();
        while (tail && *tail) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(db_, tail, -1, &stmt, &tail) != SQLITE_OK)
                throw quillhaven::Error(sqlite3_errmsg(db_));
            if (!stmt) continue; // white space or a comment
            quillhaven::QueryResult current;
            int n = sqlite3_column_count(stmt);
            for (int i = 0; i < n; ++i) current.columns.push_back({sqlite3_column_name(stmt, i)});
            int rc;
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                quillhaven::Row row;
                for (int i = 0; i < n; ++i) row.push_back(cell(stmt, i));
                current.rows.push_back(std::move(row));
            }
            sqlite3_finalize(stmt);
            if (rc != SQLITE_DONE) throw quillhaven::Error(sqlite3_errmsg(db_));
            if (!current.rows.empty()) result = std::move(current);
        }
        return result;
    }

    std::vector<std::string> executed;
    int connects = 0;
    int closes = 0;
    bool alive = true;

private:
    static quillhaven::Cell cell(sqlite3_stmt* stmt, int i) {
        switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_INTEGER:
            return quillhaven::CellValue{static_cast<std::int64_t>(sqlite3_column_int64(stmt, i))};
        case SQLITE_FLOAT:
            return quillhaven::CellValue{sqlite3_column_double(stmt, i)};
        case SQLITE_NULL:
            return std::nullopt;
        default: {
            const char* p = reinterpret_cast<const char*>(sqlite3_column_blob(stmt, i));
            return quillhaven::CellValue{std::string(p ? p : "", sqlite3_column_bytes(stmt, i))};
        }
        }
    }

    sqlite3* db_ = nullptr;
    std::mutex mutex_;
};

} // namespace testsupport

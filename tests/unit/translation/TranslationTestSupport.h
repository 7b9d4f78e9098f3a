#pragma once

// Shared by the translation tests: a real SQLite schema behind the in-process backend,
// backends that fail, and a compact rendering of answers for tables of cases.

#include "InProcessSQLiteBackend.h"
#include "frontend/InterceptResult.h"
#include "support/Error.h"

#include <memory>
#include <string>

namespace translationtest {

// Three tables (sorted: customers, order_items, orders), a composite primary key, NOT NULL
// and DEFAULT columns, and SQLite's own sqlite_sequence table, which must never be listed.
inline std::unique_ptr<testsupport::InProcessSQLiteBackend> shopBackend() {
    auto backend = std::make_unique<testsupport::InProcessSQLiteBackend>();
    backend->execute(R"(
        CREATE TABLE orders (id INTEGER PRIMARY KEY AUTOINCREMENT, customer TEXT NOT NULL,
                             total DOUBLE PRECISION DEFAULT 0, placed DATETIME,
                             note varchar(255));
        CREATE TABLE order_items (order_id INTEGER NOT NULL, line INT NOT NULL, sku TEXT,
                                  qty BIGINT DEFAULT 1, PRIMARY KEY (order_id, line));
        CREATE TABLE customers (name TEXT, vip BOOLEAN);
        INSERT INTO orders (customer, total) VALUES ('ann', 10.5), ('bob', 3);
    )");
    backend->executed.clear();
    return backend;
}

// Fails every statement, with a readable error or with something that is not an exception
// class at all.
class FailingBackend : public quillhaven::Backend {
public:
    explicit FailingBackend(bool oddThrow = false) : oddThrow_(oddThrow) {}
    void connect() override {}
    std::optional<quillhaven::QueryResult> execute(const std::string&) override {
        if (oddThrow_) throw 42;
        throw quillhaven::Error("disk I/O error");
    }
    void close() override {}
    bool isAlive() override { return false; }

private:
    bool oddThrow_;
};

// Answers every statement with the same rows, as the remote shell might shape them.
class FixedBackend : public quillhaven::Backend {
public:
    explicit FixedBackend(std::vector<quillhaven::Row> rows) : rows_(std::move(rows)) {}
    void connect() override {}
    std::optional<quillhaven::QueryResult> execute(const std::string&) override {
        return quillhaven::QueryResult{{}, rows_};
    }
    void close() override {}
    bool isAlive() override { return true; }

private:
    std::vector<quillhaven::Row> rows_;
};

// "name/oid name/oid ..." for the columns of an answer.
inline std::string columnsOf(const quillhaven::InterceptResult& r) {
    std::string out;
    for (const auto& c : r.columns)
        out += (out.empty() ? "" : " ") + c.name + "/" + std::to_string(c.typeOID);
    return out;
}

// A row as "'text' 42 NULL": texts quoted, numbers bare, so a cell's kind shows.
inline std::string render(const quillhaven::Row& row) {
    std::string out;
    for (const auto& cell : row) {
        if (!out.empty()) out += ' ';
        if (!cell) {
            out += "NULL";
        } else if (auto* s = std::get_if<std::string>(&*cell)) {
            out += "'" + *s + "'";
        } else if (auto* n = std::get_if<std::int64_t>(&*cell)) {
            out += std::to_string(*n);
        } else if (auto* d = std::get_if<double>(&*cell)) {
            out += std::to_string(*d);
        } else {
            out += std::get<bool>(*cell) ? "true" : "false";
        }
    }
    return out;
}

inline std::vector<std::string> renderRows(const quillhaven::InterceptResult& r) {
    std::vector<std::string> rows;
    for (const auto& row : r.rows) rows.push_back(render(row));
    return rows;
}

} // namespace translationtest

#pragma once

#include "frontend/ColumnDef.h"

#include <optional>
#include <string>
#include <vector>

namespace quillhaven {

// The rows a backend returns, one cell per column, in column order.
struct QueryResult {
    std::vector<ColumnDef> columns;
    std::vector<Row> rows;

    bool operator==(const QueryResult&) const = default;
};

// Receives a result set while it is being read, so that a large one never has to be held
// whole: columns() once, then rows() with consecutive batches in order. A statement without
// a result set calls neither. An exception thrown here ends the statement with that error.
class ResultSink {
public:
    virtual ~ResultSink() = default;
    virtual void columns(const std::vector<ColumnDef>& columns) = 0;
    virtual void rows(const std::vector<Row>& rows) = 0;
};

// What every remote database offers. Implementations are shared by every session of a
// server and by the connection manager; each serialises its own remote work, so callers
// never lock. Failures are thrown as a subclass of quillhaven::Error whose what() is the
// readable sentence a client receives.
class Backend {
public:
    virtual ~Backend() = default;

    virtual void connect() = 0;
    // A result set, or nothing when the statement printed no rows.
    virtual std::optional<QueryResult> execute(const std::string& sql) = 0;
    // The same statement with its result handed over in batches as it arrives; returns once
    // the statement is finished. When it throws after rows were given, those rows stand
    // and the error belongs after them. This one reads the whole result with execute().
    virtual void executeStreaming(const std::string& sql, ResultSink& sink) {
        auto result = execute(sql);
        if (!result) return;
        sink.columns(result->columns);
        sink.rows(result->rows);
    }
    // Never fails.
    virtual void close() = 0;
    virtual bool isAlive() = 0;
};

} // namespace quillhaven

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
    // Never fails.
    virtual void close() = 0;
    virtual bool isAlive() = 0;
};

} // namespace quillhaven

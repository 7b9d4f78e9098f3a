#pragma once

#include "frontend/ColumnDef.h"

#include <string>
#include <vector>

namespace quillhaven {

// A locally produced answer to a statement. With no columns, only the tag is sent.
struct InterceptResult {
    std::vector<ColumnDef> columns;
    std::vector<Row> rows;
    std::string commandTag;

    bool operator==(const InterceptResult&) const = default;
};

} // namespace quillhaven

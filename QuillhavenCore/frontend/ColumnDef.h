#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quillhaven {

// PostgreSQL type OIDs the system reports.
namespace PGTypeOID {
inline constexpr std::int32_t boolean = 16; // "bool"
inline constexpr std::int32_t bytea = 17;
inline constexpr std::int32_t int8 = 20;
inline constexpr std::int32_t int4 = 23;
inline constexpr std::int32_t text = 25;
inline constexpr std::int32_t float4 = 700;
inline constexpr std::int32_t float8 = 701;
inline constexpr std::int32_t varchar = 1043;
inline constexpr std::int32_t date = 1082;
inline constexpr std::int32_t timestamp = 1114;
inline constexpr std::int32_t numeric = 1700;
} // namespace PGTypeOID

// One result column.
struct ColumnDef {
    std::string name;
    std::int32_t typeOID = PGTypeOID::text;
    std::int16_t typeSize = -1; // -1 = variable length; 0 is sent as -1 too

    bool operator==(const ColumnDef&) const = default;
};

// A cell: absent for SQL NULL, otherwise text, boolean, 64-bit integer or double.
using CellValue = std::variant<std::string, bool, std::int64_t, double>;
using Cell = std::optional<CellValue>;
using Row = std::vector<Cell>;

} // namespace quillhaven

#pragma once

// The byte level of the PostgreSQL v3 wire protocol as this system speaks it: builders of
// every backend message it sends, the one reading helper the startup parser needs, the
// wire-layer errors and the fixed startup answer. No state, no I/O. Byte buffers are
// std::string; every multi-byte integer is big-endian.

#include "frontend/ColumnDef.h"
#include "support/Error.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillhaven {

class PGMessageError : public Error {
public:
    enum class Kind {
        invalidMessageLength,
        startupMessageTooShort,
        readFailed,
        writeFailed,
        connectionClosed,
        resultTooLarge, // a result the wire format cannot carry
    };

    static PGMessageError invalidMessageLength(std::uint32_t length);
    static PGMessageError startupMessageTooShort(std::uint32_t length);
    static PGMessageError readFailed(const std::string& systemText);
    static PGMessageError writeFailed(const std::string& systemText);
    static PGMessageError connectionClosed();
    static PGMessageError resultTooLarge(const std::string& reason);

    Kind kind() const { return kind_; }

private:
    PGMessageError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}
    Kind kind_;
};

namespace PGMessage {

// Limits of the wire format: 16-bit column and cell counts, signed 32-bit cell lengths,
// unsigned 32-bit frame lengths.
inline constexpr std::size_t maxFields = 65535;
inline constexpr std::size_t maxCellBytes = 0x7FFFFFFF;
inline constexpr std::size_t maxFramePayload = 0xFFFFFFFFu - 4;

// type byte, 32-bit length (payload + 4), payload. Throws resultTooLarge when the length
// does not fit in 32 bits.
std::string buildMessage(char type, std::string_view payload);

std::string buildAuthenticationOk();
std::string buildBackendKeyData(std::int32_t pid, std::int32_t secretKey);
std::string buildRowDescription(const std::vector<ColumnDef>& columns);
std::string buildDataRow(const Row& values);
std::string buildErrorResponse(const std::string& severity, const std::string& message);
std::string buildParameterDescription(const std::vector<std::int32_t>& paramOIDs);

// Framed messages the session writes often.
std::string buildDataRowMessage(const Row& values);             // 'D' frame, built in one buffer
void appendDataRowMessage(std::string& out, const Row& values); // the same, appended
std::string buildCommandComplete(const std::string& tag);
std::string buildReadyForQuery();         // always idle
std::string buildEmptyMessage(char type); // '1', '2', '3', 'n', 'I': type and length 4

// The text a cell is sent as; nothing for SQL NULL.
std::optional<std::string> renderCell(const Cell& cell);

// Throws resultTooLarge when the columns or any row cannot be encoded. Checked before the
// first byte of a result is written, so a client never sees half a result.
void checkEncodable(const std::vector<ColumnDef>& columns, const std::vector<Row>& rows);

// Bytes from offset up to the first zero byte (or the end), as UTF-8 text. Nothing when
// offset is at or past the end, or the bytes are not valid UTF-8.
std::optional<std::string> readCString(std::string_view data, std::size_t offset);

} // namespace PGMessage

namespace PGStartup {

inline constexpr std::pair<const char*, const char*> startupParameters[] = {
    {"server_version", "14.0"},  {"server_encoding", "UTF8"}, {"client_encoding", "UTF8"},
    {"integer_datetimes", "on"}, {"TimeZone", "UTC"},         {"standard_conforming_strings", "on"},
    {"DateStyle", "ISO, MDY"},
};

// AuthenticationOk, the ParameterStatus list, BackendKeyData and ReadyForQuery.
std::string buildStartupResponse(std::int32_t pid, std::int32_t secretKey);

} // namespace PGStartup

} // namespace quillhaven

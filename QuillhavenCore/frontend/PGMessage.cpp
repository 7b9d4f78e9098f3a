#include "frontend/PGMessage.h"

#include "support/Text.h"

#include <charconv>
#include <cstring>

namespace quillhaven {

PGMessageError PGMessageError::invalidMessageLength(std::uint32_t length) {
    return {Kind::invalidMessageLength, "Invalid message length: " + std::to_string(length)};
}
PGMessageError PGMessageError::startupMessageTooShort(std::uint32_t length) {
    return {Kind::startupMessageTooShort, "Startup message too short: " + std::to_string(length)};
}
PGMessageError PGMessageError::readFailed(const std::string& systemText) {
    return {Kind::readFailed, "Read failed: " + systemText};
}
PGMessageError PGMessageError::writeFailed(const std::string& systemText) {
    return {Kind::writeFailed, "Write failed: " + systemText};
}
PGMessageError PGMessageError::connectionClosed() {
    return {Kind::connectionClosed, "Connection closed"};
}
PGMessageError PGMessageError::resultTooLarge(const std::string& reason) {
    return {Kind::resultTooLarge, "Result too large: " + reason};
}

namespace PGMessage {
namespace {

void put16(std::string& out, std::uint16_t v) {
    char b[2] = {static_cast<char>(v >> 8), static_cast<char>(v)};
    out.append(b, 2);
}

void put32(std::string& out, std::uint32_t v) {
    char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                 static_cast<char>(v)};
    out.append(b, 4);
}

void patch32(std::string& out, std::size_t at, std::uint32_t v) {
    out[at] = static_cast<char>(v >> 24);
    out[at + 1] = static_cast<char>(v >> 16);
    out[at + 2] = static_cast<char>(v >> 8);
    out[at + 3] = static_cast<char>(v);
}

void putCString(std::string& out, std::string_view s) {
    out.append(s);
    out.push_back('\0');
}

// Writes one cell (length and bytes, or -1) without building an intermediate string for
// the kinds that render to a few characters.
void appendCell(std::string& out, const Cell& cell) {
    if (!cell) {
        put32(out, 0xFFFFFFFFu);
        return;
    }
    char buffer[40];
    std::string_view text;
    switch (cell->index()) {
    case 0:
        text = std::get<std::string>(*cell);
        break;
    case 1:
        text = std::get<bool>(*cell) ? "t" : "f";
        break;
    case 2: {
        auto r = std::to_chars(buffer, buffer + sizeof buffer, std::get<std::int64_t>(*cell));
        text = std::string_view(buffer, r.ptr - buffer);
        break;
    }
    default: {
        // Same text as printf's %.16g: 2.0 is "2", 0.1 is "0.1".
        auto r = std::to_chars(buffer, buffer + sizeof buffer, std::get<double>(*cell),
                               std::chars_format::general, 16);
        text = std::string_view(buffer, r.ptr - buffer);
        break;
    }
    }
    put32(out, static_cast<std::uint32_t>(text.size()));
    out.append(text);
}

void appendDataRow(std::string& out, const Row& values) {
    put16(out, static_cast<std::uint16_t>(values.size()));
    for (const auto& cell : values) appendCell(out, cell);
}

std::size_t estimatedRowSize(const Row& values) {
    std::size_t n = 2;
    for (const auto& cell : values) {
        n += 4;
        if (cell && cell->index() == 0)
            n += std::get<std::string>(*cell).size();
        else if (cell)
            n += 24;
    }
    return n;
}

// Bytes of a rendered cell, exact for text and an upper bound for the other kinds.
std::size_t renderedSizeBound(const Cell& cell) {
    if (!cell) return 0;
    if (cell->index() == 0) return std::get<std::string>(*cell).size();
    return 24;
}

} // namespace

std::string buildMessage(char type, std::string_view payload) {
    if (payload.size() > maxFramePayload)
        throw PGMessageError::resultTooLarge("a message of 4 GiB or more");
    std::string out;
    out.reserve(payload.size() + 5);
    out.push_back(type);
    put32(out, static_cast<std::uint32_t>(payload.size() + 4));
    out.append(payload);
    return out;
}

std::string buildAuthenticationOk() {
    std::string out;
    put32(out, 0);
    return out;
}

std::string buildBackendKeyData(std::int32_t pid, std::int32_t secretKey) {
    std::string out;
    put32(out, static_cast<std::uint32_t>(pid));
    put32(out, static_cast<std::uint32_t>(secretKey));
    return out;
}

std::string buildRowDescription(const std::vector<ColumnDef>& columns) {
    std::string out;
    put16(out, static_cast<std::uint16_t>(columns.size()));
    for (const auto& c : columns) {
        putCString(out, c.name);
        put32(out, 0); // table OID
        put16(out, 0); // column attribute number
        put32(out, static_cast<std::uint32_t>(c.typeOID));
        put16(out, static_cast<std::uint16_t>(c.typeSize == 0 ? -1 : c.typeSize));
        put32(out, 0xFFFFFFFFu); // type modifier -1
        put16(out, 0);           // text format
    }
    return out;
}

std::string buildDataRow(const Row& values) {
    std::string out;
    out.reserve(estimatedRowSize(values));
    appendDataRow(out, values);
    return out;
}

void appendDataRowMessage(std::string& out, const Row& values) {
    std::size_t start = out.size();
    out.reserve(start + estimatedRowSize(values) + 5);
    out.push_back('D');
    put32(out, 0);
    appendDataRow(out, values);
    std::size_t length = out.size() - start - 1;
    if (length > 0xFFFFFFFFu) {
        out.resize(start);
        throw PGMessageError::resultTooLarge("a message of 4 GiB or more");
    }
    patch32(out, start + 1, static_cast<std::uint32_t>(length));
}

std::string buildDataRowMessage(const Row& values) {
    std::string out;
    appendDataRowMessage(out, values);
    return out;
}

std::string buildErrorResponse(const std::string& severity, const std::string& message) {
    std::string out;
    out.push_back('S');
    putCString(out, severity);
    out.push_back('V');
    putCString(out, severity);
    out.push_back('M');
    putCString(out, message);
    out.push_back('C');
    putCString(out, "42000");
    out.push_back('\0');
    return out;
}

std::string buildParameterDescription(const std::vector<std::int32_t>& paramOIDs) {
    std::string out;
    put16(out, static_cast<std::uint16_t>(paramOIDs.size()));
    for (auto oid : paramOIDs) put32(out, static_cast<std::uint32_t>(oid));
    return out;
}

std::string buildCommandComplete(const std::string& tag) {
    std::string payload = tag;
    payload.push_back('\0');
    return buildMessage('C', payload);
}

std::string buildReadyForQuery() {
    return buildMessage('Z', "I");
}

std::string buildEmptyMessage(char type) {
    return buildMessage(type, {});
}

std::optional<std::string> renderCell(const Cell& cell) {
    if (!cell) return std::nullopt;
    std::string framed;
    appendCell(framed, cell);
    return framed.substr(4);
}

void checkEncodable(const std::vector<ColumnDef>& columns, const std::vector<Row>& rows) {
    if (columns.size() > maxFields) throw PGMessageError::resultTooLarge("more than 65535 columns");
    std::size_t description = 2;
    for (const auto& c : columns) description += c.name.size() + 19;
    if (description > maxFramePayload)
        throw PGMessageError::resultTooLarge("a message of 4 GiB or more");
    for (const auto& row : rows) {
        if (row.size() > maxFields)
            throw PGMessageError::resultTooLarge("a row of more than 65535 cells");
        std::size_t payload = 2;
        for (const auto& cell : row) {
            std::size_t n = renderedSizeBound(cell);
            if (n > maxCellBytes) throw PGMessageError::resultTooLarge("a cell of 2 GiB or more");
            payload += 4 + n;
        }
        if (payload > maxFramePayload)
            throw PGMessageError::resultTooLarge("a message of 4 GiB or more");
    }
}

std::optional<std::string> readCString(std::string_view data, std::size_t offset) {
    if (offset >= data.size()) return std::nullopt;
    std::string_view rest = data.substr(offset);
    std::size_t end = rest.find('\0');
    std::string_view bytes = end == std::string_view::npos ? rest : rest.substr(0, end);
    if (!text::isValidUTF8(bytes)) return std::nullopt;
    return std::string(bytes);
}

} // namespace PGMessage

namespace PGStartup {

std::string buildStartupResponse(std::int32_t pid, std::int32_t secretKey) {
    std::string out = PGMessage::buildMessage('R', PGMessage::buildAuthenticationOk());
    for (const auto& [name, value] : startupParameters) {
        std::string payload;
        payload.append(name).push_back('\0');
        payload.append(value).push_back('\0');
        out += PGMessage::buildMessage('S', payload);
    }
    out += PGMessage::buildMessage('K', PGMessage::buildBackendKeyData(pid, secretKey));
    out += PGMessage::buildReadyForQuery();
    return out;
}

} // namespace PGStartup

} // namespace quillhaven

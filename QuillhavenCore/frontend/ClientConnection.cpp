#include "frontend/ClientConnection.h"

#include "frontend/PGMessage.h"
#include "support/Elapsed.h"
#include "support/Text.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <sys/random.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace quillhaven {
namespace {

constexpr std::uint32_t sslRequestCode = 80877103;
constexpr std::uint32_t cancelRequestCode = 80877102;
// Longer startup packets and messages are refused: no client sends them, and reading one
// would mean holding that much memory for a stranger.
constexpr std::uint32_t maxMessageLength = 1u << 30;
constexpr const char* readOnlyMessage =
    "Read-only mode is enabled. Only SELECT queries are allowed.";

std::string systemText(int error) {
    return std::generic_category().message(error);
}

std::uint32_t get32(std::string_view b, std::size_t at) {
    return (std::uint32_t(std::uint8_t(b[at])) << 24) |
           (std::uint32_t(std::uint8_t(b[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(b[at + 2])) << 8) | std::uint32_t(std::uint8_t(b[at + 3]));
}

std::uint16_t get16(std::string_view b, std::size_t at) {
    return static_cast<std::uint16_t>((std::uint8_t(b[at]) << 8) | std::uint8_t(b[at + 1]));
}

std::int32_t randomSecretKey() {
    std::uint32_t key = 0;
    if (getrandom(&key, sizeof key, 0) != sizeof key) key = std::random_device{}();
    return static_cast<std::int32_t>(key);
}

std::string shortSQL(const std::string& sql) {
    return text::shortenForLog(sql);
}

// The character whose code point is the byte's value, as UTF-8 (0xE9 is "é").
std::string characterOf(unsigned char byte) {
    if (byte < 0x80) return std::string(1, static_cast<char>(byte));
    return {static_cast<char>(0xC0 | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
}

// The log texts of the two protocols, which run statements the same way.
struct StatementTexts {
    const char* intercepted;
    const char* blocked;
    const char* executed;
    const char* command;
    const char* failed;
};
constexpr StatementTexts simpleTexts{
    "Query intercepted: %s (%ldms)", "Read-only mode blocked query: %s",
    "Query executed: %s, %ld rows (%ldms)", "Command executed: %s (%ldms)",
    "Backend execute error: %s, sql: %s"};
constexpr StatementTexts extendedTexts{
    "Intercepted extended query: %s (%ldms)", "Read-only mode blocked extended query: %s",
    "Extended query executed: %s, %ld rows (%ldms)", "Extended command executed: %s (%ldms)",
    "Extended query error: %s, sql: %s"};

bool isIdentifierByte(char c) {
    auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' ||
           u == '$' || u >= 0x80;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// End (one past) of the quoted run that starts at `at` with `quote`; a doubled quote is
// part of the run, and so is a backslash escape when backslashEscapes is set.
std::size_t endOfQuoted(std::string_view sql, std::size_t at, char quote, bool backslashEscapes) {
    std::size_t i = at + 1;
    while (i < sql.size()) {
        if (backslashEscapes && sql[i] == '\\') {
            i += 2;
        } else if (sql[i] == quote) {
            if (i + 1 < sql.size() && sql[i + 1] == quote)
                i += 2;
            else
                return i + 1;
        } else {
            ++i;
        }
    }
    return sql.size();
}

// End of the block comment starting at `at` ("/*"); block comments nest.
std::size_t endOfBlockComment(std::string_view sql, std::size_t at) {
    std::size_t depth = 0, i = at;
    while (i < sql.size()) {
        if (sql.compare(i, 2, "/*") == 0) {
            ++depth;
            i += 2;
        } else if (sql.compare(i, 2, "*/") == 0) {
            i += 2;
            if (--depth == 0) return i;
        } else {
            ++i;
        }
    }
    return sql.size();
}

// When `at` starts a dollar quote ($$ or $tag$), the end of the quoted body; 0 otherwise.
std::size_t endOfDollarQuote(std::string_view sql, std::size_t at) {
    std::size_t i = at + 1;
    while (i < sql.size() && sql[i] != '$' && isIdentifierByte(sql[i])) ++i;
    if (i >= sql.size() || sql[i] != '$') return 0;
    std::string_view tag = sql.substr(at, i + 1 - at);
    std::size_t close = sql.find(tag, i + 1);
    return close == std::string_view::npos ? sql.size() : close + tag.size();
}

// The type OIDs a Parse declares after its statement text.
std::vector<std::int32_t> parameterTypes(std::string_view parse) {
    std::vector<std::int32_t> types;
    std::size_t nameEnd = parse.find('\0');
    std::size_t textEnd =
        nameEnd == std::string_view::npos ? nameEnd : parse.find('\0', nameEnd + 1);
    if (textEnd == std::string_view::npos || parse.size() < textEnd + 3) return types;
    std::size_t count = get16(parse, textEnd + 1);
    for (std::size_t k = 0, at = textEnd + 3; k < count && at + 4 <= parse.size(); ++k, at += 4)
        types.push_back(static_cast<std::int32_t>(get32(parse, at)));
    return types;
}

std::string quoteLiteral(std::string_view value) {
    std::string out = "'";
    for (char v : value) {
        if (v == '\'') out.push_back('\'');
        out.push_back(v);
    }
    return out + "'";
}

// A parameter sent in binary format, as an SQL literal, read by the type the client
// declared for it; nothing when that type cannot be read here.
std::optional<std::string> binaryLiteral(std::string_view b, std::int32_t type) {
    char buffer[40];
    auto number = [&](auto value) {
        auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
        // In parentheses when negative, so that "a-$1" cannot turn into a comment.
        std::string text(buffer, r.ptr);
        return text[0] == '-' ? "(" + text + ")" : text;
    };
    switch (type) {
    case PGTypeOID::boolean:
        if (b.size() == 1) return std::string(b[0] ? "1" : "0");
        break;
    case 21: // int2
        if (b.size() == 2) return number(static_cast<std::int16_t>(get16(b, 0)));
        break;
    case PGTypeOID::int4:
        if (b.size() == 4) return number(static_cast<std::int32_t>(get32(b, 0)));
        break;
    case PGTypeOID::int8:
        if (b.size() == 8)
            return number(
                static_cast<std::int64_t>((std::uint64_t(get32(b, 0)) << 32) | get32(b, 4)));
        break;
    case PGTypeOID::float4:
    case PGTypeOID::float8: {
        double value;
        if (b.size() == 4) {
            std::uint32_t bits = get32(b, 0);
            float f;
            std::memcpy(&f, &bits, 4);
            value = f;
        } else if (b.size() == 8) {
            std::uint64_t bits = (std::uint64_t(get32(b, 0)) << 32) | get32(b, 4);
            std::memcpy(&value, &bits, 8);
        } else {
            break;
        }
        if (!std::isfinite(value)) break;
        return number(value); // shortest text that reads back as the same value
    }
    case PGTypeOID::bytea: {
        static const char* digits = "0123456789ABCDEF";
        std::string out = "X'";
        for (unsigned char c : b) {
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
        return out + "'";
    }
    case PGTypeOID::text:
    case PGTypeOID::varchar:
    case 19:   // name
    case 1042: // bpchar
        if (text::isValidUTF8(b) && b.find('\0') == std::string_view::npos) return quoteLiteral(b);
        break;
    default:
        break;
    }
    return std::nullopt;
}

// sql with each $k outside literals, quoted identifiers and comments replaced by
// literals[k-1], in one pass: a substituted value is never searched again.
std::string substituteLiterals(std::string_view sql, const std::vector<std::string>& literals) {
    std::string out;
    out.reserve(sql.size());
    std::size_t i = 0;
    auto copyTo = [&](std::size_t end) {
        out.append(sql.substr(i, end - i));
        i = end;
    };
    while (i < sql.size()) {
        char c = sql[i];
        bool startsWord = i == 0 || !isIdentifierByte(sql[i - 1]);
        if (c == '\'') {
            // E'...' takes backslash escapes; plain literals do not.
            bool escaped = i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e') &&
                           (i == 1 || !isIdentifierByte(sql[i - 2]));
            copyTo(endOfQuoted(sql, i, '\'', escaped));
        } else if (c == '"') {
            copyTo(endOfQuoted(sql, i, '"', false));
        } else if (sql.compare(i, 2, "--") == 0) {
            std::size_t eol = sql.find('\n', i);
            copyTo(eol == std::string_view::npos ? sql.size() : eol);
        } else if (sql.compare(i, 2, "/*") == 0) {
            copyTo(endOfBlockComment(sql, i));
        } else if (c == '$' && startsWord && i + 1 < sql.size() && isDigit(sql[i + 1])) {
            std::size_t end = i + 1;
            while (end < sql.size() && isDigit(sql[end])) ++end;
            std::string_view digits = sql.substr(i + 1, end - i - 1);
            std::size_t k = digits.size() > 9 ? 0 : std::stoul(std::string(digits));
            if (k == 0 || k > literals.size()) {
                copyTo(end); // no such parameter: leave the text as written
                continue;
            }
            out.append(literals[k - 1]);
            i = end;
        } else if (c == '$' && startsWord) {
            std::size_t end = endOfDollarQuote(sql, i);
            copyTo(end ? end : i + 1);
        } else {
            out.push_back(c);
            ++i;
        }
    }
    return out;
}

} // namespace

ClientConnection::ClientConnection(int socketFD, std::shared_ptr<Backend> backend, bool readOnly,
                                   QueryLogCallback queryLogCallback, StatementHooks hooks)
    : socketFD_(socketFD), backend_(std::move(backend)),
      queryLogCallback_(std::move(queryLogCallback)), readOnly_(readOnly),
      hooks_(std::move(hooks)) {}

ClientConnection::~ClientConnection() {
    closeSocket();
}

void ClientConnection::closeSocket() {
    std::lock_guard lock(socketMutex_);
    if (socketClosed_) return;
    socketClosed_ = true;
    ::close(socketFD_);
}

void ClientConnection::shutdownSocket() {
    std::lock_guard lock(socketMutex_);
    if (!socketClosed_) ::shutdown(socketFD_, SHUT_RDWR);
}

// ---- socket ----

std::string ClientConnection::readExact(std::size_t count) {
    std::string buffer;
    // Grow with what actually arrives, so an announced length costs nothing until sent.
    buffer.resize(std::min<std::size_t>(count, 64 * 1024));
    std::size_t filled = 0;
    while (filled < count) {
        if (filled == buffer.size()) buffer.resize(std::min(count, buffer.size() * 2));
        ssize_t n = ::recv(socketFD_, buffer.data() + filled, buffer.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw PGMessageError::readFailed(systemText(errno));
        }
        if (n == 0) throw PGMessageError::connectionClosed();
        filled += static_cast<std::size_t>(n);
    }
    return buffer;
}

void ClientConnection::writeRaw(std::string_view bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        // MSG_NOSIGNAL: a vanished client is an error here, never a SIGPIPE for the process.
        ssize_t n = ::send(socketFD_, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw PGMessageError::writeFailed(systemText(errno));
        }
        if (n == 0) throw PGMessageError::connectionClosed();
        written += static_cast<std::size_t>(n);
    }
}

// ---- startup ----

ClientConnection::StartupMessage ClientConnection::readStartupMessage() {
    std::uint32_t length = get32(readExact(4), 0);
    if (length < 8) throw PGMessageError::startupMessageTooShort(length);
    if (length > maxMessageLength) throw PGMessageError::invalidMessageLength(length);
    std::string body = readExact(length - 4);

    StartupMessage message;
    message.version = get32(body, 0);
    std::size_t offset = 4;
    while (offset < body.size()) {
        auto name = PGMessage::readCString(body, offset);
        if (!name || name->empty()) break;
        offset += name->size() + 1;
        auto value = PGMessage::readCString(body, offset);
        if (!value) break;
        offset += value->size() + 1;
        message.parameters[*name] = *value;
    }
    return message;
}

bool ClientConnection::performStartup() {
    StartupMessage message = readStartupMessage();
    if (message.version == sslRequestCode) {
        writeRaw("N");
        message = readStartupMessage();
    }
    if (message.version == cancelRequestCode) {
        logger_.debug("Received cancel request, ignoring");
        return false;
    }
    auto parameter = [&](const char* name) {
        auto it = message.parameters.find(name);
        return it == message.parameters.end() ? std::string("unknown") : it->second;
    };
    logger_.info("Client connected: protocol %u.%u, user=%s, database=%s",
                 static_cast<unsigned>(message.version >> 16),
                 static_cast<unsigned>(message.version & 0xFFFF), parameter("user"),
                 parameter("database"));
    writeRaw(
        PGStartup::buildStartupResponse(static_cast<std::int32_t>(::getpid()), randomSecretKey()));
    return true;
}

void ClientConnection::handle() {
    struct CloseOnExit {
        ClientConnection* self;
        ~CloseOnExit() { self->closeSocket(); }
    } closeOnExit{this};

    if (!performStartup()) return;
    messageLoop();
}

// ---- message loop ----

void ClientConnection::messageLoop() {
    for (;;) {
        char type;
        std::string payload;
        try {
            type = readExact(1)[0];
            std::uint32_t length = get32(readExact(4), 0);
            if (length < 4 || length > maxMessageLength)
                throw PGMessageError::invalidMessageLength(length);
            payload = readExact(length - 4);
        } catch (const std::exception& e) {
            logger_.debug("Connection closed: %s", e.what());
            return;
        }

        const auto typeByte = static_cast<unsigned char>(type);
        try {
            switch (type) {
            case 'Q':
                handleSimpleQuery(payload);
                break;
            case 'P':
                handleParse(payload);
                break;
            case 'B':
                handleBind(payload);
                break;
            case 'D':
                handleDescribe(payload);
                break;
            case 'E':
                handleExecute();
                break;
            case 'C':
                writeRaw(PGMessage::buildEmptyMessage('3'));
                break;
            case 'S':
                writeRaw(PGMessage::buildReadyForQuery());
                break;
            case 'X':
                logger_.info("Client disconnected (Terminate)");
                return;
            default:
                // Flush, FunctionCall, copy and password messages land here too.
                logger_.debug("Unknown message type: %hhu (%s)", typeByte, characterOf(typeByte));
                writeRaw(PGMessage::buildReadyForQuery());
                break;
            }
        } catch (const std::exception& e) {
            logger_.error("Error handling message type %hhu: %s", typeByte, e.what());
            try {
                writeError(e.what());
                writeRaw(PGMessage::buildReadyForQuery());
            } catch (const std::exception&) {
                logger_.error("Failed to send error response, closing connection");
                return;
            }
        }
    }
}

// ---- statements ----

std::optional<InterceptResult> ClientConnection::intercept(const std::string& sql) {
    // A hook that breaks its promise not to throw must not take the session down.
    try {
        if (hooks_.check) return hooks_.check(sql, backend_);
    } catch (...) {
    }
    return std::nullopt;
}

std::string ClientConnection::rewrite(const std::string& sql) {
    try {
        if (hooks_.rewrite) return hooks_.rewrite(sql);
    } catch (...) {
    }
    return sql;
}

void ClientConnection::writeError(const std::string& message) {
    writeRaw(PGMessage::buildMessage('E', PGMessage::buildErrorResponse("ERROR", message)));
}

namespace {

// Writes a result set while it arrives: RowDescription with the first rows, DataRows, and
// CommandComplete at the end. Each batch is checked before any of it is written, so a
// result given in one batch is refused whole.
class ResultWriter : public ResultSink {
public:
    explicit ResultWriter(std::function<void(std::string_view)> write) : write_(std::move(write)) {}

    void columns(const std::vector<ColumnDef>& columns) override {
        PGMessage::checkEncodable(columns, {});
        columns_ = columns;
        hasColumns_ = true;
    }

    void rows(const std::vector<Row>& rows) override {
        PGMessage::checkEncodable(columns_, rows);
        describe();
        // Messages go out in sends of about 64 KiB: one send per batch instead of one per
        // row (measured: several times the rows per second), the same bytes in the same order.
        constexpr std::size_t sendSize = 64 * 1024;
        for (const auto& row : rows) {
            PGMessage::appendDataRowMessage(buffer_, row);
            if (buffer_.size() >= sendSize) flush();
        }
        rowCount_ += rows.size();
        // The rows of a batch go out now rather than wait for the next batch.
        if (!rows.empty()) flush();
    }

    bool hasColumns() const { return hasColumns_; }
    std::size_t rowCount() const { return rowCount_; }

    void finish(const std::string& tag) {
        describe();
        buffer_ += PGMessage::buildCommandComplete(tag);
        flush();
    }

private:
    void describe() {
        if (described_) return;
        buffer_ = PGMessage::buildMessage('T', PGMessage::buildRowDescription(columns_));
        described_ = true;
    }
    void flush() {
        write_(buffer_);
        buffer_.clear();
    }

    std::function<void(std::string_view)> write_;
    std::vector<ColumnDef> columns_;
    bool hasColumns_ = false;
    bool described_ = false;
    std::size_t rowCount_ = 0;
    std::string buffer_;
};

} // namespace

void ClientConnection::writeRows(const std::vector<ColumnDef>& columns,
                                 const std::vector<Row>& rows, const std::string& tag) {
    ResultWriter writer([this](std::string_view bytes) { writeRaw(bytes); });
    writer.columns(columns);
    writer.rows(rows);
    writer.finish(tag);
}

void ClientConnection::writeInterceptResult(const InterceptResult& result) {
    if (result.columns.empty())
        writeRaw(PGMessage::buildCommandComplete(result.commandTag));
    else
        writeRows(result.columns, result.rows, result.commandTag);
}

// Runs one statement through interception, rewrite, the read-only guard and the backend,
// answering on the socket. The simple protocol ends with ReadyForQuery; the extended one
// leaves that to Sync.
void ClientConnection::runStatement(const std::string& sql, bool extended) {
    const StatementTexts& texts = extended ? extendedTexts : simpleTexts;
    auto start = std::chrono::steady_clock::now();
    if (auto result = intercept(sql)) {
        writeInterceptResult(*result);
        if (!extended) writeRaw(PGMessage::buildReadyForQuery());
        long ms = millisecondsSince(start);
        if (extended)
            logger_.debug(texts.intercepted, shortSQL(sql), ms);
        else
            logger_.info(texts.intercepted, shortSQL(sql), ms);
        return;
    }
    std::string rewritten = rewrite(sql);
    if (readOnly_ && !ClientConnection::isReadQuery(rewritten)) {
        logger_.info(texts.blocked, shortSQL(sql));
        writeError(readOnlyMessage);
        if (!extended) writeRaw(PGMessage::buildReadyForQuery());
        return;
    }
    try {
        // Rows go to the client while the backend still reads them; an error after some of
        // them is answered after those rows (clients accept an error mid-result).
        ResultWriter writer([this](std::string_view bytes) { writeRaw(bytes); });
        backend_->executeStreaming(rewritten, writer);
        long ms = millisecondsSince(start);
        if (writer.hasColumns()) {
            writer.finish("SELECT " + std::to_string(writer.rowCount()));
            logger_.info(texts.executed, shortSQL(sql), static_cast<long>(writer.rowCount()), ms);
        } else {
            writeRaw(PGMessage::buildCommandComplete(ClientConnection::classifyDMLTag(sql)));
            logger_.info(texts.command, shortSQL(sql), ms);
        }
    } catch (const std::exception& e) {
        logger_.error(texts.failed, e.what(), text::shortenForLog(sql, 200));
        writeError(e.what());
    }
    if (!extended) writeRaw(PGMessage::buildReadyForQuery());
}

void ClientConnection::handleSimpleQuery(std::string_view payload) {
    std::string_view decoded = text::isValidUTF8(payload) ? payload : std::string_view{};
    while (!decoded.empty() && decoded.front() == '\0') decoded.remove_prefix(1);
    while (!decoded.empty() && decoded.back() == '\0') decoded.remove_suffix(1);
    std::string sql = text::trimWhitespace(decoded);
    if (sql.empty()) {
        writeRaw(PGMessage::buildEmptyMessage('I'));
        writeRaw(PGMessage::buildReadyForQuery());
        return;
    }
    if (queryLogCallback_) queryLogCallback_(sql);
    runStatement(sql, false);
}

// ---- extended protocol ----

void ClientConnection::handleParse(std::string_view payload) {
    auto parts = splitNullTerminated(payload, 2);
    if (parts.size() == 2) {
        preparedSQL_ = parts[1];
        preparedParamTypes_ = parameterTypes(payload);
        if (queryLogCallback_) queryLogCallback_(preparedSQL_);
    }
    writeRaw(PGMessage::buildEmptyMessage('1'));
}

void ClientConnection::handleBind(std::string_view payload) {
    Portal portal{preparedSQL_, std::nullopt};
    if (!payload.empty())
        portal = extractAndSubstituteParams(payload, preparedSQL_, preparedParamTypes_);
    portalSQL_ = std::move(portal.sql);
    portalError_ = std::move(portal.error);
    writeRaw(PGMessage::buildEmptyMessage('2'));
}

void ClientConnection::handleDescribe(std::string_view payload) {
    if (!payload.empty() && payload[0] == 'S')
        writeRaw(PGMessage::buildMessage('t', PGMessage::buildParameterDescription({})));
    writeRaw(PGMessage::buildEmptyMessage('n'));
}

void ClientConnection::handleExecute() {
    if (portalError_) {
        logger_.error("Extended query error: %s, sql: %s", *portalError_,
                      text::shortenForLog(portalSQL_, 200));
        writeError(*portalError_);
        return;
    }
    if (portalSQL_.empty()) {
        writeRaw(PGMessage::buildEmptyMessage('I'));
        return;
    }
    runStatement(portalSQL_, true);
}

std::vector<std::string> ClientConnection::splitNullTerminated(std::string_view bytes,
                                                               std::size_t maxParts) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size() && parts.size() < maxParts; ++i) {
        if (bytes[i] != '\0') continue;
        std::string_view part = bytes.substr(start, i - start);
        if (text::isValidUTF8(part)) parts.emplace_back(part);
        start = i + 1;
    }
    return parts;
}

ClientConnection::Portal
ClientConnection::extractAndSubstituteParams(std::string_view payload, std::string_view sql,
                                             const std::vector<std::int32_t>& paramTypes) {
    Portal unchanged{std::string(sql), std::nullopt};
    if (payload.size() < 4) return unchanged;
    std::size_t portalEnd = payload.find('\0');
    if (portalEnd == std::string_view::npos) return unchanged;
    std::size_t i = payload.find('\0', portalEnd + 1);
    if (i == std::string_view::npos) return unchanged;
    if (payload.size() < i + 3) return unchanged;
    std::size_t formatCount = get16(payload, i + 1);
    std::size_t r = i + 3 + 2 * formatCount;
    if (payload.size() < r + 2) return unchanged;
    std::size_t count = get16(payload, r);
    // One format code for all parameters, or one each; none means text.
    auto formatOf = [&](std::size_t k) -> std::uint16_t {
        if (formatCount == 0) return 0;
        std::size_t index = formatCount == 1 ? 0 : k;
        return index < formatCount ? get16(payload, i + 3 + 2 * index) : 0;
    };

    std::vector<std::string> literals(count, "NULL"); // missing ones stay NULL
    std::size_t at = r + 2;
    for (std::size_t k = 0; k < count; ++k) {
        if (payload.size() - at < 4) break;
        auto length = static_cast<std::int32_t>(get32(payload, at));
        at += 4;
        if (length == -1) continue;
        // Any other negative length is malformed: read no further, like a truncated payload.
        if (length < 0 || payload.size() - at < static_cast<std::size_t>(length)) break;
        std::string_view bytes = payload.substr(at, static_cast<std::size_t>(length));
        at += static_cast<std::size_t>(length);
        std::string number = "$" + std::to_string(k + 1);
        if (formatOf(k) == 1) {
            std::int32_t type = k < paramTypes.size() ? paramTypes[k] : 0;
            auto literal = binaryLiteral(bytes, type);
            if (!literal)
                return {std::string(sql), "Parameter " + number + " is sent in binary format " +
                                              "with type OID " + std::to_string(type) +
                                              ", which is not supported"};
            literals[k] = std::move(*literal);
        } else if (text::isValidUTF8(bytes)) {
            // The statement text ends at a zero byte further down the line.
            if (bytes.find('\0') != std::string_view::npos)
                return {std::string(sql), "Parameter " + number + " contains a zero byte"};
            literals[k] = quoteLiteral(bytes);
        }
    }
    return {substituteLiterals(sql, literals), std::nullopt};
}

std::string
ClientConnection::substituteParams(std::string_view sql,
                                   const std::vector<std::optional<std::string>>& values) {
    std::vector<std::string> literals;
    for (const auto& v : values) literals.push_back(v ? quoteLiteral(*v) : "NULL");
    return substituteLiterals(sql, literals);
}

// ---- classification ----

bool ClientConnection::isReadQuery(std::string_view sql) {
    std::string s = text::toLowerASCII(text::trimWhitespace(sql));
    for (const char* prefix : {"select", "pragma", "explain", "show"})
        if (text::startsWith(s, prefix)) return true;
    return false;
}

std::string ClientConnection::classifyDMLTag(std::string_view sql) {
    static const std::pair<const char*, const char*> rules[] = {
        {"INSERT", "INSERT 0 1"},   {"UPDATE", "UPDATE 1"},         {"DELETE", "DELETE 1"},
        {"CREATE", "CREATE TABLE"}, {"DROP", "DROP TABLE"},         {"ALTER", "ALTER TABLE"},
        {"BEGIN", "BEGIN"},         {"START TRANSACTION", "BEGIN"}, {"COMMIT", "COMMIT"},
        {"END", "COMMIT"},          {"ROLLBACK", "ROLLBACK"},       {"ABORT", "ROLLBACK"},
    };
    std::string s = text::toUpperASCII(text::trimWhitespace(sql));
    for (const auto& [prefix, tag] : rules)
        if (text::startsWith(s, prefix)) return tag;
    return "OK";
}

} // namespace quillhaven

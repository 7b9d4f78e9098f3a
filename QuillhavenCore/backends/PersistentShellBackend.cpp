#include "backends/PersistentShellBackend.h"

#include "backends/SQLiteJSONParser.h"
#include "backends/ShellStatementGuard.h"
#include "support/Elapsed.h"
#include "support/Text.h"

namespace quillhaven {
namespace {

using Clock = std::chrono::steady_clock;

bool isAsciiSpace(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

std::string_view trimAscii(std::string_view s) {
    while (!s.empty() && isAsciiSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isAsciiSpace(s.back())) s.remove_suffix(1);
    return s;
}

} // namespace

PersistentShellBackend::PersistentShellBackend(const std::string& category, double timeoutSeconds,
                                               LogTexts texts)
    : logger_(category), timeoutSeconds_(timeoutSeconds), texts_(texts),
      shell_(std::chrono::duration<double>(timeoutSeconds)) {}

// The shell is stopped with its backend: a child left behind would outlive every user.
PersistentShellBackend::~PersistentShellBackend() = default;

void PersistentShellBackend::connect() {
    std::lock_guard lock(queue_);
    connectLocked();
}

std::optional<QueryResult> PersistentShellBackend::execute(const std::string& sql) {
    std::lock_guard lock(queue_);
    return executeLocked(sql);
}

void PersistentShellBackend::executeStreaming(const std::string& sql, ResultSink& sink) {
    std::lock_guard lock(queue_);
    executeStreamingLocked(sql, sink);
}

void PersistentShellBackend::close() {
    std::lock_guard lock(queue_);
    closeLocked();
}

bool PersistentShellBackend::isAlive() {
    std::lock_guard lock(queue_);
    return connected_ && shell_.isRunning();
}

std::string PersistentShellBackend::filterErrors(std::string_view errors) const {
    return filterLines(errors);
}

std::string PersistentShellBackend::startFailureText(const std::string& readError,
                                                     const std::string&) const {
    return "Waiting for init sentinel: " + readError;
}

void PersistentShellBackend::raise(Failure kind, const std::string& text) const {
    fail(kind, text);
    throw Error(text); // fail always throws; this only keeps the compiler sure of it
}

std::string PersistentShellBackend::describe(Failure kind, const std::string& text) const {
    try {
        fail(kind, text);
    } catch (const std::exception& e) {
        return e.what();
    }
    return text;
}

std::string PersistentShellBackend::filterLines(std::string_view errors,
                                                bool (*drop)(std::string_view line)) {
    std::string out;
    std::size_t start = 0;
    while (start < errors.size()) {
        std::size_t end = errors.find('\n', start);
        if (end == std::string_view::npos) end = errors.size();
        std::string_view line = errors.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        if (line.empty() || (drop && drop(line))) continue;
        if (!out.empty()) out += '\n';
        out.append(line);
    }
    return out;
}

void PersistentShellBackend::readFailed(const PersistentShell::ReadFailure& failure,
                                        bool starting) {
    Failure kind = failure.kind == PersistentShell::ReadFailure::Kind::timeout
                       ? Failure::timeout
                       : Failure::sessionDead;
    std::string description = describe(kind, failure.what());
    if (starting) {
        std::string errors = filterErrors(shell_.takeErrors());
        closeLocked();
        raise(Failure::connectionFailed, startFailureText(description, errors));
    }
    connected_ = false;
    raise(Failure::sessionDead, "Reading response: " + description + " (session will reconnect)");
}

void PersistentShellBackend::connectLocked() {
    if (connected_) closeLocked();
    logConnecting();
    auto start = Clock::now();

    shell_.start(launchOptions());
    connected_ = true;

    // The empty query opens the file now, so a missing or broken database fails the
    // connection instead of the first statement.
    shell_.send(".mode json\nSELECT 1 FROM sqlite_master LIMIT 0;\n.print " + shell_.sentinel() +
                "\n");
    try {
        shell_.readUntilSentinel();
    } catch (const PersistentShell::ReadFailure& failure) {
        readFailed(failure, true);
    }
    std::string errors = filterErrors(shell_.takeErrors());
    if (!errors.empty()) {
        closeLocked();
        raise(Failure::connectionFailed, errors);
    }
    logger_.info(texts_.established, millisecondsSince(start));
}

Clock::time_point PersistentShellBackend::sendLocked(const std::string& sql,
                                                     const std::string& shortSQL) {
    auto input = ShellStatementGuard::check(sql);
    if (input.refusal) {
        logger_.error("Statement refused: sql=%s reason=%s", shortSQL, *input.refusal);
        raise(Failure::statementRefused, *input.refusal);
    }
    if (!connected_) {
        logger_.info(texts_.reconnecting);
        connectLocked();
    }
    shell_.discardErrors();
    auto start = Clock::now();

    if (!shell_.isStarted()) {
        connected_ = false;
        raise(Failure::sessionDead, "Failed to write query (session will reconnect)");
    }
    // A child that has gone shows as the end of its output below.
    shell_.send(input.text + ".print " + shell_.sentinel() + "\n");
    return start;
}

void PersistentShellBackend::checkErrorsLocked(const std::string& shortSQL) {
    std::string errors = filterErrors(shell_.takeErrors());
    if (!errors.empty()) {
        logger_.error("Query stderr: sql=%s stderr=%s", shortSQL, errors);
        raise(Failure::sqliteError, errors);
    }
}

std::optional<QueryResult> PersistentShellBackend::parseWhole(std::string_view answer,
                                                              const std::string& shortSQL,
                                                              Clock::time_point start,
                                                              long queryMs) const {
    std::string_view trimmed = trimAscii(answer);
    if (trimmed.empty() || trimmed == "[]") {
        logger_.info("Execute: sql=%s ms=%ld result=empty", shortSQL, millisecondsSince(start));
        return std::nullopt;
    }
    auto parseStart = Clock::now();
    auto result = SQLiteJSONParser::parse(trimmed);
    long parseMs = millisecondsSince(parseStart);
    logger_.info("Execute: sql=%s query_ms=%ld parse_ms=%ld rows=%ld bytes=%ld", shortSQL, queryMs,
                 parseMs, result ? static_cast<long>(result->rows.size()) : 0L,
                 static_cast<long>(text::codePointCount(trimmed)));
    return result;
}

std::optional<QueryResult> PersistentShellBackend::executeLocked(const std::string& sql) {
    std::string shortSQL = text::shortenForLog(sql);
    auto start = sendLocked(sql, shortSQL);
    std::string answer;
    try {
        answer = shell_.readUntilSentinel();
    } catch (const PersistentShell::ReadFailure& failure) {
        readFailed(failure, false);
    }
    long queryMs = millisecondsSince(start);
    checkErrorsLocked(shortSQL);
    return parseWhole(answer, shortSQL, start, queryMs);
}

namespace {

// A batch is cut at the first row boundary after this many lines or bytes: small enough to
// keep memory flat, large enough that the per-batch work does not show.
constexpr std::size_t batchLines = 4096;
constexpr std::size_t batchBytes = 2 << 20;

// The answer of one streamed statement as its lines arrive. Until the first batch is cut it
// holds exactly what readUntilSentinel() would return, so a short or unusual answer is
// parsed whole. After that it holds "[" and the lines since the last cut.
struct AnswerStream {
    std::string held;
    bool anyLine = false;
    std::size_t heldLines = 0;
    bool streaming = false;     // rows went to the sink
    bool whole = false;         // the first batch did not parse: read the answer whole
    std::exception_ptr failure; // after rows went out; the rest of the answer is skipped
    SQLiteJSONParser::RowBoundaryScanner scanner;
    SQLiteJSONParser::PartReader reader;
    long rows = 0;
    long bytes = 0;
    Clock::duration parseTime{};

    void append(std::string_view line) {
        if (anyLine) held += '\n';
        held.append(line);
        anyLine = true;
        ++heldLines;
    }

    // The rows of held as one array; held then starts the next batch.
    std::vector<Row> takeBatch(bool last) {
        std::size_t end = held.size();
        if (!last) {
            end = held.find_last_not_of(" \t\r\n");
            held[end] = ']'; // the comma after the batch's last row
        }
        auto parseStart = Clock::now();
        std::vector<Row> batch;
        try {
            batch = reader.read(std::string_view(held.data(), end + (last ? 0 : 1)));
        } catch (...) {
            if (!last) held[end] = ',';
            throw;
        }
        parseTime += Clock::now() - parseStart;
        bytes += static_cast<long>(text::codePointCount(held));
        rows += static_cast<long>(batch.size());
        held.clear();
        held += '[';
        heldLines = 0;
        return batch;
    }

    void give(ResultSink& sink, const std::vector<Row>& batch) {
        if (batch.empty()) return;
        if (!streaming) sink.columns(reader.columns());
        streaming = true;
        sink.rows(batch);
    }

    void onLine(std::string_view line, ResultSink& sink) {
        if (failure) return;
        try {
            append(line);
            if (whole) return;
            scanner.addLine(line);
            if (heldLines < batchLines && held.size() < batchBytes) return;
            if (!scanner.atRowBoundary()) return;
            std::vector<Row> batch;
            try {
                batch = takeBatch(false);
            } catch (const SQLiteJSONParserError&) {
                if (streaming) throw;
                whole = true; // nothing sent yet: the whole answer gets its usual reading
                return;
            }
            give(sink, batch);
        } catch (...) {
            // The shell's answer is still read to its end, so the next statement starts
            // in step; the failure is reported then.
            failure = std::current_exception();
            held.clear();
        }
    }
};

} // namespace

void PersistentShellBackend::executeStreamingLocked(const std::string& sql, ResultSink& sink) {
    std::string shortSQL = text::shortenForLog(sql);
    auto start = sendLocked(sql, shortSQL);
    AnswerStream stream;
    try {
        shell_.readUntilSentinel([&](std::string_view line) { stream.onLine(line, sink); });
    } catch (const PersistentShell::ReadFailure& failure) {
        readFailed(failure, false);
    }
    long queryMs = millisecondsSince(start);
    if (!stream.streaming && !stream.failure) {
        checkErrorsLocked(shortSQL);
        if (auto result = parseWhole(stream.held, shortSQL, start, queryMs)) {
            sink.columns(result->columns);
            sink.rows(result->rows);
        }
        return;
    }
    try {
        checkErrorsLocked(shortSQL);
    } catch (...) {
        // The rows the shell printed before its error still go out, ahead of the error.
        if (!stream.failure) {
            try {
                stream.give(sink, stream.takeBatch(true));
            } catch (...) {
            }
        }
        throw;
    }
    if (stream.failure) std::rethrow_exception(stream.failure);
    stream.give(sink, stream.takeBatch(true));
    logger_.info(
        "Execute: sql=%s query_ms=%ld parse_ms=%ld rows=%ld bytes=%ld", shortSQL, queryMs,
        static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(stream.parseTime).count()),
        stream.rows, stream.bytes);
}

void PersistentShellBackend::closeLocked() {
    connected_ = false;
    shell_.stop();
}

} // namespace quillhaven

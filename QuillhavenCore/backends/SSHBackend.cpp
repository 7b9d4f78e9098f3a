#include "backends/SSHBackend.h"

#include "backends/SQLiteJSONParser.h"
#include "backends/SQLiteShellCommand.h"
#include "backends/ShellStatementGuard.h"
#include "connections/KeychainHelper.h"
#include "support/Elapsed.h"
#include "support/Text.h"
#include "support/UUID.h"

#include <chrono>

namespace quillhaven {
namespace {

using Kind = SSHBackendError::Kind;
using Clock = std::chrono::steady_clock;

const char* prefixOf(Kind kind) {
    switch (kind) {
    case Kind::connectionFailed:
        return "SSH connection failed: ";
    case Kind::authenticationFailed:
        return "SSH authentication failed: ";
    case Kind::commandFailed:
        return "Command failed: ";
    case Kind::timeout:
        return "Timeout: ";
    case Kind::sessionDead:
        return "Session dead: ";
    case Kind::sqliteError:
        return "SQLite error: ";
    case Kind::parseFailed:
        return "Parse failed: ";
    case Kind::statementRefused:
        return "Statement refused: ";
    }
    return "";
}

std::string wholeSeconds(double seconds) {
    return std::to_string(static_cast<long>(seconds));
}

std::string decoded(const std::string& bytes) {
    return text::trimWhitespace(text::repairUTF8(bytes));
}

// What a failed remote command says about itself: its error output, else its exit status.
std::string commandFailure(const SSHSession::CommandOutput& out) {
    std::string err = decoded(out.err);
    if (!err.empty()) return err;
    return "Command failed with exit code " + std::to_string(out.exitStatus);
}

// A connection id is shown the way it is stored everywhere: canonical upper case.
std::string shownId(const std::string& id) {
    return uuid::normalized(id).value_or(id);
}

// Well below the packet size OpenSSH accepts for an exec request.
constexpr std::size_t maxExecCommandBytes = 128 * 1024;

} // namespace

SSHBackendError::SSHBackendError(Kind kind, const std::string& text)
    : Error(prefixOf(kind) + text), kind_(kind), text_(text) {}

SSHCredentials SSHCredentials::stored(SSHAuthMethod method, std::string connectionId) {
    SSHCredentials c;
    c.source_ = method == SSHAuthMethod::password ? Source::storedPassword : Source::storedKey;
    c.connectionId_ = std::move(connectionId);
    return c;
}

SSHCredentials SSHCredentials::password(std::string password) {
    SSHCredentials c;
    c.source_ = Source::password;
    c.secret_ = std::move(password);
    return c;
}

SSHCredentials SSHCredentials::privateKey(std::string keyFileBytes) {
    SSHCredentials c;
    c.source_ = Source::privateKey;
    c.secret_ = std::move(keyFileBytes);
    return c;
}

SSHCredentials SSHCredentials::agent() {
    return SSHCredentials{};
}

SSHBackend::SSHBackend(std::string hostname, std::uint16_t port, std::string username,
                       SSHAuthMethod authMethod, std::string connectionId, std::string dbPath,
                       double timeout, bool readOnly)
    : SSHBackend(std::move(hostname), port, std::move(username),
                 SSHCredentials::stored(authMethod, std::move(connectionId)), std::move(dbPath),
                 timeout, readOnly) {}

SSHBackend::SSHBackend(std::string hostname, std::uint16_t port, std::string username,
                       SSHCredentials credentials, std::string dbPath, double timeout,
                       bool readOnly)
    : hostname_(std::move(hostname)), port_(port), username_(std::move(username)),
      credentials_(std::move(credentials)), dbPath_(std::move(dbPath)), timeout_(timeout),
      readOnly_(readOnly) {}

SSHBackend::~SSHBackend() {
    std::lock_guard lock(mutex_);
    closeLocked();
}

void SSHBackend::connect() {
    std::lock_guard lock(mutex_);
    connectLocked();
}

std::optional<QueryResult> SSHBackend::execute(const std::string& sql) {
    std::lock_guard lock(mutex_);
    return executeLocked(sql);
}

void SSHBackend::close() {
    std::lock_guard lock(mutex_);
    closeLocked();
}

bool SSHBackend::isAlive() {
    std::lock_guard lock(mutex_);
    return connected_ && session_ && session_->isConnected();
}

SSHAuth SSHBackend::buildAuthMethod() const {
    std::string keyText;
    switch (credentials_.source()) {
    case SSHCredentials::Source::agent:
        return SSHAuth::withAgent();
    case SSHCredentials::Source::password:
        return SSHAuth::withPassword(credentials_.secret());
    case SSHCredentials::Source::storedPassword: {
        auto password = KeychainHelper::loadPassword(credentials_.connectionId());
        if (!password) {
            throw SSHBackendError(Kind::authenticationFailed,
                                  "No password found in Keychain for connection " +
                                      shownId(credentials_.connectionId()));
        }
        return SSHAuth::withPassword(*password);
    }
    case SSHCredentials::Source::storedKey: {
        auto key = KeychainHelper::loadSSHKey(credentials_.connectionId());
        if (!key) {
            throw SSHBackendError(Kind::authenticationFailed,
                                  "No SSH key found in Keychain for connection " +
                                      shownId(credentials_.connectionId()));
        }
        keyText.assign(key->begin(), key->end());
        break;
    }
    case SSHCredentials::Source::privateKey:
        keyText = credentials_.secret();
        break;
    }
    if (!text::isValidUTF8(keyText)) {
        throw SSHBackendError(Kind::authenticationFailed, "SSH key data is not valid UTF-8");
    }
    // A key that cannot be read fails with the key reader's own error.
    SSHPrivateKey key = SSHPrivateKey::parse(keyText);
    if (key.type() == SSHPrivateKey::Type::other) {
        throw SSHBackendError(Kind::authenticationFailed,
                              "Unsupported SSH key type: " + key.typeName());
    }
    return SSHAuth::withKey(std::move(key));
}

void SSHBackend::connectLocked() {
    if (connected_) closeLocked();
    logger_.info("Establishing SSH connection: host=%s:%hu user=%s db=%s", hostname_,
                 static_cast<unsigned short>(port_), username_, dbPath_);
    auto start = Clock::now();
    cachedAuth_ = buildAuthMethod();

    Deadline deadline = Deadline::after(timeout_);
    std::unique_ptr<SSHSession> session;
    try {
        session = SSHSession::open({hostname_, port_, username_}, *cachedAuth_, deadline);
        // Prove the database opens. The URI keeps the shell from creating a missing file.
        std::string uri = text::shellQuote(sqliteshell::databaseURI(dbPath_, readOnly_));
        auto check = session->run("sqlite3 -noheader -list " + uri + " 'SELECT 1'", deadline);
        if (!decoded(check.err).empty() || check.exitStatus != 0) {
            throw SSHClientError(SSHClientError::Kind::channel, commandFailure(check));
        }
        std::string answer = decoded(check.out);
        if (answer.find('1') == std::string::npos) {
            throw SSHBackendError(Kind::connectionFailed,
                                  "Database verification failed: expected '1', got '" + answer +
                                      "'");
        }
        auto version = session->run("sqlite3 -version", deadline);
        safeMode_ = version.exitStatus == 0 && sqliteshell::supportsSafeMode(version.out);
    } catch (const SSHClientError& e) {
        if (e.kind() == SSHClientError::Kind::timeout) {
            throw SSHBackendError(Kind::connectionFailed,
                                  "SSH connection timed out after " + wholeSeconds(timeout_) + "s");
        }
        throw SSHBackendError(Kind::connectionFailed, e.what());
    } catch (const SSHBackendError& e) {
        throw SSHBackendError(Kind::connectionFailed, e.what());
    }
    session_ = std::move(session);
    connected_ = true;
    logger_.info("SSH connection established in %ldms", millisecondsSince(start));
}

std::string SSHBackend::statementCommand(const std::string& body) const {
    std::string delimiter = sqliteshell::hereDocDelimiter(body);
    std::string command = "__sf=$(mktemp); sqlite3 -json ";
    if (safeMode_) command += "-safe ";
    command += text::shellQuote(sqliteshell::databaseURI(dbPath_, readOnly_));
    command += " << '" + delimiter + "' 2>\"$__sf\"\n";
    command += body;
    command += delimiter + "\n";
    command += "__ec=$?; [ $__ec -ne 0 ] && echo \"SQLITE_ERROR:$(cat \"$__sf\")\"; "
               "rm -f \"$__sf\"; exit 0";
    return command;
}

std::optional<QueryResult> SSHBackend::executeLocked(const std::string& sql) {
    if (!connected_ || !session_ || !session_->isConnected()) {
        logger_.info("Reconnecting SSH session");
        closeLocked();
        connectLocked();
    }
    if (!session_) throw SSHBackendError(Kind::sessionDead, "No SSH client available");

    auto start = Clock::now();
    std::string logSQL = text::shortenForLog(sql, 100);
    auto input = ShellStatementGuard::check(sql);
    if (input.refusal) {
        logger_.error("Statement refused: sql=%s reason=%s", logSQL, *input.refusal);
        throw SSHBackendError(Kind::statementRefused, *input.refusal);
    }

    SSHSession::CommandOutput out;
    try {
        // OpenSSH refuses exec requests past ~256 KB: a long script goes in through the
        // standard input of a plain shell instead.
        std::string command = statementCommand(input.text);
        if (command.size() <= maxExecCommandBytes)
            out = session_->run(command, Deadline::after(timeout_));
        else
            out = session_->run("sh -s", Deadline::after(timeout_), command);
    } catch (const SSHClientError& e) {
        // Tear the session down here, on the thread that used it; the next statement
        // reconnects.
        closeLocked();
        if (e.kind() == SSHClientError::Kind::timeout) {
            throw SSHBackendError(Kind::timeout,
                                  "Query timed out after " + wholeSeconds(timeout_) + "s");
        }
        throw SSHBackendError(Kind::sessionDead,
                              std::string("Command execution failed: ") + e.what());
    }
    long queryMs = millisecondsSince(start);

    if (std::string err = decoded(out.err); !err.empty()) {
        std::string cleaned = sqliteshell::withoutLinePrefix(err);
        logger_.error("SQLite error: sql=%s error=%s", logSQL, cleaned);
        throw SSHBackendError(Kind::sqliteError, cleaned);
    }
    if (out.exitStatus != 0) {
        logger_.error("Query failed with exit code %ld: sql=%s", static_cast<long>(out.exitStatus),
                      logSQL);
        throw SSHBackendError(Kind::commandFailed,
                              "Query failed (exit code " + std::to_string(out.exitStatus) + ")");
    }
    if (out.out.empty()) {
        logger_.info("Execute: sql=%s ms=%ld result=empty", logSQL, queryMs);
        return std::nullopt;
    }

    std::string output = text::repairUTF8(out.out);
    // The error marker is the first line, or follows the rows printed before the error.
    static constexpr std::string_view marker = "SQLITE_ERROR:";
    std::size_t at = text::startsWith(output, marker) ? 0 : output.find("\nSQLITE_ERROR:");
    if (at != std::string::npos) {
        if (at != 0) ++at;
        std::string cleaned = sqliteshell::withoutLinePrefix(
            text::trimWhitespace(std::string_view(output).substr(at + marker.size())));
        logger_.error("SQLite error: sql=%s error=%s", logSQL, cleaned);
        throw SSHBackendError(Kind::sqliteError, cleaned);
    }

    std::string trimmed = text::trimWhitespace(output);
    if (trimmed.empty() || trimmed == "[]") {
        logger_.info("Execute: sql=%s ms=%ld result=empty", logSQL, queryMs);
        return std::nullopt;
    }
    auto parseStart = Clock::now();
    std::optional<QueryResult> result = SQLiteJSONParser::parse(trimmed);
    long parseMs = millisecondsSince(parseStart);
    logger_.info("Execute: sql=%s query_ms=%ld parse_ms=%ld rows=%ld bytes=%ld", logSQL, queryMs,
                 parseMs, static_cast<long>(result ? result->rows.size() : 0),
                 static_cast<long>(text::codePointCount(trimmed)));
    return result;
}

void SSHBackend::closeLocked() {
    connected_ = false;
    if (session_) {
        session_->disconnect();
        session_.reset();
    }
    cachedAuth_.reset();
}

} // namespace quillhaven

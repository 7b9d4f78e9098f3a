#include "backends/FlyBackend.h"

#include "backends/ProcessHelper.h"
#include "backends/SQLiteShellCommand.h"
#include "support/Text.h"

namespace quillhaven {
namespace {

const char* prefixFor(FlyBackendError::Case c) {
    using C = FlyBackendError::Case;
    switch (c) {
    case C::connectionFailed:
        return "Connection failed: ";
    case C::sessionDead:
        return "Session dead: ";
    case C::timeout:
        return "Timeout: ";
    case C::sqliteError:
        return "SQLite error: ";
    case C::parseFailed:
        return "Parse failed: ";
    case C::statementRefused:
        return "Statement refused: ";
    }
    return "";
}

bool isFlyChatter(std::string_view line) {
    return line.find("Connecting to") != std::string_view::npos || line.starts_with("Warning:");
}

} // namespace

FlyBackendError::FlyBackendError(Case c, const std::string& text)
    : Error(prefixFor(c) + text), case_(c), text_(text) {}

FlyBackend::FlyBackend(std::string app, std::string dbPath, double timeout, bool readOnly)
    : PersistentShellBackend(
          "FlyBackend", timeout,
          {"Reconnecting persistent SSH session", "Persistent SSH session established in %ldms"}),
      app_(std::move(app)), dbPath_(std::move(dbPath)), readOnly_(readOnly) {}

std::string FlyBackend::remoteCommand(const std::string& dbPath, bool readOnly) {
    // Safe mode (sqlite3 3.37 and later) where the remote shell knows it; the path is
    // quoted so that spaces or shell characters in it stay part of the path.
    std::string uri = text::shellQuote(sqliteshell::databaseURI(dbPath, readOnly));
    std::string script = "if sqlite3 -safe -version >/dev/null 2>&1; then exec sqlite3 -safe " +
                         uri + "; else exec sqlite3 " + uri + "; fi";
    return "sh -c " + text::shellQuote(script);
}

std::string FlyBackend::filterFlyMessages(std::string_view text) {
    return filterLines(text, isFlyChatter);
}

ChildProcess::Options FlyBackend::launchOptions() {
    auto fly = ProcessHelper::findBinary("fly");
    if (!fly)
        fail(Failure::connectionFailed,
             std::string("'fly' CLI not found. Install from ") + installHint);
    ChildProcess::Options options;
    options.program = *fly;
    options.arguments = {"ssh", "console", "-a", app_, "-C", remoteCommand(dbPath_, readOnly_)};
    options.environment = ProcessHelper::expandedEnvironment();
    return options;
}

void FlyBackend::logConnecting() const {
    logger().info("Establishing persistent SSH session: app=%s db=%s", app_, dbPath_);
}

std::string FlyBackend::filterErrors(std::string_view errors) const {
    return filterFlyMessages(errors);
}

void FlyBackend::fail(Failure kind, const std::string& text) const {
    throwAs<FlyBackendError>(kind, text);
}

} // namespace quillhaven

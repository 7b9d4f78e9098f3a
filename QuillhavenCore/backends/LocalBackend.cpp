#include "backends/LocalBackend.h"

#include "backends/SQLiteShellCommand.h"
#include "support/ChildProcess.h"

namespace quillhaven {
namespace {

const char* prefixFor(LocalBackendError::Case c) {
    using C = LocalBackendError::Case;
    switch (c) {
    case C::connectionFailed:
        return "Local database unavailable: ";
    case C::sessionDead:
        return "Local sqlite3 shell stopped: ";
    case C::timeout:
        return "Local sqlite3 shell timed out: ";
    case C::sqliteError:
        return "SQLite error: ";
    case C::statementRefused:
        return "Statement refused: ";
    }
    return "";
}

// Whether this sqlite3 knows -safe (3.37 and later).
bool supportsSafeMode(const std::string& sqlite3) {
    ChildProcess::Options probe;
    probe.program = sqlite3;
    probe.arguments = {"-safe", "-version"};
    probe.standardInput = ChildProcess::Input::closed;
    probe.standardOutput = ChildProcess::Output::discard;
    probe.standardError = ChildProcess::Output::discard;
    try {
        auto child = ChildProcess::launch(probe);
        auto status = child->wait(ChildProcess::Clock::now() + std::chrono::seconds(10));
        return status && status->exitedNormally() && status->code == 0;
    } catch (const ChildProcessError&) {
        return false;
    }
}

} // namespace

LocalBackendError::LocalBackendError(Case c, const std::string& text)
    : Error(prefixFor(c) + text), case_(c), text_(text) {}

LocalBackend::LocalBackend(std::string path, bool readOnly, double timeout)
    : PersistentShellBackend(
          "LocalBackend", timeout,
          {"Restarting local sqlite3 shell", "Local sqlite3 shell ready in %ldms"}),
      path_(std::move(path)), readOnly_(readOnly) {}

ChildProcess::Options LocalBackend::launchOptions() {
    auto sqlite3 = findOnPath("sqlite3");
    if (!sqlite3) fail(Failure::connectionFailed, "the sqlite3 program was not found on PATH");
    ChildProcess::Options options;
    options.program = *sqlite3;
    if (!safeMode_) safeMode_ = supportsSafeMode(*sqlite3); // asked once per backend
    if (*safeMode_) options.arguments.push_back("-safe");
    options.arguments.push_back(sqliteshell::databaseURI(path_, readOnly_));
    return options;
}

void LocalBackend::logConnecting() const {
    logger().info("Starting local sqlite3 shell: db=%s readonly=%d", path_, readOnly_ ? 1 : 0);
}

std::string LocalBackend::startFailureText(const std::string& readError,
                                           const std::string& errors) const {
    // The shell's own words ("unable to open database ...") say more than a closed pipe.
    return errors.empty() ? readError : errors;
}

void LocalBackend::fail(Failure kind, const std::string& text) const {
    throwAs<LocalBackendError>(kind, text);
}

} // namespace quillhaven

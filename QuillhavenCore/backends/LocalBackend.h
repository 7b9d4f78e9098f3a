#pragma once

#include "backends/PersistentShellBackend.h"
#include "support/Error.h"

#include <optional>
#include <string>

namespace quillhaven {

class LocalBackendError : public Error {
public:
    enum class Case {
        connectionFailed, // "Local database unavailable: " + text
        sessionDead,      // "Local sqlite3 shell stopped: " + text
        timeout,          // "Local sqlite3 shell timed out: " + text
        sqliteError,      // "SQLite error: " + text
        statementRefused, // "Statement refused: " + text
    };
    LocalBackendError(Case c, const std::string& text);
    Case errorCase() const { return case_; }
    const std::string& text() const { return text_; }

private:
    Case case_;
    std::string text_;
};

// A Backend on a database file of this machine: one interactive `sqlite3` (found on PATH)
// kept running on the file, driven like the Fly.io shell. Safe mode where the shell has
// it, read-only opening for a read-only connection, and a missing file is an error.
// Log category "LocalBackend".
class LocalBackend : public PersistentShellBackend {
public:
    explicit LocalBackend(std::string path, bool readOnly = false, double timeout = 30);

    const std::string& path() const { return path_; }

protected:
    ChildProcess::Options launchOptions() override;
    void logConnecting() const override;
    std::string startFailureText(const std::string& readError,
                                 const std::string& errors) const override;
    [[noreturn]] void fail(Failure kind, const std::string& text) const override;

private:
    const std::string path_;
    const bool readOnly_;
    std::optional<bool> safeMode_;
};

} // namespace quillhaven

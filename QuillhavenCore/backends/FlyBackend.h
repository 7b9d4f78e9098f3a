#pragma once

#include "backends/PersistentShellBackend.h"
#include "support/Error.h"

#include <string>

namespace quillhaven {

class FlyBackendError : public Error {
public:
    enum class Case {
        connectionFailed, // "Connection failed: " + text
        sessionDead,      // "Session dead: " + text
        timeout,          // "Timeout: " + text
        sqliteError,      // "SQLite error: " + text
        parseFailed,      // "Parse failed: " + text
        statementRefused, // "Statement refused: " + text
    };
    FlyBackendError(Case c, const std::string& text);
    Case errorCase() const { return case_; }
    const std::string& text() const { return text_; }

private:
    Case case_;
    std::string text_;
};

// The Backend for Fly.io: one long-lived `fly ssh console -a APP -C CMD` child whose
// remote command is an interactive sqlite3 shell on dbPath. The shell runs in safe mode
// where it has one, opens the file read-only for a read-only connection, and never creates
// a missing file. Log category "FlyBackend".
class FlyBackend : public PersistentShellBackend {
public:
    static constexpr const char* installHint = "https://fly.io/docs/flyctl/install/";

    FlyBackend(std::string app, std::string dbPath, double timeout = 30, bool readOnly = false);

    const std::string& app() const { return app_; }
    const std::string& dbPath() const { return dbPath_; }

    // The command run on the application's machine.
    static std::string remoteCommand(const std::string& dbPath, bool readOnly);
    // Drops the tool's own lines ("Connecting to ...", "Warning: ...") and blank lines.
    static std::string filterFlyMessages(std::string_view text);

protected:
    ChildProcess::Options launchOptions() override;
    void logConnecting() const override;
    std::string filterErrors(std::string_view errors) const override;
    [[noreturn]] void fail(Failure kind, const std::string& text) const override;

private:
    const std::string app_;
    const std::string dbPath_;
    const bool readOnly_;
};

} // namespace quillhaven

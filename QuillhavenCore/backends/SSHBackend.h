#pragma once

#include "backends/Backend.h"
#include "backends/SSHSession.h"
#include "connections/Connection.h"
#include "support/Error.h"
#include "support/Logger.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace quillhaven {

class SSHBackendError : public Error {
public:
    enum class Kind {
        connectionFailed,
        authenticationFailed,
        commandFailed,
        timeout,
        sessionDead,
        sqliteError,
        parseFailed,
        statementRefused // the text would reach the shell as something other than SQL
    };
    SSHBackendError(Kind kind, const std::string& text);
    Kind kind() const { return kind_; }
    const std::string& text() const { return text_; }

private:
    Kind kind_;
    std::string text_;
};

// Where an SSHBackend finds its secret when it connects.
class SSHCredentials {
public:
    enum class Source { storedPassword, storedKey, password, privateKey, agent };

    // The saved connection's password or private key, read from the secret store.
    static SSHCredentials stored(SSHAuthMethod method, std::string connectionId);
    // A secret that does not come from the store (ad-hoc targets of the command line).
    static SSHCredentials password(std::string password);
    static SSHCredentials privateKey(std::string keyFileBytes);
    static SSHCredentials agent();

    Source source() const { return source_; }
    const std::string& connectionId() const { return connectionId_; }
    const std::string& secret() const { return secret_; }

private:
    Source source_ = Source::agent;
    std::string connectionId_;
    std::string secret_;
};

// Runs every statement as one remote `sqlite3 -json` on its own exec channel of one
// authenticated SSH connection. Every operation holds the backend's mutex for its whole run
// and does its SSH work on the calling thread, bounded by `timeout` (5 seconds for close).
class SSHBackend : public Backend {
public:
    // A saved connection: the secret is read from the store under connectionId.
    SSHBackend(std::string hostname, std::uint16_t port, std::string username,
               SSHAuthMethod authMethod, std::string connectionId, std::string dbPath,
               double timeout, bool readOnly = false);
    // Any target with a secret given directly (key file bytes, the ssh-agent, a password).
    SSHBackend(std::string hostname, std::uint16_t port, std::string username,
               SSHCredentials credentials, std::string dbPath, double timeout,
               bool readOnly = false);
    ~SSHBackend() override;

    void connect() override;
    std::optional<QueryResult> execute(const std::string& sql) override;
    void close() override;
    bool isAlive() override;

private:
    void connectLocked();
    std::optional<QueryResult> executeLocked(const std::string& sql);
    void closeLocked();
    SSHAuth buildAuthMethod() const;
    std::string statementCommand(const std::string& body) const;

    const std::string hostname_;
    const std::uint16_t port_;
    const std::string username_;
    const SSHCredentials credentials_;
    const std::string dbPath_;
    const double timeout_;
    const bool readOnly_;

    std::mutex mutex_;
    std::unique_ptr<SSHSession> session_;
    std::optional<SSHAuth> cachedAuth_;
    bool connected_ = false;
    bool safeMode_ = false; // the remote sqlite3 understands -safe
    Logger logger_{"SSHBackend"};
};

} // namespace quillhaven

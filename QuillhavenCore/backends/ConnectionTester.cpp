#include "backends/ConnectionTester.h"

#include "backends/SSHSession.h"
#include "support/Text.h"

namespace quillhaven::ConnectionTester {
namespace {

constexpr double testSeconds = 30;

TestResult result(TestResult::Kind kind, std::string message) {
    return TestResult{kind, std::move(message)};
}

SSHAuth buildKeyAuthMethod(const std::string& keyString) {
    SSHPrivateKey key = SSHPrivateKey::parse(keyString);
    if (key.type() == SSHPrivateKey::Type::other) {
        throw SSHClientError(SSHClientError::Kind::key, "Unsupported key type: " + key.typeName());
    }
    return SSHAuth::withKey(std::move(key));
}

// Throws SSHClientError only for a timeout; every other failure is a result.
TestResult performSSHTest(const std::string& hostname, std::uint16_t port,
                          const std::string& username, const std::optional<std::string>& password,
                          const std::optional<std::string>& keyData, const std::string& dbPath,
                          const Deadline& deadline) {
    using Kind = TestResult::Kind;
    SSHAuth auth;
    if (keyData && text::isValidUTF8(*keyData)) {
        try {
            auth = buildKeyAuthMethod(*keyData);
        } catch (const Error& e) {
            return result(Kind::sshFailed, std::string("Failed to parse SSH key: ") + e.what());
        }
    } else if (password) {
        auth = SSHAuth::withPassword(*password);
    } else {
        return result(Kind::sshFailed, "No password or SSH key provided for authentication");
    }

    std::unique_ptr<SSHSession> session;
    try {
        session = SSHSession::open({hostname, port, username}, auth, deadline);
    } catch (const SSHClientError& e) {
        if (e.kind() == SSHClientError::Kind::timeout) throw;
        return result(Kind::sshFailed, std::string("SSH connection failed: ") + e.what());
    }

    std::string quoted = text::shellQuote(dbPath);
    SSHSession::CommandOutput out;
    try {
        out = session->run("test -f " + quoted + " && sqlite3 " + quoted +
                               " \"SELECT name FROM sqlite_master LIMIT 1\"",
                           deadline);
    } catch (const SSHClientError& e) {
        if (e.kind() == SSHClientError::Kind::timeout) throw;
        return result(Kind::queryFailed, std::string("Command execution failed: ") + e.what());
    }
    session->disconnect();

    if (out.exitStatus == 0) {
        std::string tables = text::trimWhitespace(text::repairUTF8(out.out));
        return result(Kind::success, "Connected to " + hostname + ":" + std::to_string(port) +
                                         " and queried " + dbPath + " successfully. Tables: " +
                                         (tables.empty() ? "(none)" : tables));
    }
    if (out.exitStatus == 1) {
        return result(Kind::dbNotFound, "SSH connected but database not found at " + dbPath);
    }
    if (out.exitStatus == -1) {
        return result(Kind::queryFailed,
                      "Command execution failed: The command ended without an exit status");
    }
    std::string status = std::to_string(out.exitStatus);
    std::string description = "Command failed with exit code " + status;
    if (std::string err = text::trimWhitespace(text::repairUTF8(out.err)); !err.empty()) {
        description += ": " + err;
    }
    return result(Kind::queryFailed, "Database query failed (exit " + status + "): " + description);
}

} // namespace

TestResult testSSH(const std::string& hostname, std::uint16_t port, const std::string& username,
                   const std::optional<std::string>& password,
                   const std::optional<std::string>& keyData, const std::string& dbPath) {
    // The whole test shares one deadline, kept on this thread: nothing is left running.
    try {
        return performSSHTest(hostname, port, username, password, keyData, dbPath,
                              Deadline::after(testSeconds));
    } catch (const SSHClientError&) {
        return result(TestResult::Kind::sshFailed, "SSH connection timed out after 30 seconds");
    }
}

} // namespace quillhaven::ConnectionTester

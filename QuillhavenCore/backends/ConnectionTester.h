#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillhaven {

// The outcome of a connection test, with its message for the user.
struct TestResult {
    enum class Kind { success, sshFailed, dbNotFound, queryFailed };
    Kind kind;
    std::string message;

    bool operator==(const TestResult&) const = default;
};

// One-shot checks of the details typed into the connection editor: each opens its own
// short-lived SSH connection or `fly` child, runs one probe through sqlite3 and tears
// everything down. Both block the calling thread (at most about 30 seconds per attempt).
namespace ConnectionTester {

// keyData: the private key file's bytes; used when present and valid UTF-8, else password.
TestResult testSSH(const std::string& hostname, std::uint16_t port, const std::string& username,
                   const std::optional<std::string>& password,
                   const std::optional<std::string>& keyData, const std::string& dbPath);

// Retried once after 5 seconds when the first attempt cannot reach the application.
TestResult testFly(const std::string& app, const std::string& dbPath);

} // namespace ConnectionTester
} // namespace quillhaven

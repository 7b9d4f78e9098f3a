#include "backends/ConnectionTester.h"

#include "backends/FlyBackend.h"
#include "backends/ProcessHelper.h"
#include "backends/SQLiteShellCommand.h"
#include "backends/SSHSession.h"
#include "support/ChildProcess.h"
#include "support/Text.h"

#include <thread>

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

// Empty when the bytes are not valid UTF-8.
std::string decodedOrEmpty(const std::string& bytes) {
    return text::isValidUTF8(bytes) ? text::trimWhitespace(bytes) : std::string();
}

TestResult runFlyTest(const std::string& app, const std::string& dbPath) {
    using Kind = TestResult::Kind;
    using Clock = ChildProcess::Clock;
    // Read-only URI: probing a path that does not exist must not create an empty database.
    std::string command =
        "sqlite3 " + text::shellQuote(sqliteshell::databaseURI(dbPath, true)) + " 'SELECT 1'";
    auto fly = ProcessHelper::findBinary("fly");
    if (!fly) {
        return result(Kind::sshFailed,
                      std::string("'fly' CLI not found. Install from ") + FlyBackend::installHint);
    }
    ChildProcess::Options options;
    options.program = *fly;
    options.arguments = {"ssh", "console", "-a", app, "-C", command};
    options.environment = ProcessHelper::expandedEnvironment();
    options.standardInput = ChildProcess::Input::closed;
    options.standardOutput = ChildProcess::Output::collect;
    options.standardError = ChildProcess::Output::collect;
    std::unique_ptr<ChildProcess> child;
    try {
        child = ChildProcess::launch(options);
    } catch (const Error& e) {
        return result(Kind::sshFailed, std::string("Failed to launch fly CLI: ") + e.what());
    }

    auto status = child->wait(Clock::now() + std::chrono::seconds(30));
    if (!status) {
        child->terminateAndWait();
        child->waitForCollectors(Clock::now() + std::chrono::seconds(2));
        std::string err = decodedOrEmpty(child->takeCollectedError());
        return result(Kind::sshFailed,
                      "Connection timed out after 30 seconds. " +
                          (err.empty() ? "The server may be starting up — try again." : err));
    }
    child->waitForCollectors(Clock::now() + std::chrono::seconds(2));
    std::string out = decodedOrEmpty(child->takeCollectedOutput());
    std::string err = decodedOrEmpty(child->takeCollectedError());

    if (status->code != 0) {
        std::string both = text::toLowerASCII(err + " " + out);
        if (both.find("no such file") != std::string::npos ||
            both.find("unable to open database") != std::string::npos) {
            return result(Kind::dbNotFound,
                          "SSH connected but database not found at " + dbPath + ". Error: " + err);
        }
        if (both.find("error") != std::string::npos && both.find("sql") != std::string::npos) {
            return result(Kind::queryFailed, "Database found but query failed. Error: " + err);
        }
        return result(Kind::sshFailed, "fly ssh console failed (exit " +
                                           std::to_string(status->code) +
                                           "): " + (err.empty() ? out : err));
    }
    if (out.find('1') != std::string::npos) {
        return result(Kind::success,
                      "Connected to " + app + " and queried " + dbPath + " successfully");
    }
    return result(Kind::queryFailed, "Unexpected output from SELECT 1: " + out);
}

} // namespace

TestResult testFly(const std::string& app, const std::string& dbPath) {
    TestResult first = runFlyTest(app, dbPath);
    if (first.kind != TestResult::Kind::sshFailed) return first;
    // A stopped machine often wakes during the first attempt.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    return runFlyTest(app, dbPath);
}

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

#pragma once

// Runs one ClientConnection on its own thread over a socketpair; the test speaks to it
// through a wire::Client on the other end.

#include "InProcessSQLiteBackend.h"
#include "WireClient.h"
#include "frontend/ClientConnection.h"

#include <functional>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <thread>

namespace testsupport {

// A backend whose answers the test writes: a function of the statement text.
class ScriptedBackend : public quillhaven::Backend {
public:
    using Script = std::function<std::optional<quillhaven::QueryResult>(const std::string&)>;
    explicit ScriptedBackend(Script script) : script_(std::move(script)) {}

    void connect() override {}
    void close() override {
        std::lock_guard lock(mutex_);
        ++closes_;
    }
    bool isAlive() override { return true; }
    std::optional<quillhaven::QueryResult> execute(const std::string& sql) override {
        {
            std::lock_guard lock(mutex_);
            executed_.push_back(sql);
        }
        return script_(sql);
    }
    std::vector<std::string> executed() const {
        std::lock_guard lock(mutex_);
        return executed_;
    }
    int closes() const {
        std::lock_guard lock(mutex_);
        return closes_;
    }

private:
    Script script_;
    mutable std::mutex mutex_;
    std::vector<std::string> executed_;
    int closes_ = 0;
};

class SessionHarness {
public:
    explicit SessionHarness(
        std::shared_ptr<quillhaven::Backend> backend, bool readOnly = false,
        quillhaven::StatementHooks hooks = quillhaven::StatementHooks::passthrough()) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
            throw std::runtime_error("socketpair failed");
        client = std::make_unique<wire::Client>(sv[0]);
        session = std::make_shared<quillhaven::ClientConnection>(
            sv[1], std::move(backend), readOnly,
            [this](const std::string& sql) {
                std::lock_guard lock(mutex_);
                logged_.push_back(sql);
            },
            std::move(hooks));
        thread_ = std::thread([this] {
            try {
                session->handle();
            } catch (const std::exception& e) {
                failure_ = e.what();
            }
        });
    }
    ~SessionHarness() { finish(); }

    // Closes the client's end, waits for the session and returns handle()'s failure.
    std::optional<std::string> finish() {
        client->close();
        if (thread_.joinable()) thread_.join();
        return failure_;
    }

    std::vector<std::string> logged() const {
        std::lock_guard lock(mutex_);
        return logged_;
    }

    std::unique_ptr<wire::Client> client;
    std::shared_ptr<quillhaven::ClientConnection> session;

private:
    std::thread thread_;
    std::optional<std::string> failure_;
    mutable std::mutex mutex_;
    std::vector<std::string> logged_;
};

} // namespace testsupport

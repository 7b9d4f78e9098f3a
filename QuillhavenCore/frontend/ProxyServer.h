#pragma once

// The local PostgreSQL listener of one running connection: accepts clients on every IPv4
// interface and runs one ClientConnection per client on a thread of its own. All sessions
// share the server's backend.

#include "backends/Backend.h"
#include "frontend/StatementHooks.h"
#include "support/Logger.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace quillhaven {

class ClientConnection;

// What the status callback receives.
struct ProxyServerStatus {
    enum class Kind { error, clientConnected, clientDisconnected, listening, stopped };

    Kind kind = Kind::stopped;
    std::string text; // error: "Bind failed: ..." or "Listen failed: ..."
    long count = 0;   // clientConnected / clientDisconnected: live sessions after the change

    static ProxyServerStatus error(std::string text) { return {Kind::error, std::move(text), 0}; }
    static ProxyServerStatus clientConnected(long n) { return {Kind::clientConnected, {}, n}; }
    static ProxyServerStatus clientDisconnected(long n) {
        return {Kind::clientDisconnected, {}, n};
    }
    static ProxyServerStatus listening() { return {Kind::listening, {}, 0}; }
    static ProxyServerStatus stopped() { return {Kind::stopped, {}, 0}; }

    bool operator==(const ProxyServerStatus&) const = default;
};

class ProxyServer : public std::enable_shared_from_this<ProxyServer> {
public:
    using QueryLogCallback = std::function<void(const std::string&)>;
    // Called on whichever thread the event happens on (see start/stop and the sessions).
    using StatusCallback = std::function<void(const ProxyServerStatus&)>;

    // Create with std::make_shared: the accept loop and the sessions refer back to it.
    // Nothing is opened until start().
    ProxyServer(std::uint16_t port, std::shared_ptr<Backend> backend, bool readOnly,
                QueryLogCallback queryLogCallback, StatusCallback statusCallback,
                StatementHooks hooks = StatementHooks::passthrough());
    ~ProxyServer();
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;

    // Listens on 0.0.0.0:port and starts the accept loop. Throws std::system_error with
    // the errno when the socket cannot be created, bound or put into listening state.
    // Called once per server.
    void start();

    // Stops accepting (the port is closed when it returns), wakes every session so that it
    // ends on its own thread, closes the backend. Never fails; does not wait for sessions.
    void stop() noexcept;

    // Waits until every session thread this server started has finished; false when the
    // time ran out. For a clean process exit after stop(): sessions end on their own
    // threads and may still be logging.
    bool waitForSessions(std::chrono::milliseconds timeout);

    std::uint16_t port() const { return port_; }
    bool isRunning() const { return running_.load(); }

private:
    void acceptLoop();
    void handleNewConnection(int fd);
    void report(const ProxyServerStatus& status) const;

    const std::uint16_t port_;
    std::shared_ptr<Backend> backend_;
    QueryLogCallback queryLogCallback_;
    StatusCallback statusCallback_;
    const bool readOnly_;
    const StatementHooks hooks_;

    std::atomic<int> listenFD_{-1};
    std::atomic<bool> running_{false};
    std::atomic<bool> started_{false};
    std::thread acceptThread_;
    std::mutex acceptThreadMutex_; // guards acceptThread_: start() and stop() may race

    std::mutex connectionLock_;
    std::unordered_map<const ClientConnection*, std::shared_ptr<ClientConnection>>
        activeConnections_;

    // Session threads still running; shared with them, since they may outlive the server.
    struct SessionThreads {
        std::mutex mutex;
        std::condition_variable finished;
        long running = 0;
    };
    std::shared_ptr<SessionThreads> sessionThreads_ = std::make_shared<SessionThreads>();

    Logger logger_{"ProxyServer"};
};

} // namespace quillhaven

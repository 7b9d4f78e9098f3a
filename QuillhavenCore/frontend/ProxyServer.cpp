#include "frontend/ProxyServer.h"

#include "frontend/ClientConnection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quillhaven {
namespace {

std::string systemText(int error) {
    return std::generic_category().message(error);
}

} // namespace

ProxyServer::ProxyServer(std::uint16_t port, std::shared_ptr<Backend> backend, bool readOnly,
                         QueryLogCallback queryLogCallback, StatusCallback statusCallback,
                         StatementHooks hooks)
    : port_(port), backend_(std::move(backend)), queryLogCallback_(std::move(queryLogCallback)),
      statusCallback_(std::move(statusCallback)), readOnly_(readOnly), hooks_(std::move(hooks)) {}

ProxyServer::~ProxyServer() {
    // The accept loop holds the server while it runs, so here it has ended (or never got
    // hold of the server); the last reference may be dropped on its own thread.
    if (acceptThread_.joinable()) {
        if (acceptThread_.get_id() == std::this_thread::get_id())
            acceptThread_.detach();
        else
            acceptThread_.join();
    }
    int fd = listenFD_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

void ProxyServer::report(const ProxyServerStatus& status) const {
    if (!statusCallback_) return;
    try {
        statusCallback_(status);
    } catch (...) {
        // A failing receiver must not take the accept loop or a session down with it.
    }
}

void ProxyServer::start() {
    if (started_.exchange(true))
        throw std::system_error(EALREADY, std::generic_category(), "Proxy server already started");

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "Socket failed");

    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port_);
    // Bind and listen failures are logged and reported as well as thrown.
    auto fail = [&](const char* format, const char* what) {
        int error = errno;
        ::close(fd);
        std::string text = systemText(error);
        logger_.error(format, text);
        report(ProxyServerStatus::error(std::string(what) + ": " + text));
        throw std::system_error(error, std::generic_category(), what);
    };
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
        fail("Bind failed: %s", "Bind failed");
    if (::listen(fd, 128) < 0) fail("Listen failed: %s", "Listen failed");

    listenFD_ = fd;
    running_ = true;
    logger_.info("Proxy server listening on port %hu", port_);
    report(ProxyServerStatus::listening());

    std::weak_ptr<ProxyServer> weak = weak_from_this();
    std::thread loop([weak] {
        if (auto server = weak.lock()) server->acceptLoop();
    });
    std::lock_guard threadLock(acceptThreadMutex_);
    acceptThread_ = std::move(loop);
}

void ProxyServer::acceptLoop() {
    while (running_) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd =
            ::accept4(listenFD_.load(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd >= 0) {
            handleNewConnection(fd);
            continue;
        }
        int error = errno;
        if (!running_) break; // stop() shut the listening socket down
        logger_.error("Accept failed: %s", systemText(error));
        // Out of descriptors or memory, accept fails again at once until a session ends:
        // pause briefly instead of spinning a core and flooding the log.
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void ProxyServer::handleNewConnection(int fd) {
    logger_.info("New connection accepted (fd=%d)", fd);
    // Answers are a few small messages written one after another; with Nagle's algorithm
    // the later ones wait for the client's delayed ACK, some 40 ms per statement.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto session =
        std::make_shared<ClientConnection>(fd, backend_, readOnly_, queryLogCallback_, hooks_);
    long count;
    {
        std::lock_guard lock(connectionLock_);
        activeConnections_[session.get()] = session;
        count = static_cast<long>(activeConnections_.size());
    }
    report(ProxyServerStatus::clientConnected(count));

    // The session thread holds the session, and the server only weakly: a server dropped
    // after stop() must not wait for its clients.
    std::weak_ptr<ProxyServer> weak = weak_from_this();
    auto finish = [weak, fd](const ClientConnection* key,
                             const std::optional<std::string>& failure) {
        auto server = weak.lock();
        if (!server) return;
        if (failure) server->logger_.error("Connection handler error: %s", *failure);
        std::shared_ptr<ClientConnection> removed; // released outside the lock
        long remaining;
        {
            std::lock_guard lock(server->connectionLock_);
            auto it = server->activeConnections_.find(key);
            if (it != server->activeConnections_.end()) {
                removed = std::move(it->second);
                server->activeConnections_.erase(it);
            }
            remaining = static_cast<long>(server->activeConnections_.size());
        }
        server->report(ProxyServerStatus::clientDisconnected(remaining));
        server->logger_.info("Connection closed (fd=%d), %ld remaining", fd, remaining);
    };
    auto threads = sessionThreads_;
    {
        std::lock_guard lock(threads->mutex);
        ++threads->running;
    }
    try {
        std::thread([session, finish, threads]() mutable {
            std::optional<std::string> failure;
            try {
                session->handle();
            } catch (const std::exception& e) {
                failure = e.what();
            } catch (...) {
                failure = "Unknown error";
            }
            finish(session.get(), failure);
            session.reset();
            std::lock_guard lock(threads->mutex);
            --threads->running;
            threads->finished.notify_all();
        }).detach();
    } catch (const std::system_error& e) {
        // No thread for this client: drop it like a session that failed at once.
        {
            std::lock_guard lock(threads->mutex);
            --threads->running;
        }
        const ClientConnection* key = session.get();
        session.reset();
        finish(key, std::string(e.what()));
    }
}

bool ProxyServer::waitForSessions(std::chrono::milliseconds timeout) {
    std::unique_lock lock(sessionThreads_->mutex);
    return sessionThreads_->finished.wait_for(lock, timeout,
                                              [this] { return sessionThreads_->running == 0; });
}

void ProxyServer::stop() noexcept {
    running_ = false;

    // Shut the listener down so that a blocked accept returns, let the loop end, and only
    // then close the descriptor: the loop never sees a number that may have been reused.
    if (int fd = listenFD_.load(); fd >= 0) ::shutdown(fd, SHUT_RDWR);
    std::thread loop;
    {
        std::lock_guard threadLock(acceptThreadMutex_);
        loop = std::move(acceptThread_);
    }
    if (loop.joinable()) {
        // Called from a status report on the accept thread itself: the loop ends as soon
        // as the report returns, without touching the listener again.
        if (loop.get_id() == std::this_thread::get_id())
            loop.detach();
        else
            loop.join();
    }
    if (int fd = listenFD_.exchange(-1); fd >= 0) ::close(fd);

    decltype(activeConnections_) sessions;
    {
        std::lock_guard lock(connectionLock_);
        sessions.swap(activeConnections_);
    }
    // Each session closes its own descriptor when its blocked read fails.
    for (auto& [key, session] : sessions) session->shutdownSocket();
    sessions.clear();

    try {
        backend_->close();
    } catch (...) {
    }
    report(ProxyServerStatus::stopped());
    logger_.info("Proxy server stopped");
}

} // namespace quillhaven

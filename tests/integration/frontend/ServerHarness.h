#pragma once

// A ProxyServer on a free loopback port with the status reports it made, and raw TCP
// clients for it.

#include "SessionHarness.h"
#include "TestSupport.h"
#include "frontend/ProxyServer.h"

#include <chrono>
#include <condition_variable>
#include <netinet/in.h>

namespace testsupport {

class StatusRecorder {
public:
    void operator()(const quillhaven::ProxyServerStatus& status) {
        std::lock_guard lock(mutex_);
        statuses_.push_back(status);
        changed_.notify_all();
    }
    std::vector<quillhaven::ProxyServerStatus> statuses() const {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    // Waits (at most 10 s) until `count` reports equal to `status` have arrived.
    bool waitFor(const quillhaven::ProxyServerStatus& status, std::size_t count = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            return static_cast<std::size_t>(
                       std::count(statuses_.begin(), statuses_.end(), status)) >= count;
        });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<quillhaven::ProxyServerStatus> statuses_;
};

// Waits (at most 5 s) for a log line that satisfies `matches`; reports come before the
// lines that follow them, so a test waits for the line itself.
template <class Predicate> bool waitForLog(const LogCapture& logs, Predicate matches) {
    for (int i = 0; i < 500; ++i) {
        for (const auto& r : logs.records())
            if (matches(r)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A TCP connection to 127.0.0.1:port; -1 with errno set when it fails.
inline int tcpConnect(unsigned short port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

struct ServerHarness {
    explicit ServerHarness(std::shared_ptr<quillhaven::Backend> backend, bool readOnly = false)
        : port(freePort()), backend(std::move(backend)) {
        server = std::make_shared<quillhaven::ProxyServer>(
            port, this->backend, readOnly, [](const std::string&) {},
            [recorder = recorder](const quillhaven::ProxyServerStatus& s) { (*recorder)(s); });
        server->start();
    }
    ~ServerHarness() {
        if (server) server->stop();
    }

    std::unique_ptr<wire::Client> connect() {
        int fd = tcpConnect(port);
        if (fd < 0) throw std::runtime_error("connect failed");
        return std::make_unique<wire::Client>(fd);
    }

    unsigned short port;
    std::shared_ptr<quillhaven::Backend> backend;
    // Shared with the callback, so late reports from winding-down sessions stay safe.
    std::shared_ptr<StatusRecorder> recorder = std::make_shared<StatusRecorder>();
    std::shared_ptr<quillhaven::ProxyServer> server;
};

} // namespace testsupport

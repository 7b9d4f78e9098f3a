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

// The log lines of the whole test program. Sessions end on their own threads and may log
// after a test has finished, so this receiver is never removed; a test reads the lines
// logged since its start.
class TestLog {
public:
    TestLog() : from_(shared().size()) {}

    bool contains(const std::string& category, const std::string& line) const {
        return waitFor([&](const quillhaven::LogRecord& r) {
            return r.category == category && r.revealed == line;
        });
    }
    // Waits (at most 5 s) for a line that satisfies `matches`.
    template <class Predicate> bool waitFor(Predicate matches) const {
        for (int i = 0; i < 500; ++i) {
            for (const auto& r : shared().since(from_))
                if (matches(r)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    struct Lines {
        Lines() {
            quillhaven::Logger::addSink([this](const quillhaven::LogRecord& r) {
                std::lock_guard lock(mutex);
                records.push_back(r);
            });
        }
        std::size_t size() const {
            std::lock_guard lock(mutex);
            return records.size();
        }
        std::vector<quillhaven::LogRecord> since(std::size_t from) const {
            std::lock_guard lock(mutex);
            return {records.begin() + static_cast<std::ptrdiff_t>(from), records.end()};
        }
        mutable std::mutex mutex;
        std::vector<quillhaven::LogRecord> records;
    };
    static Lines& shared() {
        static Lines* lines = new Lines; // never destroyed: late lines still have a home
        return *lines;
    }
    std::size_t from_;
};

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
        if (!server) return;
        server->stop();
        server->waitForSessions(std::chrono::seconds(10));
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

#pragma once

// Small helpers shared by the test programs: temporary folders, free loopback ports,
// running a shell command and capturing log lines.

#include "support/Logger.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

// A fresh folder under $TMPDIR, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qh-test-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// A TCP port on 127.0.0.1 that was free a moment ago (the kernel's pick).
inline unsigned short freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

struct CommandResult {
    int exitCode = -1;
    std::string output; // standard output and standard error together
};

// Runs a /bin/sh command line and waits for it.
inline CommandResult run(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Collects the log lines (with every argument shown) while it lives.
class LogCapture {
public:
    LogCapture() {
        token_ = quillhaven::Logger::addSink([this](const quillhaven::LogRecord& r) {
            std::lock_guard lock(mutex_);
            records_.push_back(r);
        });
    }
    ~LogCapture() { quillhaven::Logger::removeSink(token_); }
    std::vector<quillhaven::LogRecord> records() const {
        std::lock_guard lock(mutex_);
        return records_;
    }
    bool contains(const std::string& category, const std::string& line) const {
        std::lock_guard lock(mutex_);
        for (const auto& r : records_)
            if (r.category == category && r.revealed == line) return true;
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<quillhaven::LogRecord> records_;
    int token_ = 0;
};

} // namespace testsupport

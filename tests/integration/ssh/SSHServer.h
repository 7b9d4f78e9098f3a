#pragma once

// A private OpenSSH server on 127.0.0.1 for the SSH tests: its own host key, the test user
// "sqtest" with a password and keys of every supported type. Started and stopped by pid.

#include "TestSupport.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sshtest {

inline const std::string user = "sqtest";
inline const std::string password = "Secr3t-pw";

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every process below pid, deepest first (the server's sessions and what they run).
inline std::vector<pid_t> descendants(pid_t pid) {
    std::vector<std::pair<pid_t, pid_t>> all; // (pid, parent)
    if (DIR* d = opendir("/proc")) {
        while (dirent* e = readdir(d)) {
            pid_t p = std::atoi(e->d_name);
            if (p <= 0) continue;
            std::string stat = readFile("/proc/" + std::string(e->d_name) + "/stat");
            auto close = stat.rfind(')');
            if (close == std::string::npos) continue;
            char state;
            int parent = 0;
            if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2)
                all.emplace_back(p, parent);
        }
        closedir(d);
    }
    std::vector<pid_t> found{pid};
    for (std::size_t i = 0; i < found.size(); ++i)
        for (auto [p, parent] : all)
            if (parent == found[i]) found.push_back(p);
    found.erase(found.begin());
    return {found.rbegin(), found.rend()};
}

class SSHServer {
public:
    // Prepares keys and configuration; skips (available() false) when the test user cannot
    // be created (not root).
    SSHServer() {
        auto setup = testsupport::run(std::string(QUILLHAVEN_FIXTURES) + "/ssh/setup-user " + user +
                                      " " + password);
        if (setup.exitCode != 0) {
            skipReason_ = setup.output;
            return;
        }
        ::chmod(dir_.path().c_str(), 0755);
        port_ = testsupport::freePort();
        auto prepare = testsupport::run(std::string(QUILLHAVEN_FIXTURES) + "/ssh/prepare-sshd " +
                                        dir_ / "server" + " " + std::to_string(port_) + " " + user);
        if (prepare.exitCode != 0) throw std::runtime_error("prepare-sshd: " + prepare.output);
        std::string dbDir = dir_ / "db";
        ::mkdir(dbDir.c_str(), 0777);
        ::chmod(dbDir.c_str(), 01777);
        start();
    }
    ~SSHServer() { stop(); }

    bool available() const { return skipReason_.empty(); }
    const std::string& skipReason() const { return skipReason_; }
    unsigned short port() const { return port_; }
    std::string keyFile(const std::string& name) const { return dir_ / ("server/" + name); }
    std::string key(const std::string& name) const { return readFile(keyFile(name)); }
    std::string hostPublicKey() const { return readFile(dir_ / "server/host_ed25519.pub"); }
    std::string dbDir() const { return dir_ / "db"; }

    // A database owned by the test user, filled by the given SQL through the local shell.
    std::string makeDatabase(const std::string& name, const std::string& sql) const {
        std::string path = dbDir() + "/" + name;
        std::string quoted = "'" + replaceAll(path, "'", "'\\''") + "'";
        auto r = testsupport::run("sqlite3 " + quoted + " \"" + sql + "\" && chown " + user + " " +
                                  quoted);
        if (r.exitCode != 0) throw std::runtime_error("sqlite3: " + r.output);
        return path;
    }

    void start() {
        pid_ = ::fork();
        if (pid_ == 0) {
            std::string cfg = dir_ / "server/sshd_config", log = dir_ / "server/sshd.log";
            ::execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-f", cfg.c_str(), "-E", log.c_str(),
                    (char*)nullptr);
            ::_exit(127);
        }
        // Ready once it accepts a connection.
        for (int i = 0; i < 200; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(port_);
            bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            ::close(fd);
            if (ok) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        throw std::runtime_error("sshd did not start: " + readFile(dir_ / "server/sshd.log"));
    }

    // Stops the server and every session it runs.
    void stop() {
        if (pid_ <= 0) return;
        for (pid_t p : descendants(pid_)) ::kill(p, SIGKILL);
        ::kill(pid_, SIGTERM);
        int status;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    void restart() {
        stop();
        start();
    }

    static std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
        for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
            s.replace(at, from.size(), to);
        return s;
    }

private:
    testsupport::TempDir dir_;
    std::string skipReason_;
    unsigned short port_ = 0;
    pid_t pid_ = -1;
};

// One server for the whole program; HOME and XDG_DATA_HOME point into a private folder so
// that remembered host keys never touch the real user's files.
class SSHEnvironment : public ::testing::Environment {
public:
    static SSHServer& server() { return *server_; }
    static std::string home() { return home_->path().string(); }

    void SetUp() override {
        home_ = new testsupport::TempDir;
        ::setenv("HOME", (home_->path() / "home").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home_->path() / "data").c_str(), 1);
        ::unsetenv("SSH_AUTH_SOCK");
        server_ = new SSHServer;
    }
    void TearDown() override {
        delete server_;
        delete home_;
    }

private:
    static inline SSHServer* server_ = nullptr;
    static inline testsupport::TempDir* home_ = nullptr;
};

#define REQUIRE_SSH_SERVER()                                                                       \
    if (!sshtest::SSHEnvironment::server().available())                                            \
    GTEST_SKIP() << sshtest::SSHEnvironment::server().skipReason()

} // namespace sshtest

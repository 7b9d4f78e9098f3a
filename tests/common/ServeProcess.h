#pragma once

// Runs `quillhaven-cli serve ...` as a child process for end-to-end tests: its standard
// output and error go to a file that the test can read; the process is stopped (SIGTERM,
// then SIGKILL) when the object goes.

#include "TestSupport.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace testsupport {

inline std::string cliPath() {
    return std::string(QUILLHAVEN_BINARY_DIR) + "/tools/quillhaven-cli";
}

class ServeProcess {
public:
    // args are the words after `quillhaven-cli`; env entries ("NAME=value") are added to
    // this process's environment for the child.
    // wrapper words, if any, come before the program (e.g. {"prlimit", "--nofile=24:24"}).
    ServeProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                 const std::vector<std::string>& wrapper = {})
        : logPath_(dir_ / "serve.log") {
        std::vector<std::string> argv = wrapper;
        argv.push_back(cliPath());
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
        envStrings.insert(envStrings.end(), env.begin(), env.end());
        envStrings.emplace_back("QUILLHAVEN_LOG_PRIVATE=1");
        std::vector<char*> cenv;
        for (auto& e : envStrings) cenv.push_back(e.data());
        cenv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, logPath_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawnp(&pid_, cargv[0], &actions, nullptr, cargv.data(), cenv.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }

    ~ServeProcess() {
        if (pid_ > 0 && !exitCode_) {
            ::kill(pid_, SIGTERM);
            if (!waitForExit(std::chrono::seconds(10))) {
                ::kill(pid_, SIGKILL);
                waitForExit(std::chrono::seconds(5));
            }
        }
    }

    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    pid_t pid() const { return pid_; }

    std::string output() const {
        std::ifstream in(logPath_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // True once `needle` shows in the output; false if the process ended or time ran out.
    bool waitForOutput(const std::string& needle,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (output().find(needle) != std::string::npos) return true;
            if (exited()) return output().find(needle) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    bool exited() {
        if (exitCode_) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        return false;
    }

    bool waitForExit(std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (exited()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // The exit code, or 128 + signal; nothing while running.
    std::optional<int> exitCode() {
        exited();
        return exitCode_;
    }

    void signal(int sig) { ::kill(pid_, sig); }

private:
    TempDir dir_;
    std::string logPath_;
    pid_t pid_ = -1;
    std::optional<int> exitCode_;
};

// `psql` against a local port: unaligned, tuples only, no .psqlrc, bounded in time.
inline CommandResult psql(unsigned short port, const std::string& sql,
                          const std::string& extra = "-At") {
    std::string quoted = "'";
    for (char c : sql) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    return run("PGCONNECT_TIMEOUT=10 timeout 30 psql -X " + extra + " -h 127.0.0.1 -p " +
               std::to_string(port) + " -U any -d any -c " + quoted);
}

// Runs a psycopg 3 script with Debian's interpreter (the one that has psycopg), bounded in
// time. `body` runs inside `with psycopg.connect(...) as c:` to the local port; indent each
// of its lines by four spaces. The script is written to `scriptPath`.
inline CommandResult psycopg(unsigned short port, const std::string& scriptPath,
                             const std::string& body) {
    std::ofstream(scriptPath) << "import psycopg\n"
                                 "with psycopg.connect(host='127.0.0.1', port="
                              << port << ", user='any', dbname='any', connect_timeout=10) as c:\n"
                              << body;
    return run("timeout 30 /usr/bin/python3 " + scriptPath);
}

} // namespace testsupport

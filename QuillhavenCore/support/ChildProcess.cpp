#include "support/ChildProcess.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace quillhaven {
namespace {

using Clock = ChildProcess::Clock;

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Milliseconds left until the deadline, rounded up, for poll().
int remainingMs(Clock::time_point deadline) {
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
}

// Waits until fd is ready for events or the deadline passes. True when ready.
bool pollUntil(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, remainingMs(deadline));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return true; // let the read or write report the problem
    }
}

ChildProcess::ReadResult readOnce(int fd, std::string& into, Clock::time_point deadline) {
    if (fd < 0) return ChildProcess::ReadResult::failed;
    if (!pollUntil(fd, POLLIN, deadline)) return ChildProcess::ReadResult::timedOut;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            return ChildProcess::ReadResult::data;
        }
        if (n == 0) return ChildProcess::ReadResult::endOfFile;
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return ChildProcess::ReadResult::timedOut;
        return ChildProcess::ReadResult::failed;
    }
}

// Gathers one output stream on its own thread until end of file or until stopped.
class Collector {
public:
    explicit Collector(int fd) : fd_(fd) {
        if (::pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
        thread_ = std::thread([this] { run(); });
    }
    ~Collector() {
        if (wake_[1] >= 0) {
            char c = 0;
            [[maybe_unused]] auto n = ::write(wake_[1], &c, 1);
        }
        thread_.join();
        closeFd(wake_[0]);
        closeFd(wake_[1]);
        closeFd(fd_);
    }
    std::string take() {
        std::lock_guard lock(mutex_);
        return std::exchange(data_, {});
    }
    bool waitDone(Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        return done_cv_.wait_until(lock, deadline, [this] { return done_; });
    }

private:
    void run() {
        char buffer[65536];
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            int r = ::poll(p, wake_[0] >= 0 ? 2 : 1, -1);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || (p[1].revents & POLLIN)) break;
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            std::lock_guard lock(mutex_);
            data_.append(buffer, static_cast<std::size_t>(n));
        }
        std::lock_guard lock(mutex_);
        done_ = true;
        done_cv_.notify_all();
    }

    int fd_;
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable done_cv_;
    std::string data_;
    bool done_ = false;
    std::thread thread_;
};

ChildProcess::ExitStatus decodeStatus(int status) {
    ChildProcess::ExitStatus s;
    if (WIFEXITED(status)) {
        s.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        s.signal = WTERMSIG(status);
    }
    return s;
}

// Pipe whose parent end is returned in parentFd and child end in childFd; both close-on-exec
// (posix_spawn's dup2 onto 0, 1 or 2 clears the flag for the child's copy only).
void makePipe(int& parentFd, int& childFd, bool parentWrites) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw ChildProcessError(std::string("Could not create a pipe: ") + std::strerror(errno));
    parentFd = parentWrites ? fds[1] : fds[0];
    childFd = parentWrites ? fds[0] : fds[1];
}

} // namespace

struct ChildProcess::State {
    std::mutex mutex; // guards the reaping and the signals, so a reused pid is never signalled
    pid_t pid = -1;
    int pidfd = -1;
    bool reaped = false;
    ExitStatus status;
    int in = -1, out = -1, err = -1;
    std::unique_ptr<Collector> outCollector, errCollector;
    std::mutex inMutex, outMutex, errMutex;

    // Reaps the child if it has ended. Call with mutex held.
    bool reapLocked() {
        if (reaped) return true;
        int st = 0;
        pid_t r;
        do {
            r = ::waitpid(pid, &st, WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r == pid) {
            status = decodeStatus(st);
        } else if (!(r < 0 && errno == ECHILD)) {
            return false;
        }
        reaped = true; // ECHILD: someone else reaped it; the status is unknown
        closeFd(pidfd);
        return true;
    }

    void signalLocked(int sig) {
        if (reapLocked()) return;
        // The child leads its own process group: reach whatever it started as well.
        ::kill(-pid, sig);
        ::kill(pid, sig);
    }
};

std::unique_ptr<ChildProcess> ChildProcess::launch(const Options& options) {
    auto state = std::make_unique<State>();
    int childIn = -1, childOut = -1, childErr = -1;
    auto cleanup = [&] {
        closeFd(childIn);
        closeFd(childOut);
        closeFd(childErr);
    };

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    try {
        if (options.standardInput == Input::pipe) {
            makePipe(state->in, childIn, true);
            posix_spawn_file_actions_adddup2(&actions, childIn, 0);
        } else {
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        }
        auto setUp = [&](Output mode, int& parentFd, int& childFd, int target) {
            if (mode == Output::discard) {
                posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_WRONLY, 0);
            } else {
                makePipe(parentFd, childFd, false);
                posix_spawn_file_actions_adddup2(&actions, childFd, target);
            }
        };
        setUp(options.standardOutput, state->out, childOut, 1);
        setUp(options.standardError, state->err, childErr, 2);
    } catch (...) {
        cleanup();
        closeFd(state->in);
        closeFd(state->out);
        closeFd(state->err);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        throw;
    }
    // Descriptors opened elsewhere without close-on-exec must not leak into the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    // The child starts with default signal handling (this process ignores SIGPIPE) and an
    // empty signal mask, in a process group of its own.
    sigset_t all, none;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(options.program.c_str()));
    for (const auto& a : options.arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    if (options.environment) {
        for (const auto& e : *options.environment) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
    }
    char** env = options.environment ? envp.data() : environ;

    pid_t pid = -1;
    bool bareName = options.program.find('/') == std::string::npos;
    int rc = bareName
                 ? ::posix_spawnp(&pid, options.program.c_str(), &actions, &attr, argv.data(), env)
                 : ::posix_spawn(&pid, options.program.c_str(), &actions, &attr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    cleanup();
    if (rc != 0) {
        closeFd(state->in);
        closeFd(state->out);
        closeFd(state->err);
        throw ChildProcessError("Could not launch " + options.program + ": " + std::strerror(rc));
    }
    state->pid = pid;
    state->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (state->pidfd >= 0) ::fcntl(state->pidfd, F_SETFD, FD_CLOEXEC);
    if (state->in >= 0) ::fcntl(state->in, F_SETFL, ::fcntl(state->in, F_GETFL) | O_NONBLOCK);
    if (options.standardOutput == Output::collect) {
        state->outCollector = std::make_unique<Collector>(std::exchange(state->out, -1));
    }
    if (options.standardError == Output::collect) {
        state->errCollector = std::make_unique<Collector>(std::exchange(state->err, -1));
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(state)));
}

ChildProcess::ChildProcess(std::unique_ptr<State> state)
    : state_(std::move(state)), pid_(state_->pid) {}

ChildProcess::~ChildProcess() {
    closeInput();
    closeOutput();
    {
        std::lock_guard lock(state_->errMutex);
        closeFd(state_->err);
    }
    // Give a child that ends by itself on end of input a moment before signalling it.
    if (!wait(Clock::now() + std::chrono::milliseconds(100))) terminateAndWait();
    state_->outCollector.reset();
    state_->errCollector.reset();
    std::lock_guard lock(state_->mutex);
    closeFd(state_->pidfd);
}

bool ChildProcess::write(std::string_view data, Clock::time_point deadline) {
    std::lock_guard lock(state_->inMutex);
    int fd = state_->in;
    if (fd < 0) return false;

    // A write to a child that has gone raises SIGPIPE; keep it from this thread and swallow
    // it, whatever the process's own handling of the signal is.
    sigset_t pipeSet, oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    bool wasPending = sigismember(&pending, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);

    bool ok = true;
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            if (pollUntil(fd, POLLOUT, deadline)) continue;
        }
        ok = false;
        break;
    }
    if (!ok && !wasPending) {
        timespec zero{0, 0};
        while (::sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    return ok;
}

void ChildProcess::closeInput() {
    std::lock_guard lock(state_->inMutex);
    closeFd(state_->in);
}

ChildProcess::ReadResult ChildProcess::readOutput(std::string& into, Clock::time_point deadline) {
    std::lock_guard lock(state_->outMutex);
    return readOnce(state_->out, into, deadline);
}

ChildProcess::ReadResult ChildProcess::readError(std::string& into, Clock::time_point deadline) {
    std::lock_guard lock(state_->errMutex);
    return readOnce(state_->err, into, deadline);
}

ChildProcess::ReadResult ChildProcess::readOutputOrError(std::string& output, std::string& error,
                                                         Clock::time_point deadline) {
    std::scoped_lock lock(state_->outMutex, state_->errMutex);
    if (state_->err < 0) return readOnce(state_->out, output, deadline);
    if (state_->out < 0) return ReadResult::failed;
    for (;;) {
        pollfd p[2] = {{state_->out, POLLIN, 0}, {state_->err, POLLIN, 0}};
        int r = ::poll(p, 2, remainingMs(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) return ReadResult::timedOut;
        if (r < 0) return ReadResult::failed;
        if (p[1].revents) {
            auto e = readOnce(state_->err, error, deadline);
            if (e != ReadResult::data) closeFd(state_->err); // end of the error stream
            if (!p[0].revents) return ReadResult::data;
        }
        return readOnce(state_->out, output, deadline);
    }
}

void ChildProcess::drainError(std::string& into) {
    std::lock_guard lock(state_->errMutex);
    auto now = Clock::now();
    while (state_->err >= 0 && readOnce(state_->err, into, now) == ReadResult::data) {
    }
}

ChildProcess::ReadResult ChildProcess::readAllOutput(std::string& into,
                                                     Clock::time_point deadline) {
    std::lock_guard lock(state_->outMutex);
    for (;;) {
        auto r = readOnce(state_->out, into, deadline);
        if (r != ReadResult::data) return r;
    }
}

void ChildProcess::closeOutput() {
    std::lock_guard lock(state_->outMutex);
    closeFd(state_->out);
}

std::string ChildProcess::takeCollectedOutput() {
    return state_->outCollector ? state_->outCollector->take() : std::string();
}

std::string ChildProcess::takeCollectedError() {
    return state_->errCollector ? state_->errCollector->take() : std::string();
}

bool ChildProcess::waitForCollectors(Clock::time_point deadline) {
    bool ok = true;
    if (state_->outCollector) ok = state_->outCollector->waitDone(deadline) && ok;
    if (state_->errCollector) ok = state_->errCollector->waitDone(deadline) && ok;
    return ok;
}

bool ChildProcess::isRunning() {
    std::lock_guard lock(state_->mutex);
    return !state_->reapLocked();
}

std::optional<ChildProcess::ExitStatus> ChildProcess::wait(Clock::time_point deadline) {
    for (;;) {
        int pidfd;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->reapLocked()) return state_->status;
            pidfd = state_->pidfd;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        if (pidfd >= 0) {
            // Readable once the child has ended; only the reaping closes pidfd, under the
            // lock, and only this thread could reap it at this point or we re-check above.
            pollUntil(pidfd, POLLIN, std::min(deadline, Clock::now() + std::chrono::seconds(1)));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

void ChildProcess::terminate() {
    std::lock_guard lock(state_->mutex);
    state_->signalLocked(SIGTERM);
}

void ChildProcess::kill() {
    std::lock_guard lock(state_->mutex);
    state_->signalLocked(SIGKILL);
}

ChildProcess::ExitStatus ChildProcess::terminateAndWait(std::chrono::milliseconds grace) {
    terminate();
    if (auto s = wait(Clock::now() + grace)) return *s;
    kill();
    for (;;) {
        if (auto s = wait(Clock::now() + std::chrono::seconds(1))) return *s;
        kill();
    }
}

std::optional<std::string> findOnPath(std::string_view name, std::optional<std::string_view> path) {
    if (name.empty()) return std::nullopt;
    if (name.find('/') != std::string_view::npos) {
        std::string p(name);
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0)
            return p;
        return std::nullopt;
    }
    std::string folders;
    if (path) {
        folders = *path;
    } else if (const char* env = std::getenv("PATH")) {
        folders = env;
    } else {
        folders = "/usr/bin:/bin";
    }
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        std::string dir = folders.substr(start, end - start);
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + std::string(name);
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

} // namespace quillhaven

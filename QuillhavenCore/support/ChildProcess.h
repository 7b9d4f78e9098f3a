#pragma once

#include "support/Error.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace quillhaven {

// A launch that did not happen (program missing, not executable, out of resources).
class ChildProcessError : public Error {
public:
    using Error::Error;
};

// One child program with pipes to its standard streams, started with posix_spawn.
// Every descriptor this class opens is close-on-exec, and the child gets only its three
// standard streams. The object owns the child: destroying it closes the pipes, ends the
// child if it still runs (SIGTERM, then SIGKILL) and reaps it, so no zombie is left.
// Methods may be called from several threads; reads and writes of one stream should come
// from one thread at a time.
class ChildProcess {
public:
    using Clock = std::chrono::steady_clock;

    enum class Input { pipe, closed };            // closed: the child reads end of file at once
    enum class Output { pipe, collect, discard }; // collect: a reader thread fills a buffer

    struct Options {
        std::string program; // a path, or a bare name looked up on PATH
        std::vector<std::string> arguments;
        std::optional<std::vector<std::string>> environment; // "NAME=value"; none = inherit
        Input standardInput = Input::pipe;
        Output standardOutput = Output::pipe;
        Output standardError = Output::collect;
    };

    // How the child ended.
    struct ExitStatus {
        int code = -1;  // exit code, or -1 when a signal ended it
        int signal = 0; // the signal that ended it, 0 when it exited
        bool exitedNormally() const { return signal == 0; }
    };

    enum class ReadResult { data, endOfFile, timedOut, failed };

    // Launches the child; throws ChildProcessError when it cannot be started.
    static std::unique_ptr<ChildProcess> launch(const Options& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Writes all of data before the deadline. False when the child's input is closed, the
    // child stopped reading (broken pipe) or the deadline passed.
    bool write(std::string_view data, Clock::time_point deadline);
    void closeInput();

    // Appends what is available on a piped stream, waiting for it until the deadline.
    ReadResult readOutput(std::string& into, Clock::time_point deadline);
    ReadResult readError(std::string& into, Clock::time_point deadline);
    // Waits for either piped stream until the deadline and appends what arrives; the result
    // is about standard output (data when anything arrived on either stream). Used where a
    // full error pipe must not stall a child while its output is awaited.
    ReadResult readOutputOrError(std::string& output, std::string& error,
                                 Clock::time_point deadline);
    // Appends what is on a piped stream right now, without waiting (never reads past EOF).
    void drainError(std::string& into);
    // Reads a piped standard output to its end (bounded by the deadline).
    ReadResult readAllOutput(std::string& into, Clock::time_point deadline);
    void closeOutput();

    // For Output::collect streams: the bytes gathered so far, removed from the buffer.
    std::string takeCollectedOutput();
    std::string takeCollectedError();
    // Waits until the collecting readers have seen end of file (or the deadline passed).
    bool waitForCollectors(Clock::time_point deadline);

    bool isRunning();
    // Waits for the child's end up to the deadline; nothing when it still runs.
    std::optional<ExitStatus> wait(Clock::time_point deadline);
    void terminate(); // SIGTERM
    void kill();      // SIGKILL
    // SIGTERM, a grace period, then SIGKILL; always returns with the child reaped.
    ExitStatus terminateAndWait(std::chrono::milliseconds grace = std::chrono::seconds(2));

private:
    struct State;
    explicit ChildProcess(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
    pid_t pid_ = -1;
};

// The first executable file called name in the folders of PATH (or of path when given).
std::optional<std::string> findOnPath(std::string_view name,
                                      std::optional<std::string_view> path = std::nullopt);

} // namespace quillhaven

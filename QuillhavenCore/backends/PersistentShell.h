#pragma once

#include "support/ChildProcess.h"

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillhaven {

// One long-lived interactive sqlite3 shell (directly, or behind a tool that relays its
// streams) driven through pipes. Each answer is framed by a sentinel line the shell prints
// with ".print" after the statement. The sentinel is random per shell, so no statement or
// stored value can forge the end of an answer. Not thread-safe: its owner serialises calls.
class PersistentShell {
public:
    // A failed wait for the sentinel.
    class ReadFailure : public std::runtime_error {
    public:
        enum class Kind { sessionDead, timeout };
        ReadFailure(Kind kind, const std::string& text) : std::runtime_error(text), kind(kind) {}
        const Kind kind;
    };

    explicit PersistentShell(std::chrono::duration<double> timeout);
    ~PersistentShell(); // stops the child
    PersistentShell(const PersistentShell&) = delete;
    PersistentShell& operator=(const PersistentShell&) = delete;

    const std::string& sentinel() const { return sentinel_; }
    std::chrono::duration<double> timeout() const { return timeout_; }

    // Launches the child with piped standard streams; the launch error propagates.
    void start(ChildProcess::Options options);
    bool isStarted() const { return child_ != nullptr; }
    bool isRunning();

    // Writes to the shell's input within the timeout. False when there is no child or it
    // stopped reading.
    bool send(std::string_view input);
    // The lines before the next sentinel line, joined with line feeds (carriage returns at
    // line ends dropped). Throws ReadFailure; bytes already read stay buffered.
    std::string readUntilSentinel();
    // The same lines handed over one by one as they arrive, within the same timeout; bytes
    // already read and not handed over stay buffered when it throws.
    void readUntilSentinel(const std::function<void(std::string_view line)>& onLine);
    // Error output gathered since the last call (or discardErrors), including what the
    // child wrote before the sentinel.
    std::string takeErrors();
    void discardErrors();

    // ".quit", closes the pipes, and ends the child (terminating it if it lingers).
    void stop();

private:
    std::chrono::duration<double> timeout_;
    std::string sentinel_;
    std::unique_ptr<ChildProcess> child_;
    std::string stdoutBuffer_; // bytes read but not yet consumed as whole lines
    std::string errors_;
};

} // namespace quillhaven

#include "backends/PersistentShell.h"

#include <cstdio>
#include <random>
#include <utility>

namespace quillhaven {
namespace {

using Clock = ChildProcess::Clock;

std::string randomSentinel() {
    std::random_device random;
    std::string s = "<<<QUERY_DONE_SENTINEL_";
    char hex[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(random()));
        s += hex;
    }
    return s + ">>>";
}

} // namespace

PersistentShell::PersistentShell(std::chrono::duration<double> timeout)
    : timeout_(timeout), sentinel_(randomSentinel()) {}

PersistentShell::~PersistentShell() {
    stop();
}

void PersistentShell::start(ChildProcess::Options options) {
    stop();
    options.standardInput = ChildProcess::Input::pipe;
    options.standardOutput = ChildProcess::Output::pipe;
    options.standardError = ChildProcess::Output::pipe;
    child_ = ChildProcess::launch(options);
}

bool PersistentShell::isRunning() {
    return child_ && child_->isRunning();
}

bool PersistentShell::send(std::string_view input) {
    if (!child_) return false;
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout_);
    return child_->write(input, deadline);
}

std::string PersistentShell::readUntilSentinel() {
    std::string answer;
    bool anyLine = false;
    readUntilSentinel([&](std::string_view line) {
        // Every line is kept, valid UTF-8 or not: the parser mends raw blob bytes.
        if (anyLine) answer += '\n';
        answer.append(line);
        anyLine = true;
    });
    return answer;
}

void PersistentShell::readUntilSentinel(const std::function<void(std::string_view line)>& onLine) {
    using Kind = ReadFailure::Kind;
    if (!child_) throw ReadFailure(Kind::sessionDead, "No stdout handle");
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout_);
    // Consumed lines are dropped from the front now and then, not after each line: memory
    // stays bounded by this much plus one read while a long answer streams through.
    constexpr std::size_t compactAfter = 1 << 20;

    std::size_t consumed = 0; // lines are taken from the front without moving the rest
    std::size_t searchFrom = 0;
    try {
        for (;;) {
            std::size_t end = stdoutBuffer_.find('\n', searchFrom);
            if (end == std::string::npos) {
                if (consumed >= compactAfter) {
                    stdoutBuffer_.erase(0, consumed);
                    consumed = 0;
                }
                searchFrom = stdoutBuffer_.size();
                if (Clock::now() >= deadline) break;
                auto r = child_->readOutputOrError(stdoutBuffer_, errors_, deadline);
                if (r == ChildProcess::ReadResult::endOfFile ||
                    r == ChildProcess::ReadResult::failed)
                    throw ReadFailure(Kind::sessionDead, "Unexpected EOF on stdout");
                continue;
            }
            std::string_view line(stdoutBuffer_.data() + consumed, end - consumed);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            consumed = searchFrom = end + 1;
            if (line == sentinel_) {
                stdoutBuffer_.erase(0, consumed);
                // The shell wrote any error before the sentinel; collect what is in the pipe.
                child_->drainError(errors_);
                return;
            }
            onLine(line);
        }
    } catch (...) {
        stdoutBuffer_.erase(0, consumed);
        throw;
    }
    stdoutBuffer_.erase(0, consumed);
    long seconds = static_cast<long>(timeout_.count());
    throw ReadFailure(Kind::timeout,
                      "Timed out waiting for sentinel after " + std::to_string(seconds) + "s");
}

std::string PersistentShell::takeErrors() {
    if (child_) child_->drainError(errors_);
    return std::exchange(errors_, {});
}

void PersistentShell::discardErrors() {
    takeErrors();
}

void PersistentShell::stop() {
    if (child_) {
        auto now = Clock::now();
        child_->write(".quit\n", now + std::chrono::seconds(1));
        child_->closeInput();
        child_->closeOutput();
        // A shell that reads ".quit" ends at once; a relay may take a moment to hang up.
        if (!child_->wait(now + std::chrono::milliseconds(500))) child_->terminateAndWait();
        child_.reset();
    }
    stdoutBuffer_.clear();
    errors_.clear();
}

} // namespace quillhaven

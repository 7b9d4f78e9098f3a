#pragma once

#include "backends/Backend.h"
#include "backends/PersistentShell.h"
#include "support/Logger.h"

#include <mutex>
#include <string>

namespace quillhaven {

// A Backend that keeps one sqlite3 shell running (PersistentShell) and sends it every
// statement: switched to JSON once, each statement followed by a sentinel, its error output
// taken as the statement's SQL error. Subclasses say how the shell is started, how their
// errors read and what they log when connecting. One mutex serialises every operation.
class PersistentShellBackend : public Backend {
public:
    ~PersistentShellBackend() override;

    void connect() override;
    std::optional<QueryResult> execute(const std::string& sql) override;
    // Rows reach the sink in batches while the shell prints them; an answer that fits in
    // one batch, or that is not printed as one row per line, is read whole as execute()
    // reads it.
    void executeStreaming(const std::string& sql, ResultSink& sink) override;
    void close() override;
    bool isAlive() override;

protected:
    enum class Failure { connectionFailed, sessionDead, timeout, sqliteError, statementRefused };

    struct LogTexts {
        const char* reconnecting; // no arguments
        const char* established;  // one %ld: milliseconds
    };

    PersistentShellBackend(const std::string& category, double timeoutSeconds, LogTexts texts);

    // The program that ends up running the sqlite3 shell; fails with connectionFailed when
    // it is missing.
    virtual ChildProcess::Options launchOptions() = 0;
    virtual void logConnecting() const = 0;
    // The statement's error text once the relay's own chatter is removed.
    virtual std::string filterErrors(std::string_view errors) const;
    // The text of the connection failure when the shell ended or stalled while starting.
    virtual std::string startFailureText(const std::string& readError,
                                         const std::string& errors) const;
    [[noreturn]] virtual void fail(Failure kind, const std::string& text) const = 0;
    // Throws E with the case named like `kind`: the error types of the shell backends all
    // name these cases.
    template <class E> [[noreturn]] static void throwAs(Failure kind, const std::string& text) {
        using C = typename E::Case;
        switch (kind) {
        case Failure::connectionFailed:
            throw E(C::connectionFailed, text);
        case Failure::timeout:
            throw E(C::timeout, text);
        case Failure::sqliteError:
            throw E(C::sqliteError, text);
        case Failure::statementRefused:
            throw E(C::statementRefused, text);
        case Failure::sessionDead:
            break;
        }
        throw E(C::sessionDead, text);
    }

    // The description an error of this kind and text would have.
    std::string describe(Failure kind, const std::string& text) const;
    const Logger& logger() const { return logger_; }
    double timeoutSeconds() const { return timeoutSeconds_; }
    // The lines of errors, each trimmed of spaces and tabs, without the blank ones and those
    // dropped by the predicate, joined with line feeds.
    static std::string filterLines(std::string_view errors,
                                   bool (*drop)(std::string_view line) = nullptr);

private:
    void connectLocked();
    std::optional<QueryResult> executeLocked(const std::string& sql);
    void executeStreamingLocked(const std::string& sql, ResultSink& sink);
    // Refuses, reconnects when needed and sends the statement; returns when it was sent.
    std::chrono::steady_clock::time_point sendLocked(const std::string& sql,
                                                     const std::string& shortSQL);
    // Raises the statement's SQL error when the shell reported one.
    void checkErrorsLocked(const std::string& shortSQL);
    // The result of a whole answer, logged.
    std::optional<QueryResult> parseWhole(std::string_view answer, const std::string& shortSQL,
                                          std::chrono::steady_clock::time_point start,
                                          long queryMs) const;
    void closeLocked();
    [[noreturn]] void raise(Failure kind, const std::string& text) const;
    [[noreturn]] void readFailed(const PersistentShell::ReadFailure& failure, bool starting);

    std::mutex queue_;
    Logger logger_;
    double timeoutSeconds_;
    LogTexts texts_;
    PersistentShell shell_;
    bool connected_ = false;
};

} // namespace quillhaven

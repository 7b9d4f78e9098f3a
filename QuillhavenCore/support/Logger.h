#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

namespace quillhaven {

enum class LogLevel { debug, info, error };

struct LogRecord {
    std::string category;
    LogLevel level;
    std::string message;  // as the system log shows it: text arguments may read "<private>"
    std::string revealed; // the same line with every argument shown (for tests)
};

// One logger per component category under the subsystem "com.brackwell.quillhaven".
// Formats are printf-style. Text arguments are private values: the log shows them as
// "<private>" unless QUILLHAVEN_LOG_PRIVATE=1; numbers are always shown.
class Logger {
public:
    static constexpr const char* subsystem = "com.brackwell.quillhaven";

    explicit Logger(std::string category);

    template <class... A> void debug(const char* format, const A&... args) const {
        log(LogLevel::debug, format, args...);
    }
    template <class... A> void info(const char* format, const A&... args) const {
        log(LogLevel::info, format, args...);
    }
    template <class... A> void error(const char* format, const A&... args) const {
        log(LogLevel::error, format, args...);
    }

    const std::string& category() const { return category_; }

    // Extra receivers of every record, whatever the level threshold (tests read lines here).
    using Sink = std::function<void(const LogRecord&)>;
    static int addSink(Sink sink);
    static void removeSink(int token);

    // Where the system log goes: journald when asked for and present, standard error
    // otherwise. QUILLHAVEN_LOG_LEVEL (debug, info, error, off) sets the threshold.
    static void useJournal(bool enabled);
    static bool showsPrivate();

private:
    template <class... A> void log(LogLevel level, const char* format, const A&... args) const {
        if (!wanted(level)) return;
        if constexpr (sizeof...(A) == 0) {
            emit(level, format, format);
        } else {
            emit(level, render(format, false, args...), render(format, true, args...));
        }
    }

    template <class T> static auto pass(const T& v, bool reveal) {
        if constexpr (std::is_same_v<T, std::string>) {
            return reveal || showsPrivate() ? v.c_str() : "<private>";
        } else if constexpr (std::is_convertible_v<T, const char*>) {
            return reveal || showsPrivate() ? static_cast<const char*>(v) : "<private>";
        } else {
            static_assert(std::is_arithmetic_v<T>, "log arguments are text or numbers");
            return v;
        }
    }

    template <class... A>
    static std::string render(const char* format, bool reveal, const A&... args) {
        return format_(format, pass(args, reveal)...);
    }

    static bool wanted(LogLevel level);
    static std::string format_(const char* format, ...) __attribute__((format(printf, 1, 2)));
    void emit(LogLevel level, const std::string& message, const std::string& revealed) const;

    std::string category_;
};

} // namespace quillhaven

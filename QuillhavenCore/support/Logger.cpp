#include "support/Logger.h"

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/sinks/systemd_sink.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <vector>

namespace quillhaven {
namespace {

std::atomic<int> sinkCount{0};

struct Registry {
    std::mutex mutex;
    // Held shared while sinks run and exclusively by removeSink, so that once removeSink
    // returns its sink is never called again (a test's capture object may then go away).
    std::shared_mutex sinkUse;
    std::vector<std::pair<int, Logger::Sink>> sinks;
    int nextToken = 1;
    bool journal = false;
    std::map<std::string, std::shared_ptr<spdlog::logger>> loggers;
};

// Never destroyed: detached session threads may still log while the process exits.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

spdlog::level::level_enum threshold() {
    static const spdlog::level::level_enum level = [] {
        const char* v = std::getenv("QUILLHAVEN_LOG_LEVEL");
        if (!v) return spdlog::level::info;
        std::string s(v);
        if (s == "debug") return spdlog::level::debug;
        if (s == "error") return spdlog::level::err;
        if (s == "off") return spdlog::level::off;
        return spdlog::level::info;
    }();
    return level;
}

bool journaldPresent() {
    struct stat st {};
    return ::stat("/run/systemd/journal/socket", &st) == 0;
}

// Called with the registry lock held.
std::shared_ptr<spdlog::logger> systemLogger(Registry& r, const std::string& category) {
    auto it = r.loggers.find(category);
    if (it != r.loggers.end()) return it->second;
    spdlog::sink_ptr sink;
    if (r.journal && journaldPresent()) {
        sink = std::make_shared<spdlog::sinks::systemd_sink_mt>(Logger::subsystem);
    } else {
        sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    }
    auto logger = std::make_shared<spdlog::logger>(category, sink);
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%l%$ [%n] %v");
    logger->set_level(threshold());
    r.loggers.emplace(category, logger);
    return logger;
}

} // namespace

Logger::Logger(std::string category) : category_(std::move(category)) {}

bool Logger::wanted(LogLevel level) {
    if (sinkCount.load(std::memory_order_relaxed) > 0) return true;
    auto spdLevel = level == LogLevel::debug  ? spdlog::level::debug
                    : level == LogLevel::info ? spdlog::level::info
                                              : spdlog::level::err;
    return spdLevel >= threshold();
}

bool Logger::showsPrivate() {
    static const bool show = [] {
        const char* v = std::getenv("QUILLHAVEN_LOG_PRIVATE");
        return v && std::strcmp(v, "1") == 0;
    }();
    return show;
}

std::string Logger::format_(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), format, args);
        out.resize(static_cast<size_t>(n));
    }
    va_end(args);
    return out;
}

void Logger::emit(LogLevel level, const std::string& message, const std::string& revealed) const {
    Registry& r = registry();
    std::shared_lock use(r.sinkUse);
    std::vector<Sink> sinks;
    std::shared_ptr<spdlog::logger> system;
    {
        std::lock_guard lock(r.mutex);
        for (auto& [token, sink] : r.sinks) sinks.push_back(sink);
        system = systemLogger(r, category_);
    }
    auto spdLevel = level == LogLevel::debug  ? spdlog::level::debug
                    : level == LogLevel::info ? spdlog::level::info
                                              : spdlog::level::err;
    system->log(spdLevel, "{}", message);
    if (!sinks.empty()) {
        LogRecord record{category_, level, message, revealed};
        for (auto& sink : sinks) sink(record);
    }
}

int Logger::addSink(Sink sink) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    int token = r.nextToken++;
    r.sinks.emplace_back(token, std::move(sink));
    sinkCount = static_cast<int>(r.sinks.size());
    return token;
}

void Logger::removeSink(int token) {
    Registry& r = registry();
    std::unique_lock use(r.sinkUse);
    std::lock_guard lock(r.mutex);
    std::erase_if(r.sinks, [token](const auto& entry) { return entry.first == token; });
    sinkCount = static_cast<int>(r.sinks.size());
}

void Logger::useJournal(bool enabled) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.journal = enabled;
    r.loggers.clear();
}

} // namespace quillhaven

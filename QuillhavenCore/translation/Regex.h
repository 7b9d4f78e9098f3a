#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

struct pcre2_real_code_8;

namespace quillhaven {

// A compiled PCRE2 pattern in UTF + UCP mode (so \w, \s and \b know Unicode, as the
// translation rules expect), JIT-compiled where the platform allows. Built once and then
// shared read-only by every thread; matching keeps its scratch space per thread. Text that
// is not valid UTF-8 is matched, never refused.
class Regex {
public:
    enum Options : std::uint32_t { none = 0, caseless = 1 };

    // Throws std::logic_error when the pattern does not compile (patterns are constants).
    explicit Regex(const char* pattern, std::uint32_t options = none);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    struct Match {
        std::size_t begin = 0, end = 0;           // the whole match, byte offsets
        std::size_t groupBegin = 0, groupEnd = 0; // capture group 1 (empty when none)
    };

    // The first match that starts at or after `start`. Look-behind and \b see the text
    // before `start`; nothing past subject.size() is seen.
    std::optional<Match> find(std::string_view subject, std::size_t start = 0) const;
    // A match that starts exactly at `start`.
    std::optional<Match> matchAt(std::string_view subject, std::size_t start) const;

private:
    std::optional<Match> run(std::string_view subject, std::size_t start,
                             std::uint32_t matchOptions) const;

    pcre2_real_code_8* code_ = nullptr;
    bool jit_ = false;
};

} // namespace quillhaven

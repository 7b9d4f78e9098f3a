#define PCRE2_CODE_UNIT_WIDTH 8
#include "translation/Regex.h"

#include <memory>
#include <pcre2.h>
#include <stdexcept>
#include <string>

namespace quillhaven {
namespace {

struct MatchDataDeleter {
    void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};

// Room for the whole match and two groups is all the translation patterns need.
pcre2_match_data* threadMatchData() {
    thread_local std::unique_ptr<pcre2_match_data, MatchDataDeleter> data(
        pcre2_match_data_create(3, nullptr));
    return data.get();
}

} // namespace

Regex::Regex(const char* pattern, std::uint32_t options) {
    std::uint32_t flags = PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF;
    if (options & caseless) flags |= PCRE2_CASELESS;
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED, flags,
                          &errorCode, &errorOffset, nullptr);
    if (!code_) {
        PCRE2_UCHAR message[256];
        pcre2_get_error_message(errorCode, message, sizeof message);
        throw std::logic_error(std::string("bad pattern ") + pattern + ": " +
                               reinterpret_cast<const char*>(message));
    }
    jit_ = pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE) == 0;
}

Regex::~Regex() {
    pcre2_code_free(code_);
}

std::optional<Regex::Match> Regex::find(std::string_view subject, std::size_t start) const {
    return run(subject, start, 0);
}

std::optional<Regex::Match> Regex::matchAt(std::string_view subject, std::size_t start) const {
    return run(subject, start, PCRE2_ANCHORED);
}

std::optional<Regex::Match> Regex::run(std::string_view subject, std::size_t start,
                                       std::uint32_t matchOptions) const {
    if (start > subject.size()) return std::nullopt;
    pcre2_match_data* data = threadMatchData();
    auto text = reinterpret_cast<PCRE2_SPTR>(subject.empty() ? "" : subject.data());
    // The JIT fast path does not honour PCRE2_ANCHORED given at match time.
    int rc = jit_ && matchOptions == 0
                 ? pcre2_jit_match(code_, text, subject.size(), start, 0, data, nullptr)
                 : pcre2_match(code_, text, subject.size(), start, matchOptions, data, nullptr);
    if (rc < 0) return std::nullopt; // no match, or a match error: both mean "leave as is"
    PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
    Match m;
    m.begin = ovector[0];
    m.end = ovector[1];
    if (rc > 1 && ovector[2] != PCRE2_UNSET) {
        m.groupBegin = ovector[2];
        m.groupEnd = ovector[3];
    }
    return m;
}

} // namespace quillhaven

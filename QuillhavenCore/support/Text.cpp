#include "support/Text.h"

#include <cstdint>

namespace quillhaven::text {
namespace {

// Decodes one code point at s[i]; returns its length, or 0 when the bytes there are not
// a well-formed UTF-8 sequence (overlongs, surrogates and values past U+10FFFF included).
std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        cp = b;
        return 1;
    }
    std::size_t len;
    char32_t min;
    if ((b & 0xE0) == 0xC0) {
        len = 2, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4, cp = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

bool isSpace(char32_t c) {
    switch (c) {
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

} // namespace

std::string trimWhitespace(std::string_view s) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        char32_t cp;
        std::size_t n = decode(s, begin, cp);
        if (n == 0 || !isSpace(cp)) break;
        begin += n;
    }
    std::size_t end = s.size();
    while (end > begin) {
        // Step back to the start of the last code point.
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80 &&
               end - start < 4)
            --start;
        char32_t cp;
        std::size_t n = decode(s, start, cp);
        if (n != end - start || !isSpace(cp)) break;
        end = start;
    }
    return std::string(s.substr(begin, end - begin));
}

std::string shortenForLog(std::string_view s, std::size_t limit) {
    std::size_t i = 0, count = 0;
    while (i < s.size() && count < limit) {
        char32_t cp;
        std::size_t n = decode(s, i, cp);
        i += n == 0 ? 1 : n;
        ++count;
    }
    if (i >= s.size()) return std::string(s);
    return std::string(s.substr(0, i)) + "...";
}

std::string shellQuote(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '\'';
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

std::string prepareStatement(std::string_view sql) {
    std::string t = trimWhitespace(sql);
    while (!t.empty() &&
           (t.back() == ';' || t.back() == ' ' || t.back() == '\t' || t.back() == '\n'))
        t.pop_back();
    t += ";\n";
    return t;
}

bool isValidUTF8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        char32_t cp;
        std::size_t n = decode(s, i, cp);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string repairUTF8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        std::size_t n = decode(s, i, cp);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::size_t codePointCount(std::string_view s) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        std::size_t n = decode(s, i, cp);
        i += n == 0 ? 1 : n;
        ++count;
    }
    return count;
}

std::string toLowerASCII(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string toUpperASCII(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

bool startsWithIgnoringCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    return toLowerASCII(s.substr(0, prefix.size())) == toLowerASCII(prefix);
}

} // namespace quillhaven::text

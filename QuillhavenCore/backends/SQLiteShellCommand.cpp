#include "backends/SQLiteShellCommand.h"

#include "support/Text.h"

#include <cctype>
#include <cstdio>
#include <random>

namespace quillhaven::sqliteshell {

std::string databaseURI(std::string_view path, bool readOnly) {
    // An absolute path gets an empty authority ("file://" + path), so "//x" stays a path.
    std::string uri = !path.empty() && path.front() == '/' ? "file://" : "file:";
    static const char* hex = "0123456789ABCDEF";
    for (unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c <= 0x20 || c >= 0x7F) {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + (readOnly ? "?mode=ro" : "?mode=rw");
}

std::string hereDocDelimiter(std::string_view text) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    static const char* hex = "0123456789ABCDEF";
    for (;;) {
        std::string delimiter = "SQLEOF_";
        auto bits = random();
        for (int i = 0; i < 16; ++i, bits >>= 4) delimiter += hex[bits & 15];
        if (text.find(delimiter) == std::string_view::npos) return delimiter;
    }
}

bool supportsSafeMode(std::string_view versionOutput) {
    std::string version = text::trimWhitespace(versionOutput);
    int major = 0, minor = 0;
    if (std::sscanf(version.c_str(), "%d.%d", &major, &minor) != 2) return false;
    return major > 3 || (major == 3 && minor >= 37);
}

std::string withoutLinePrefix(std::string_view message) {
    static constexpr std::string_view prefix = "Runtime error near line ";
    std::string out;
    std::size_t i = 0;
    while (i < message.size()) {
        if (message.substr(i, prefix.size()) == prefix) {
            std::size_t j = i + prefix.size();
            std::size_t digits = j;
            while (j < message.size() && std::isdigit(static_cast<unsigned char>(message[j]))) ++j;
            if (j > digits && message.substr(j, 2) == ": ") {
                i = j + 2;
                continue;
            }
        }
        out += message[i++];
    }
    return out;
}

} // namespace quillhaven::sqliteshell

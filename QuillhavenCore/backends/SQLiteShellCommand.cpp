#include "backends/SQLiteShellCommand.h"

#include "support/Text.h"

#include <cctype>
#include <cstdio>
#include <random>

namespace quillhaven::sqliteshell {

std::string databaseURI(std::string_view path, bool readOnly) {
    std::string uri = "file:";
    // An absolute path gets an empty authority, so "//x" cannot be read as a host name.
    if (!path.empty() && path.front() == '/') uri += "//";
    for (char c : path) {
        switch (c) {
        case '%':
            uri += "%25";
            break;
        case '?':
            uri += "%3F";
            break;
        case '#':
            uri += "%23";
            break;
        default:
            uri += c;
        }
    }
    uri += readOnly ? "?mode=ro" : "?mode=rw";
    return uri;
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

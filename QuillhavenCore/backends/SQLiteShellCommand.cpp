#include "backends/SQLiteShellCommand.h"

#include "support/Text.h"

#include <cctype>
#include <cstdio>
#include <random>
#include <sqlite3.h>

namespace quillhaven::sqliteshell {
namespace {

bool complete(const std::string& sql) {
    return sqlite3_complete(sql.c_str()) != 0;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

// The shell skips a line read while no SQL is pending when it holds nothing but blanks,
// semicolons and comments that end on the same line.
bool isPlainWhite(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (isBlank(c) || c == ';') continue;
        if (c == '-' && i + 1 < line.size() && line[i + 1] == '-') return true;
        if (c == '/' && i + 1 < line.size() && line[i + 1] == '*') {
            auto end = line.find("*/", i + 2);
            if (end == std::string_view::npos) return false;
            i = end + 1;
            continue;
        }
        return false;
    }
    return true;
}

// "go" or "/" alone on a line ends the pending statement in the shell, as ";" would.
bool isTerminatorLine(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i < line.size() && line[i] == '/') {
        ++i;
    } else if (i + 1 < line.size() && std::tolower(static_cast<unsigned char>(line[i])) == 'g' &&
               std::tolower(static_cast<unsigned char>(line[i + 1])) == 'o') {
        i += 2;
    } else {
        return false;
    }
    return isPlainWhite(line.substr(i)) && line.substr(i).find(';') == std::string_view::npos;
}

} // namespace

std::string body(std::string_view sql) {
    std::string prepared = text::prepareStatement(sql);
    if (complete(prepared)) return prepared;
    std::string ownLine = prepared.substr(0, prepared.size() - 2) + "\n;\n";
    return complete(ownLine) ? ownLine : prepared;
}

std::optional<std::string> refusal(std::string_view body) {
    if (body.find('\0') != std::string_view::npos) {
        return "Statement refused: it contains a NUL character";
    }
    std::string text(body);
    if (!complete(text)) {
        return "Statement refused: it is incomplete (an unterminated string, quoted name, "
               "comment or trigger body)";
    }
    // Follow the shell's reading of the lines: it runs a line starting with "." as a
    // dot-command whenever no SQL is pending. Pending SQL is taken as finished as soon as
    // it is complete, which can only make this check stricter than the shell.
    std::string pending;
    std::size_t start = 0;
    while (start < body.size()) {
        auto end = body.find('\n', start);
        if (end == std::string_view::npos) end = body.size();
        std::string_view line = body.substr(start, end - start);
        start = end + 1;
        if (!pending.empty() && isTerminatorLine(line) && complete(pending + ";")) line = ";";
        if (pending.empty()) {
            if (isPlainWhite(line)) continue;
            if (line.front() == '.') {
                return "Statement refused: a line starting with \".\" after a complete "
                       "statement would run as a sqlite3 dot-command";
            }
            if (line.front() == '#') continue; // a comment line to the shell
        }
        pending.append(line).push_back('\n');
        if (complete(pending)) pending.clear();
    }
    return std::nullopt;
}

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

#include "backends/ShellStatementGuard.h"

#include "support/Text.h"

#include <sqlite3.h>

namespace quillhaven::ShellStatementGuard {
namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A line the shell skips when no SQL is pending: white space, ";" and comments that end on
// the line.
bool isPlainWhite(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (isSpace(c) || c == ';') {
            ++i;
        } else if (line.substr(i, 2) == "--") {
            return true;
        } else if (line.substr(i, 2) == "/*") {
            auto end = line.find("*/", i + 2);
            if (end == std::string_view::npos) return false;
            i = end + 2;
        } else {
            return false;
        }
    }
    return true;
}

// "/" or "go" alone on a line ends the pending statement as ";" would.
bool isTerminatorLine(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && isSpace(line[i])) ++i;
    if (i < line.size() && line[i] == '/') {
        ++i;
    } else if (i + 1 < line.size() && (line[i] == 'g' || line[i] == 'G') &&
               (line[i + 1] == 'o' || line[i + 1] == 'O')) {
        i += 2;
    } else {
        return false;
    }
    return isPlainWhite(line.substr(i));
}

bool complete(const std::string& sql) {
    return sqlite3_complete(sql.c_str()) != 0;
}

enum class Verdict { ok, dotCommand, incomplete };

// Follows the shell's reading of its input line by line and tells whether every line is
// read as SQL and nothing is left pending at the end.
Verdict followShell(std::string_view input) {
    std::string pending;
    std::size_t start = 0;
    while (start < input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        std::string_view line = input.substr(start, end - start);
        start = end + 1;
        if (pending.empty()) {
            if (isPlainWhite(line)) continue;
            if (line.front() == '.') return Verdict::dotCommand;
            if (line.front() == '#') continue;
        }
        if (isTerminatorLine(line) && (pending.empty() || complete(pending + ";"))) line = ";";
        pending.append(line);
        pending += '\n';
        if (complete(pending)) pending.clear();
    }
    return pending.empty() ? Verdict::ok : Verdict::incomplete;
}

} // namespace

ShellInput check(std::string_view sql) {
    ShellInput result;
    if (sql.find('\0') != std::string_view::npos) {
        result.refusal = "the statement contains a NUL character";
        return result;
    }
    result.text = text::prepareStatement(sql);
    Verdict verdict = followShell(result.text);
    if (verdict == Verdict::incomplete) {
        // A trailing "--" comment swallows the ";" on its line: end the statement below it.
        std::string below = result.text.substr(0, result.text.size() - 2) + "\n;\n";
        if (followShell(below) == Verdict::ok) {
            result.text = below;
            return result;
        }
    }
    if (verdict == Verdict::dotCommand) {
        result.refusal = "a line starting with \".\" after a complete statement would run as a "
                         "sqlite3 shell command, not as SQL";
    } else if (verdict == Verdict::incomplete) {
        result.refusal = "the statement is incomplete (an unterminated string, quoted name, "
                         "comment or trigger body)";
    }
    return result;
}

} // namespace quillhaven::ShellStatementGuard

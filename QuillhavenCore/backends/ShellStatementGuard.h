#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillhaven::ShellStatementGuard {

// What to write to a sqlite3 shell that reads its commands from a pipe, for one statement.
struct ShellInput {
    std::string text;                   // the statement ended by ";" and a line feed
    std::optional<std::string> refusal; // why the statement must not be sent at all
};

// The shell runs a line that starts with "." as one of its own commands (file access, a
// system shell) when no SQL is pending, and an unterminated string or comment would
// swallow whatever is written after the statement. Such statements are refused here,
// before anything reaches the shell. A statement that ends in a "--" comment gets its ";"
// on a line of its own, so the comment cannot swallow it.
ShellInput check(std::string_view sql);

} // namespace quillhaven::ShellStatementGuard

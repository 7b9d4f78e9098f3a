#pragma once

// What a statement must look like before it is handed to a remote `sqlite3` shell, and the
// pieces of the shell command around it.

#include <optional>
#include <string>
#include <string_view>

namespace quillhaven::sqliteshell {

// The statement as the shell receives it: trimmed, trailing semicolons and blanks removed,
// ended by exactly one ";" and a line feed. When the statement ends in a line comment the
// ";" goes on a line of its own, so the comment cannot swallow it.
std::string body(std::string_view sql);

// Why `body` must not reach the shell, or nothing when it is safe: the shell would run a
// line starting with "." after a complete statement as a dot-command; an incomplete
// statement (open string, quoted name, comment or trigger body) would swallow what follows;
// a NUL character would cut the command short.
std::optional<std::string> refusal(std::string_view body);

// A "file:" URI that opens an existing database only: read-write, or read-only.
std::string databaseURI(std::string_view path, bool readOnly);

// A here-document delimiter that does not occur anywhere in text.
std::string hereDocDelimiter(std::string_view text);

// Whether `sqlite3 -version` output names a shell that has -safe (3.37 and later).
bool supportsSafeMode(std::string_view versionOutput);

// Removes every "Runtime error near line N: " from a shell error message.
std::string withoutLinePrefix(std::string_view message);

} // namespace quillhaven::sqliteshell

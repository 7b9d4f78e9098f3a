#pragma once

// Pieces of the shell command that runs one statement through a remote `sqlite3` shell.

#include <optional>
#include <string>
#include <string_view>

namespace quillhaven::sqliteshell {

// A "file:" URI that opens an existing database only, read-write or read-only: the shell
// then never creates a missing file, and a read-only connection cannot write.
std::string databaseURI(std::string_view path, bool readOnly);

// A here-document delimiter that does not occur anywhere in text.
std::string hereDocDelimiter(std::string_view text);

// Whether `sqlite3 -version` output names a shell that has -safe (3.37 and later).
bool supportsSafeMode(std::string_view versionOutput);

// Removes every "Runtime error near line N: " from a shell error message.
std::string withoutLinePrefix(std::string_view message);

} // namespace quillhaven::sqliteshell

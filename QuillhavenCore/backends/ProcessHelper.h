#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillhaven::ProcessHelper {

// Where outside tools are looked for, in this order. The inherited PATH is not searched.
extern const std::vector<std::string> searchPaths;

// The folders findBinary searches: searchPaths and ~/.fly/bin (where the fly installer puts
// the tool on Linux), or, when QUILLHAVEN_FLY_PATH is set, its colon-separated folders
// instead (tests point it at a stand-in).
std::vector<std::string> binaryFolders();

// The first folder's name entry that is an executable file, or nothing.
std::optional<std::string> findBinary(const std::string& name);

// This process's environment ("NAME=value") with PATH replaced by searchPaths joined with
// ":", then ":", then the inherited PATH (or "/usr/bin:/bin" when PATH is not set).
std::vector<std::string> expandedEnvironment();

} // namespace quillhaven::ProcessHelper

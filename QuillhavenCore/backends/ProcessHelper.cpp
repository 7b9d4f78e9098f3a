#include "backends/ProcessHelper.h"

#include "support/ChildProcess.h"

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace quillhaven::ProcessHelper {

const std::vector<std::string> searchPaths = {
    "/opt/homebrew/bin", "/usr/local/bin", "/usr/bin", "/bin", "/usr/sbin", "/sbin"};

namespace {

std::string joined(const std::vector<std::string>& folders) {
    std::string out;
    for (const auto& f : folders) {
        if (!out.empty()) out += ':';
        out += f;
    }
    return out;
}

} // namespace

std::vector<std::string> binaryFolders() {
    std::vector<std::string> folders;
    if (const char* override = std::getenv("QUILLHAVEN_FLY_PATH")) {
        std::string list = override;
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t end = list.find(':', start);
            if (end == std::string::npos) end = list.size();
            if (end > start) folders.push_back(list.substr(start, end - start));
            start = end + 1;
        }
        return folders;
    }
    folders = searchPaths;
    if (const char* home = std::getenv("HOME"); home && *home)
        folders.push_back(std::string(home) + "/.fly/bin");
    return folders;
}

std::optional<std::string> findBinary(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
    auto folders = binaryFolders();
    if (folders.empty()) return std::nullopt;
    return findOnPath(name, joined(folders));
}

std::vector<std::string> expandedEnvironment() {
    std::vector<std::string> env;
    const char* inherited = std::getenv("PATH");
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, "PATH=", 5) != 0) env.emplace_back(*e);
    }
    env.push_back("PATH=" + joined(searchPaths) + ":" + (inherited ? inherited : "/usr/bin:/bin"));
    return env;
}

} // namespace quillhaven::ProcessHelper

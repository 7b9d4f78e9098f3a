#pragma once

// Reading and writing the property-list files the tests hand to TablePlusHelper, with
// libplist itself as the judge of what was written.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <plist/plist.h>
#include <sstream>
#include <string>
#include <vector>

namespace tp {

namespace fs = std::filesystem;

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Plist = std::unique_ptr<void, PlistFree>;

inline std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline void writeFile(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

inline std::string fixture(const std::string& name) {
    return readFile(fs::path(QUILLHAVEN_FIXTURES) / "tableplus" / name);
}

inline Plist parse(const std::string& bytes) {
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    return Plist(root);
}

inline std::string serialised(plist_t node, void (*write)(plist_t, char**, uint32_t*),
                              void (*release)(char*)) {
    char* out = nullptr;
    uint32_t length = 0;
    write(node, &out, &length);
    std::string bytes(out, length);
    release(out);
    return bytes;
}

inline std::string toXml(plist_t node) {
    return serialised(node, plist_to_xml, plist_to_xml_free);
}

inline std::string toBinary(plist_t node) {
    return serialised(node, plist_to_bin, plist_to_bin_free);
}

// A saved connection carrying only a name under `key`.
inline plist_t namedEntry(const char* key, const std::string& name) {
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, key, plist_new_string(name.c_str()));
    return entry;
}

inline std::string xmlList(const std::vector<std::string>& connectionNames) {
    Plist list(plist_new_array());
    for (const auto& name : connectionNames)
        plist_array_append_item(list.get(), namedEntry("ConnectionName", name));
    return toXml(list.get());
}

inline std::optional<std::string> text(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    return plist_get_string_ptr(node, nullptr);
}

// The names of a top-level array's entries, as TablePlus shows them.
inline std::vector<std::string> names(plist_t array) {
    std::vector<std::string> result;
    for (uint32_t i = 0; i < plist_array_get_size(array); ++i) {
        plist_t entry = plist_array_get_item(array, i);
        auto name = text(entry, "ConnectionName");
        if (!name) name = text(entry, "Name");
        result.push_back(name.value_or(""));
    }
    return result;
}

// Every regular file below `dir`, by relative path, with its bytes.
inline std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    if (!fs::exists(dir)) return files;
    for (const auto& item : fs::recursive_directory_iterator(dir))
        if (item.is_regular_file())
            files[fs::relative(item.path(), dir).string()] = readFile(item.path());
    return files;
}

inline bool isBackupName(const std::string& relativePath) {
    return fs::path(relativePath).filename().string().rfind("Connections.backup.", 0) == 0;
}

// Sets environment variables for one test and puts the old values back afterwards.
class ScopedEnv {
public:
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }
    void set(const std::string& name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

} // namespace tp

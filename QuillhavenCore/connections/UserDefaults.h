#pragma once

#include "connections/KeyValueFile.h"

namespace quillhaven {

// This machine's settings and saved list: $XDG_CONFIG_HOME/quillhaven/defaults.json
// (~/.config when XDG_CONFIG_HOME is unset or not absolute).
class UserDefaults : public KeyValueFile {
public:
    UserDefaults() : UserDefaults(defaultPath()) {}
    explicit UserDefaults(std::filesystem::path file) : KeyValueFile(std::move(file)) {}

    static std::filesystem::path defaultPath();
};

} // namespace quillhaven

#include "connections/UserDefaults.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace quillhaven {

std::filesystem::path UserDefaults::defaultPath() {
    std::filesystem::path config;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') {
        config = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* pw = ::getpwuid(::getuid());
            home = pw ? pw->pw_dir : "/tmp";
        }
        config = std::filesystem::path(home) / ".config";
    }
    return config / "quillhaven" / "defaults.json";
}

} // namespace quillhaven

#pragma once

#include "ServeTarget.h"

#include <cstdint>
#include <string>

namespace quillhaven::cli {

struct ServeOptions {
    ServeTarget target;
    std::uint16_t port = 5432;
    bool readOnly = false;
    std::string identityFile; // ssh: private key file
};

// Runs `serve` in the foreground until SIGINT or SIGTERM. Returns the exit code:
// 0 after a clean stop, 1 when the start fails or the backend is lost.
int runServe(const ServeOptions& options);

} // namespace quillhaven::cli

#pragma once

#include <cstdint>
#include <string>

namespace quillhaven::cli {

// What `serve` connects to: a local SQLite file, a database inside a Fly.io application
// (fly://APP/ABSOLUTE/PATH) or a file on an SSH host (ssh://[USER@]HOST[:PORT]/ABSOLUTE/PATH).
struct ServeTarget {
    enum class Kind { local, fly, ssh };
    Kind kind = Kind::local;
    std::string path; // the database file (absolute for fly and ssh)
    std::string app;  // fly
    std::string user; // ssh; empty = the local user name
    std::string host; // ssh
    std::uint16_t port = 22;

    std::string describe() const;
};

// Throws std::invalid_argument with a one-line reason for a malformed target.
ServeTarget parseServeTarget(const std::string& text);

} // namespace quillhaven::cli

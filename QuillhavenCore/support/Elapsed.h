#pragma once

#include <chrono>

namespace quillhaven {

// Whole milliseconds since start, truncated toward zero, as the log lines report them.
inline long millisecondsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

} // namespace quillhaven

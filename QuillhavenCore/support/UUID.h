#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillhaven::uuid {

// A new random UUID in canonical upper-case 36-character form.
std::string make();

// The canonical upper-case form of s, or nothing when s is not a UUID.
std::optional<std::string> normalized(std::string_view s);

} // namespace quillhaven::uuid

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillhaven::base64 {

// Standard alphabet with '=' padding.
std::string encode(std::string_view bytes);

// Nothing when `text` is not padded standard base64 (white space is not accepted).
std::optional<std::string> decode(std::string_view text);

} // namespace quillhaven::base64

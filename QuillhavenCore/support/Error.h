#pragma once

#include <stdexcept>
#include <string>

namespace quillhaven {

// Base of every component's error type. what() is the description a user or a
// PostgreSQL client sees: the component's fixed prefix followed by the case's text.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace quillhaven

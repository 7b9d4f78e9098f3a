#pragma once

#include "ServeTarget.h"
#include "backends/Backend.h"
#include "frontend/StatementHooks.h"

#include <memory>
#include <string>

namespace quillhaven::cli {

// The backend for a target; nothing is connected yet. Throws with a readable reason.
std::shared_ptr<Backend> makeBackend(const ServeTarget& target, bool readOnly,
                                     const std::string& identityFile);

// The statement rules every served connection applies.
StatementHooks translationHooks();

} // namespace quillhaven::cli

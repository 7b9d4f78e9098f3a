#pragma once

#include "frontend/InterceptResult.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quillhaven {

class Backend;

// The two rules a session applies to every statement. `check` answers a statement
// locally (nothing = not intercepted); `rewrite` turns PostgreSQL text into SQLite text.
// Neither may throw. The front end does not know the rules themselves: whoever builds
// the server hands them in (the translation layer provides the real ones).
struct StatementHooks {
    std::function<std::optional<InterceptResult>(const std::string& sql,
                                                 const std::shared_ptr<Backend>& backend)>
        check;
    std::function<std::string(const std::string& sql)> rewrite;

    // Intercepts nothing and rewrites nothing.
    static StatementHooks passthrough() {
        return {[](const std::string&, const std::shared_ptr<Backend>&) {
                    return std::optional<InterceptResult>{};
                },
                [](const std::string& sql) { return sql; }};
    }
};

} // namespace quillhaven

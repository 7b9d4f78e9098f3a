#include "BackendFactory.h"

#include "backends/FlyBackend.h"
#include "backends/LocalBackend.h"
#include "translation/TranslationHooks.h"

#include <stdexcept>

namespace quillhaven::cli {
namespace {
constexpr double statementTimeoutSeconds = 30;
}

std::shared_ptr<Backend> makeBackend(const ServeTarget& target, bool readOnly,
                                     const std::string& /*identityFile*/) {
    switch (target.kind) {
    case ServeTarget::Kind::local:
        return std::make_shared<LocalBackend>(target.path, readOnly);
    case ServeTarget::Kind::fly:
        return std::make_shared<FlyBackend>(target.app, target.path, statementTimeoutSeconds,
                                            readOnly);
    case ServeTarget::Kind::ssh:
        break;
    }
    throw std::runtime_error("ssh:// targets are not supported yet");
}

StatementHooks translationHooks() { return sqliteTranslationHooks(); }

} // namespace quillhaven::cli

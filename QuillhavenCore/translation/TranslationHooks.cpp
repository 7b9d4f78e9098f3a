#include "translation/TranslationHooks.h"

#include "backends/Backend.h"
#include "support/Error.h"
#include "translation/QueryInterceptor.h"
#include "translation/SQLRewriter.h"

namespace quillhaven {
namespace {

// Stands in when a session has no backend: schema questions then answer no rows.
class NoBackend : public Backend {
public:
    void connect() override {}
    std::optional<QueryResult> execute(const std::string&) override { throw Error("No backend"); }
    void close() override {}
    bool isAlive() override { return false; }
};

} // namespace

StatementHooks sqliteTranslationHooks() {
    return {[](const std::string& sql, const std::shared_ptr<Backend>& backend) {
                if (backend) return QueryInterceptor::check(sql, *backend);
                NoBackend none;
                return QueryInterceptor::check(sql, none);
            },
            [](const std::string& sql) { return rewriteForSQLite(sql); }};
}

} // namespace quillhaven

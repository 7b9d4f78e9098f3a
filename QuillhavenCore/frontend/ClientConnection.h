#pragma once

// One PostgreSQL client session on one accepted socket: the startup exchange, then the
// message loop with the simple and extended query protocols, until the client leaves or
// the socket fails. Runs entirely on the thread that calls handle().

#include "backends/Backend.h"
#include "frontend/StatementHooks.h"
#include "support/Logger.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillhaven {

class ClientConnection {
public:
    using QueryLogCallback = std::function<void(const std::string&)>;

    // Takes ownership of socketFD: it is closed exactly once, when handle() returns (or
    // when the object goes if handle() never ran).
    ClientConnection(int socketFD, std::shared_ptr<Backend> backend, bool readOnly,
                     QueryLogCallback queryLogCallback,
                     StatementHooks hooks = StatementHooks::passthrough());
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // Runs the whole session. Throws PGMessageError only when the startup exchange fails;
    // the socket is closed in every case.
    void handle();

    // Wakes a blocked read or write from another thread (the server's stop()). Does
    // nothing once the session has closed its descriptor, so a reused number is never hit.
    void shutdownSocket();

    int socketFD() const { return socketFD_; }

    // The read-only test and the command tag of a statement without a result set.
    static bool isReadQuery(std::string_view sql);
    static std::string classifyDMLTag(std::string_view sql);

    // Texts up to each zero byte, valid UTF-8 only, at most maxParts of them.
    static std::vector<std::string> splitNullTerminated(std::string_view bytes,
                                                        std::size_t maxParts);
    // What a Bind makes of the statement: its text with the parameters put in as SQL
    // literals (literals, quoted identifiers and comments of the text are left alone), or
    // why the parameters cannot be used, which Execute then answers.
    struct Portal {
        std::string sql;
        std::optional<std::string> error;
        bool operator==(const Portal&) const = default;
    };
    // paramTypes: the type OIDs the client declared in Parse; they say how to read the
    // parameters it sends in binary format.
    static Portal extractAndSubstituteParams(std::string_view payload, std::string_view sql,
                                             const std::vector<std::int32_t>& paramTypes = {});
    // $k becomes values[k-1] as a quoted SQL string, or NULL when absent.
    static std::string substituteParams(std::string_view sql,
                                        const std::vector<std::optional<std::string>>& values);

private:
    std::string readExact(std::size_t count);
    void writeRaw(std::string_view bytes);
    void closeSocket();

    struct StartupMessage {
        std::uint32_t version = 0;
        std::map<std::string, std::string> parameters;
    };
    StartupMessage readStartupMessage();
    bool performStartup(); // false: the session ends (cancel request)
    void messageLoop();

    void handleSimpleQuery(std::string_view payload);
    void handleParse(std::string_view payload);
    void handleBind(std::string_view payload);
    void handleDescribe(std::string_view payload);
    void handleExecute();

    void runStatement(const std::string& sql, bool extended);
    void writeInterceptResult(const InterceptResult& result);
    void writeRows(const std::vector<ColumnDef>& columns, const std::vector<Row>& rows,
                   const std::string& tag);
    void writeError(const std::string& message);

    std::optional<InterceptResult> intercept(const std::string& sql);
    std::string rewrite(const std::string& sql);

    const int socketFD_;
    std::shared_ptr<Backend> backend_;
    QueryLogCallback queryLogCallback_;
    bool readOnly_;
    StatementHooks hooks_;
    std::string preparedSQL_;
    std::vector<std::int32_t> preparedParamTypes_;
    std::string portalSQL_;
    std::optional<std::string> portalError_;
    Logger logger_{"ClientConnection"};

    std::mutex socketMutex_; // guards socketClosed_ against shutdownSocket()
    bool socketClosed_ = false;
};

} // namespace quillhaven

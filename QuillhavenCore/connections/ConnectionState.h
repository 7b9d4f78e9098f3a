#pragma once

#include "support/Signal.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillhaven {

enum class ConnectionStatus { stopped, connecting, connected, error };

std::string_view toString(ConnectionStatus status);
std::optional<ConnectionStatus> connectionStatusFromString(std::string_view text);

// The live state of one connection, shared by reference between the connection manager
// and the views (hold it in a std::shared_ptr). Read and assigned on the main thread only;
// every assignment, even of an equal value, tells the observers of `changed`, which run
// on the assigning thread before the setter returns.
class ConnectionState {
public:
    enum class Property { status, errorMessage, connectedClients, queryCount };

    ConnectionState() = default;
    ConnectionState(const ConnectionState&) = delete;
    ConnectionState& operator=(const ConnectionState&) = delete;

    ConnectionStatus status() const { return status_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }
    std::int64_t connectedClients() const { return connectedClients_; }
    std::int64_t queryCount() const { return queryCount_; }

    void setStatus(ConnectionStatus status);
    void setErrorMessage(std::optional<std::string> message);
    void setConnectedClients(std::int64_t count);
    void setQueryCount(std::int64_t count);

    // Called with the property that was just assigned.
    Signal<Property>& changed() { return changed_; }

private:
    ConnectionStatus status_ = ConnectionStatus::stopped;
    std::optional<std::string> errorMessage_;
    std::int64_t connectedClients_ = 0;
    std::int64_t queryCount_ = 0;
    Signal<Property> changed_;
};

} // namespace quillhaven

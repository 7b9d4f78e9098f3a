#include "connections/ConnectionState.h"

namespace quillhaven {

std::string_view toString(ConnectionStatus status) {
    switch (status) {
    case ConnectionStatus::stopped:
        return "stopped";
    case ConnectionStatus::connecting:
        return "connecting";
    case ConnectionStatus::connected:
        return "connected";
    case ConnectionStatus::error:
        return "error";
    }
    return "stopped";
}

std::optional<ConnectionStatus> connectionStatusFromString(std::string_view text) {
    for (auto s : {ConnectionStatus::stopped, ConnectionStatus::connecting,
                   ConnectionStatus::connected, ConnectionStatus::error})
        if (toString(s) == text) return s;
    return std::nullopt;
}

void ConnectionState::setStatus(ConnectionStatus status) {
    status_ = status;
    changed_.emit(Property::status);
}

void ConnectionState::setErrorMessage(std::optional<std::string> message) {
    errorMessage_ = std::move(message);
    changed_.emit(Property::errorMessage);
}

void ConnectionState::setConnectedClients(std::int64_t count) {
    connectedClients_ = count;
    changed_.emit(Property::connectedClients);
}

void ConnectionState::setQueryCount(std::int64_t count) {
    queryCount_ = count;
    changed_.emit(Property::queryCount);
}

} // namespace quillhaven

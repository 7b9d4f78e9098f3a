#pragma once

#include "support/Error.h"

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillhaven {

// How the remote database is reached.
enum class ConnectionType { fly, ssh };

// Which secret an SSH connection authenticates with.
enum class SSHAuthMethod { password, key };

// The text values are the only external form of the two enumerations.
std::string_view toString(ConnectionType type);
std::string_view toString(SSHAuthMethod method);
std::optional<ConnectionType> connectionTypeFromString(std::string_view text);
std::optional<SSHAuthMethod> sshAuthMethodFromString(std::string_view text);

// One saved connection. Secrets are never part of it: the secret store keeps them under
// accounts derived from `id`. A new connection takes a fresh uuid::make() as its id.
struct Connection {
    std::string id; // canonical upper-case 36-character UUID
    std::string name;
    ConnectionType type = ConnectionType::fly;
    std::string dbPath;
    std::uint16_t localPort = 0;
    std::optional<std::string> flyApp;
    std::optional<std::string> sshHostname;
    std::optional<std::uint16_t> sshPort; // absent: 22 when the connection starts
    std::optional<std::string> sshUsername;
    std::optional<SSHAuthMethod> sshAuthMethod;
    std::optional<std::string> sshKeyDisplayPath;
    bool readOnly = false;

    // All twelve fields; no ordering and no hash on purpose.
    bool operator==(const Connection&) const = default;

    // The JSON object form; optional fields are written only when present.
    nlohmann::json toJSON() const;
    // Throws ConnectionDecodingError naming the first key that is missing or wrong.
    static Connection fromJSON(const nlohmann::json& object);
};

// Reading a saved record or list failed; what() is "Invalid connection data: " + reason.
class ConnectionDecodingError : public Error {
public:
    explicit ConnectionDecodingError(const std::string& reason);
    const std::string& reason() const { return reason_; }

private:
    std::string reason_;
};

// The saved list as UTF-8 JSON text: an array of connection objects in list order.
// Text that is not valid UTF-8 in a field is written with U+FFFD in its place, so one bad
// name never stops the whole list from being saved.
std::string encodeConnectionList(const std::vector<Connection>& connections);
// One bad record fails the whole list (ConnectionDecodingError).
std::vector<Connection> decodeConnectionList(std::string_view jsonText);

} // namespace quillhaven

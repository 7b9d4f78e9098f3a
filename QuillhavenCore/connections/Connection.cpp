#include "connections/Connection.h"

#include "support/UUID.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace quillhaven {

using nlohmann::json;

std::string_view toString(ConnectionType type) {
    return type == ConnectionType::ssh ? "ssh" : "fly";
}

std::string_view toString(SSHAuthMethod method) {
    return method == SSHAuthMethod::key ? "key" : "password";
}

std::optional<ConnectionType> connectionTypeFromString(std::string_view text) {
    if (text == "fly") return ConnectionType::fly;
    if (text == "ssh") return ConnectionType::ssh;
    return std::nullopt;
}

std::optional<SSHAuthMethod> sshAuthMethodFromString(std::string_view text) {
    if (text == "password") return SSHAuthMethod::password;
    if (text == "key") return SSHAuthMethod::key;
    return std::nullopt;
}

ConnectionDecodingError::ConnectionDecodingError(const std::string& reason)
    : Error("Invalid connection data: " + reason), reason_(reason) {}

namespace {

std::string inQuotes(std::string_view key) {
    return "\"" + std::string(key) + "\"";
}

[[noreturn]] void fail(std::string_view key, std::string_view problem) {
    throw ConnectionDecodingError(inQuotes(key) + " " + std::string(problem));
}

// A key whose value is null counts as absent, as it does for every optional key.
const json* find(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

const json& require(const json& object, const char* key) {
    const json* value = find(object, key);
    if (!value) fail(key, "is missing");
    return *value;
}

std::string readText(const json& value, const char* key) {
    if (!value.is_string()) fail(key, "is not a string");
    return value.get<std::string>();
}

std::uint16_t readPort(const json& value, const char* key) {
    constexpr const char* problem = "is not a whole number from 0 to 65535";
    if (value.is_number_unsigned()) {
        auto n = value.get<std::uint64_t>();
        if (n <= 65535) return static_cast<std::uint16_t>(n);
    } else if (value.is_number_integer()) {
        auto n = value.get<std::int64_t>();
        if (n >= 0 && n <= 65535) return static_cast<std::uint16_t>(n);
    } else if (value.is_number_float()) {
        // 5432.0 is the same number as 5432 in JSON.
        double d = value.get<double>();
        if (d >= 0 && d <= 65535 && std::floor(d) == d) return static_cast<std::uint16_t>(d);
    }
    fail(key, problem);
}

template <class Enum, class Parse> Enum readEnum(const json& value, const char* key, Parse parse) {
    std::string text = readText(value, key);
    if (auto parsed = parse(text)) return *parsed;
    fail(key, "has the unknown value " + inQuotes(text));
}

std::optional<std::string> readOptionalText(const json& object, const char* key) {
    if (const json* value = find(object, key)) return readText(*value, key);
    return std::nullopt;
}

} // namespace

json Connection::toJSON() const {
    json object = json::object();
    object["id"] = uuid::normalized(id).value_or(id);
    object["name"] = name;
    object["type"] = std::string(toString(type));
    object["dbPath"] = dbPath;
    object["localPort"] = localPort;
    if (flyApp) object["flyApp"] = *flyApp;
    if (sshHostname) object["sshHostname"] = *sshHostname;
    if (sshPort) object["sshPort"] = *sshPort;
    if (sshUsername) object["sshUsername"] = *sshUsername;
    if (sshAuthMethod) object["sshAuthMethod"] = std::string(toString(*sshAuthMethod));
    if (sshKeyDisplayPath) object["sshKeyDisplayPath"] = *sshKeyDisplayPath;
    object["readOnly"] = readOnly;
    return object;
}

// Keys are read in a fixed order and the first failure wins, so the reason names the
// same key whatever order the object's keys were written in.
Connection Connection::fromJSON(const json& object) {
    if (!object.is_object()) throw ConnectionDecodingError("a record is not a JSON object");
    Connection c;
    std::string idText = readText(require(object, "id"), "id");
    auto id = uuid::normalized(idText);
    if (!id) fail("id", "is not a UUID");
    c.id = *id;
    c.name = readText(require(object, "name"), "name");
    c.dbPath = readText(require(object, "dbPath"), "dbPath");
    c.localPort = readPort(require(object, "localPort"), "localPort");
    if (const json* type = find(object, "type"))
        c.type = readEnum<ConnectionType>(*type, "type", connectionTypeFromString);
    c.flyApp = readOptionalText(object, "flyApp");
    c.sshHostname = readOptionalText(object, "sshHostname");
    if (const json* port = find(object, "sshPort")) c.sshPort = readPort(*port, "sshPort");
    c.sshUsername = readOptionalText(object, "sshUsername");
    if (const json* method = find(object, "sshAuthMethod"))
        c.sshAuthMethod =
            readEnum<SSHAuthMethod>(*method, "sshAuthMethod", sshAuthMethodFromString);
    c.sshKeyDisplayPath = readOptionalText(object, "sshKeyDisplayPath");
    if (const json* readOnly = find(object, "readOnly")) {
        if (!readOnly->is_boolean()) fail("readOnly", "is not a boolean");
        c.readOnly = readOnly->get<bool>();
    }
    return c;
}

std::string encodeConnectionList(const std::vector<Connection>& connections) {
    json array = json::array();
    for (const auto& c : connections) array.push_back(c.toJSON());
    return array.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::vector<Connection> decodeConnectionList(std::string_view jsonText) {
    json array = json::parse(jsonText, nullptr, false);
    if (array.is_discarded()) throw ConnectionDecodingError("the list is not valid JSON");
    if (!array.is_array()) throw ConnectionDecodingError("the list is not a JSON array");
    std::vector<Connection> connections;
    connections.reserve(array.size());
    for (std::size_t i = 0; i < array.size(); ++i) {
        try {
            connections.push_back(Connection::fromJSON(array[i]));
        } catch (const ConnectionDecodingError& e) {
            throw ConnectionDecodingError("record " + std::to_string(i + 1) + ": " + e.reason());
        }
    }
    return connections;
}

} // namespace quillhaven

#include "ServeTarget.h"

#include <charconv>
#include <optional>
#include <stdexcept>

namespace quillhaven::cli {
namespace {

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// Splits "AUTHORITY/ABSOLUTE/PATH" after the scheme; the path keeps its leading slash.
void splitAuthority(const std::string& rest, const std::string& scheme, std::string& authority,
                    std::string& path) {
    auto slash = rest.find('/');
    if (slash == std::string::npos || slash + 1 >= rest.size())
        throw std::invalid_argument(scheme + " target needs an absolute database path, as in " +
                                    scheme + "://" + (scheme == "fly" ? "APP" : "HOST") +
                                    "/data/app.db");
    authority = rest.substr(0, slash);
    path = rest.substr(slash);
    if (authority.empty())
        throw std::invalid_argument(scheme + " target has no " +
                                    (scheme == "fly" ? "application name" : "host name"));
}

std::uint16_t parsePort(const std::string& text) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value == 0 ||
        value > 65535)
        throw std::invalid_argument("invalid ssh port: " + text);
    return static_cast<std::uint16_t>(value);
}

} // namespace

std::string ServeTarget::describe() const {
    switch (kind) {
    case Kind::fly:
        return "fly://" + app + path;
    case Kind::ssh:
        return "ssh://" + (user.empty() ? "" : user + "@") +
               (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
               (port == 22 ? "" : ":" + std::to_string(port)) + path;
    case Kind::local:
        break;
    }
    return path;
}

ServeTarget parseServeTarget(const std::string& text) {
    ServeTarget target;
    if (text.empty()) throw std::invalid_argument("the target is empty");
    if (startsWith(text, "fly://")) {
        target.kind = ServeTarget::Kind::fly;
        splitAuthority(text.substr(6), "fly", target.app, target.path);
        for (char c : target.app) {
            bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
            if (!ok) throw std::invalid_argument("invalid Fly.io application name: " + target.app);
        }
        return target;
    }
    if (startsWith(text, "ssh://")) {
        target.kind = ServeTarget::Kind::ssh;
        std::string authority;
        splitAuthority(text.substr(6), "ssh", authority, target.path);
        auto at = authority.rfind('@');
        if (at != std::string::npos) {
            target.user = authority.substr(0, at);
            authority = authority.substr(at + 1);
            if (target.user.empty()) throw std::invalid_argument("ssh target has an empty user");
        }
        std::optional<std::string> portText;
        if (!authority.empty() && authority.front() == '[') { // [IPv6]:PORT
            auto close = authority.find(']');
            if (close == std::string::npos)
                throw std::invalid_argument("ssh target has an unclosed [ in its host");
            std::string after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':')
                    throw std::invalid_argument("invalid ssh host: " + authority);
                portText = after.substr(1);
            }
            authority = authority.substr(1, close - 1);
        } else if (auto colon = authority.find(':');
                   colon != std::string::npos &&
                   authority.find(':', colon + 1) == std::string::npos) {
            portText = authority.substr(colon + 1);
            authority = authority.substr(0, colon);
        }
        if (portText) target.port = parsePort(*portText);
        if (authority.empty()) throw std::invalid_argument("ssh target has no host name");
        target.host = authority;
        return target;
    }
    if (text.find("://") != std::string::npos && text.find('/') > text.find("://"))
        throw std::invalid_argument("unknown target scheme in " + text +
                                    " (use a file path, fly:// or ssh://)");
    target.path = text;
    return target;
}

} // namespace quillhaven::cli

#include "ServeTarget.h"

#include <charconv>
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
        auto colon = authority.rfind(':');
        if (colon != std::string::npos && authority.find(']') == std::string::npos) {
            std::string portText = authority.substr(colon + 1);
            unsigned value = 0;
            auto [end, ec] =
                std::from_chars(portText.data(), portText.data() + portText.size(), value);
            if (ec != std::errc() || end != portText.data() + portText.size() || value == 0 ||
                value > 65535)
                throw std::invalid_argument("invalid ssh port: " + portText);
            target.port = static_cast<std::uint16_t>(value);
            authority = authority.substr(0, colon);
        }
        if (authority.size() > 2 && authority.front() == '[' && authority.back() == ']')
            authority = authority.substr(1, authority.size() - 2);
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

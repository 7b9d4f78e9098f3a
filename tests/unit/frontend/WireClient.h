#pragma once

// A raw PostgreSQL client for tests: writes frontend messages byte by byte and reads the
// backend's answers, each turned into a short readable token ("T[a,b]", "D[1,NULL]",
// "C SELECT 1", "Z", "E boom", ...). Every read is bounded in time.

#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace wire {

inline void put32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}
inline void put16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
}
inline std::uint32_t get32(const std::string& b, std::size_t at) {
    return (std::uint32_t(std::uint8_t(b[at])) << 24) |
           (std::uint32_t(std::uint8_t(b[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(b[at + 2])) << 8) | std::uint32_t(std::uint8_t(b[at + 3]));
}
inline std::uint16_t get16(const std::string& b, std::size_t at) {
    return static_cast<std::uint16_t>((std::uint8_t(b[at]) << 8) | std::uint8_t(b[at + 1]));
}

inline std::string frame(char type, const std::string& payload) {
    std::string out(1, type);
    put32(out, static_cast<std::uint32_t>(payload.size() + 4));
    return out + payload;
}

inline std::string startupPacket(const std::map<std::string, std::string>& parameters,
                                 std::uint32_t version = 196608) {
    std::string body;
    put32(body, version);
    for (const auto& [k, v] : parameters) {
        body += k;
        body.push_back('\0');
        body += v;
        body.push_back('\0');
    }
    body.push_back('\0');
    std::string out;
    put32(out, static_cast<std::uint32_t>(body.size() + 4));
    return out + body;
}

inline std::string requestPacket(std::uint32_t code) {
    std::string out;
    put32(out, 8);
    put32(out, code);
    return out;
}

inline std::string query(const std::string& sql) {
    return frame('Q', sql + std::string(1, '\0'));
}

inline std::string parse(const std::string& sql, const std::string& name = "") {
    std::string p = name + std::string(1, '\0') + sql + std::string(1, '\0');
    put16(p, 0);
    return frame('P', p);
}

// Bind with text parameters (absent = NULL) or raw byte parameters.
inline std::string bind(const std::vector<std::optional<std::string>>& values,
                        const std::vector<std::uint16_t>& formats = {}) {
    std::string p(2, '\0'); // unnamed portal and statement
    put16(p, static_cast<std::uint16_t>(formats.size()));
    for (auto f : formats) put16(p, f);
    put16(p, static_cast<std::uint16_t>(values.size()));
    for (const auto& v : values) {
        if (!v) {
            put32(p, 0xFFFFFFFFu);
            continue;
        }
        put32(p, static_cast<std::uint32_t>(v->size()));
        p += *v;
    }
    put16(p, 0);
    return frame('B', p);
}

inline std::string describe(char what) {
    return frame('D', std::string(1, what) + '\0');
}
inline std::string execute() {
    return frame('E', std::string(1, '\0') + std::string(4, '\0'));
}
inline std::string sync() {
    return frame('S', "");
}

struct Message {
    char type = 0;
    std::string payload;
};

// Readable token of one backend message.
inline std::string token(const Message& m) {
    const std::string& p = m.payload;
    switch (m.type) {
    case 'T': {
        std::string out = "T[";
        std::size_t at = 2;
        for (int i = 0; i < get16(p, 0); ++i) {
            std::size_t end = p.find('\0', at);
            out += (i ? "," : "") + p.substr(at, end - at);
            at = end + 1 + 18;
        }
        return out + "]";
    }
    case 'D': {
        std::string out = "D[";
        std::size_t at = 2;
        for (int i = 0; i < get16(p, 0); ++i) {
            std::uint32_t len = get32(p, at);
            at += 4;
            out += i ? "," : "";
            if (len == 0xFFFFFFFFu) {
                out += "NULL";
                continue;
            }
            out += p.substr(at, len);
            at += len;
        }
        return out + "]";
    }
    case 'C':
        return "C " + p.substr(0, p.size() - 1);
    case 'E': {
        // Fields: S, V, M, C. Shows the message, and the SQLSTATE when it is not 42000.
        std::string message, state;
        for (std::size_t at = 0; at < p.size() && p[at];) {
            char code = p[at];
            std::size_t end = p.find('\0', at + 1);
            if (code == 'M') message = p.substr(at + 1, end - at - 1);
            if (code == 'C') state = p.substr(at + 1, end - at - 1);
            at = end + 1;
        }
        return "E " + message + (state == "42000" ? "" : " [" + state + "]");
    }
    case 'Z':
        return p == "I" ? "Z" : "Z" + p;
    case 't':
        return "t" + std::to_string(get16(p, 0));
    default:
        return std::string(1, m.type) + (p.empty() ? "" : "+" + std::to_string(p.size()));
    }
}

class Client {
public:
    explicit Client(int fd) : fd_(fd) {}
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    void send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("send failed");
            done += static_cast<std::size_t>(n);
        }
    }

    // Exactly n bytes, or nothing when the peer closed first or the time ran out.
    std::optional<std::string> read(std::size_t n, int timeoutMs = 5000) {
        std::string out;
        while (out.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
            char buffer[65536];
            ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (got <= 0) return std::nullopt;
            out.append(buffer, static_cast<std::size_t>(got));
        }
        return out;
    }

    std::optional<Message> readMessage() {
        auto header = read(5);
        if (!header) return std::nullopt;
        Message m{(*header)[0], {}};
        auto payload = read(get32(*header, 1) - 4);
        if (!payload) return std::nullopt;
        m.payload = *payload;
        return m;
    }

    // Tokens of the messages up to and including the next ReadyForQuery.
    std::vector<std::string> untilReady() {
        std::vector<std::string> tokens;
        while (auto m = readMessage()) {
            tokens.push_back(token(*m));
            if (m->type == 'Z') break;
        }
        return tokens;
    }

    // Tokens of the next n messages.
    std::vector<std::string> next(std::size_t n) {
        std::vector<std::string> tokens;
        for (std::size_t i = 0; i < n; ++i) {
            auto m = readMessage();
            if (!m) break;
            tokens.push_back(token(*m));
        }
        return tokens;
    }

    // Sends the startup packet and reads the full answer; true when it ended in
    // ReadyForQuery.
    bool startup(const std::map<std::string, std::string>& parameters = {{"user", "tester"}}) {
        send(startupPacket(parameters));
        auto tokens = untilReady();
        return !tokens.empty() && tokens.back() == "Z";
    }

    // True when the peer closes the connection (within the time) without sending more:
    // end of stream, or a reset when it closed with bytes of ours still unread.
    bool closedByPeer(int timeoutMs = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        char c;
        return ::recv(fd_, &c, 1, 0) <= 0;
    }

private:
    int fd_;
};

} // namespace wire

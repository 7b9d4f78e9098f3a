#pragma once

// One authenticated libssh connection, driven in non-blocking mode on the caller's thread so
// that every operation ends by its deadline and no other thread ever touches the session.

#include "support/Error.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct ssh_session_struct;
struct ssh_key_struct;

namespace quillhaven {

// A point in time an operation must finish by.
class Deadline {
public:
    static Deadline after(double seconds);
    bool passed() const;
    // Milliseconds left, at least 0, at most cap.
    int remainingMs(int cap = 1 << 30) const;

private:
    std::chrono::steady_clock::time_point at_;
};

// A failure of the SSH client; the backend and the tester put their own prefixes before it.
class SSHClientError : public Error {
public:
    enum class Kind { timeout, network, hostKey, authentication, key, channel };
    SSHClientError(Kind kind, const std::string& text) : Error(text), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// A private key read from the bytes of a key file (OpenSSH, PEM or PKCS#8; no passphrase).
class SSHPrivateKey {
public:
    enum class Type { ed25519, rsa, ecdsaP256, ecdsaP384, ecdsaP521, other };

    // Throws SSHClientError (key) when the text is no unencrypted private key.
    static SSHPrivateKey parse(const std::string& text);

    Type type() const { return type_; }
    // The key type's name as OpenSSH writes it, e.g. "ssh-ed25519".
    std::string typeName() const;
    ssh_key_struct* handle() const { return key_.get(); }

private:
    std::shared_ptr<ssh_key_struct> key_;
    Type type_ = Type::other;
};

// How to prove who we are.
struct SSHAuth {
    enum class Kind { password, key, agent };
    Kind kind = Kind::agent;
    std::string password;
    std::shared_ptr<SSHPrivateKey> key;

    static SSHAuth withPassword(std::string password);
    static SSHAuth withKey(SSHPrivateKey key);
    static SSHAuth withAgent();
};

struct SSHTarget {
    std::string hostname;
    std::uint16_t port = 22;
    std::string username;
};

// Where host keys are remembered and read. Paths follow HOME and XDG_DATA_HOME at the time
// of the call, so tests can point them at a temporary folder.
struct SSHKnownHosts {
    std::string remembered; // $XDG_DATA_HOME/quillhaven/known_hosts, written on first contact
    std::string user;       // ~/.ssh/known_hosts, read only
    static SSHKnownHosts current();
};

class SSHSession {
public:
    struct CommandOutput {
        std::string out;
        std::string err;
        int exitStatus = -1; // -1 when the server sent none
    };

    // Connects, checks the host key against the remembered ones (remembering a new host's
    // key) and authenticates. Throws SSHClientError.
    static std::unique_ptr<SSHSession> open(const SSHTarget& target, const SSHAuth& auth,
                                            const Deadline& deadline);
    ~SSHSession();
    SSHSession(const SSHSession&) = delete;
    SSHSession& operator=(const SSHSession&) = delete;

    // Runs one command on a new exec channel, writes `input` to its standard input (then
    // end of file), and collects its output until it ends.
    // Throws SSHClientError (timeout or channel).
    CommandOutput run(const std::string& command, const Deadline& deadline,
                      std::string_view input = {});

    // False once the transport has closed, including a peer that went away without a word.
    bool isConnected();

    // Sends the disconnect message and closes the socket; waits for nothing.
    void disconnect();

private:
    explicit SSHSession(ssh_session_struct* session) : session_(session) {}
    void waitForSocket(const Deadline& deadline, const char* what);

    ssh_session_struct* session_;
};

} // namespace quillhaven

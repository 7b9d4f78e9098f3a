#include "backends/SSHSession.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <libssh/libssh.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace quillhaven {
namespace {

using Kind = SSHClientError::Kind;

// libssh asks for a passphrase through this; keys are used without one, and declining here
// keeps OpenSSL from prompting on a terminal for an encrypted PEM key.
int refusePassphrase(const char*, char*, size_t, int, int, void*) {
    return -1;
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::string errorText(ssh_session session, const char* fallback) {
    const char* text = ssh_get_error(session);
    return text && *text ? text : fallback;
}

// Frees a session on every early exit from open().
struct SessionGuard {
    ssh_session session;
    ~SessionGuard() {
        if (!session) return;
        if (ssh_is_connected(session)) ssh_disconnect(session);
        ssh_free(session);
    }
};

struct ChannelGuard {
    ssh_channel channel;
    ~ChannelGuard() {
        if (!channel) return;
        if (ssh_channel_is_open(channel)) ssh_channel_close(channel);
        ssh_channel_free(channel);
    }
};

} // namespace

Deadline Deadline::after(double seconds) {
    Deadline d;
    d.at_ = std::chrono::steady_clock::now() +
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(seconds > 0 ? seconds : 0));
    return d;
}

bool Deadline::passed() const {
    return std::chrono::steady_clock::now() >= at_;
}

int Deadline::remainingMs(int cap) const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    at_ - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return 0;
    return left < cap ? static_cast<int>(left) : cap;
}

SSHPrivateKey SSHPrivateKey::parse(const std::string& text) {
    ssh_key raw = nullptr;
    if (ssh_pki_import_privkey_base64(text.c_str(), nullptr, refusePassphrase, nullptr, &raw) !=
            SSH_OK ||
        !raw) {
        throw SSHClientError(Kind::key, "The private key could not be read: it is encrypted with a "
                                        "passphrase or not in a supported format");
    }
    SSHPrivateKey key;
    key.key_.reset(raw, ssh_key_free);
    switch (ssh_key_type(raw)) {
    case SSH_KEYTYPE_ED25519:
        key.type_ = Type::ed25519;
        break;
    case SSH_KEYTYPE_RSA:
        key.type_ = Type::rsa;
        break;
    case SSH_KEYTYPE_ECDSA_P256:
        key.type_ = Type::ecdsaP256;
        break;
    case SSH_KEYTYPE_ECDSA_P384:
        key.type_ = Type::ecdsaP384;
        break;
    case SSH_KEYTYPE_ECDSA_P521:
        key.type_ = Type::ecdsaP521;
        break;
    default:
        key.type_ = Type::other;
        break;
    }
    return key;
}

std::string SSHPrivateKey::typeName() const {
    const char* name = ssh_key_type_to_char(ssh_key_type(key_.get()));
    return name ? name : "unknown";
}

SSHAuth SSHAuth::withPassword(std::string password) {
    SSHAuth auth;
    auth.kind = Kind::password;
    auth.password = std::move(password);
    return auth;
}

SSHAuth SSHAuth::withKey(SSHPrivateKey key) {
    SSHAuth auth;
    auth.kind = Kind::key;
    auth.key = std::make_shared<SSHPrivateKey>(std::move(key));
    return auth;
}

SSHAuth SSHAuth::withAgent() {
    return SSHAuth{};
}

SSHKnownHosts SSHKnownHosts::current() {
    std::string home = homeDirectory();
    std::string data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        data = xdg;
    } else {
        data = home + "/.local/share";
    }
    return {data + "/quillhaven/known_hosts", home + "/.ssh/known_hosts"};
}

std::unique_ptr<SSHSession> SSHSession::open(const SSHTarget& target, const SSHAuth& auth,
                                             const Deadline& deadline) {
    SessionGuard guard{ssh_new()};
    ssh_session s = guard.session;
    if (!s) throw SSHClientError(Kind::network, "Could not create an SSH session");

    SSHKnownHosts knownHosts = SSHKnownHosts::current();
    unsigned int port = target.port;
    bool processConfig = false;
    int noDelay = 1;
    long timeoutSeconds = deadline.remainingMs() / 1000 + 1;
    ssh_options_set(s, SSH_OPTIONS_HOST, target.hostname.c_str());
    ssh_options_set(s, SSH_OPTIONS_PORT, &port);
    ssh_options_set(s, SSH_OPTIONS_USER, target.username.c_str());
    // Never pick up ~/.ssh/config by accident: the saved connection says everything.
    ssh_options_set(s, SSH_OPTIONS_PROCESS_CONFIG, &processConfig);
    ssh_options_set(s, SSH_OPTIONS_NODELAY, &noDelay);
    ssh_options_set(s, SSH_OPTIONS_TIMEOUT, &timeoutSeconds);
    ssh_options_set(s, SSH_OPTIONS_KNOWNHOSTS, knownHosts.remembered.c_str());
    ssh_options_set(s, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, knownHosts.user.c_str());
    ssh_set_blocking(s, 0);

    std::unique_ptr<SSHSession> session(new SSHSession(s));
    guard.session = nullptr; // owned by `session` from here on

    for (;;) {
        int rc = ssh_connect(s);
        if (rc == SSH_OK) break;
        if (rc != SSH_AGAIN) {
            throw SSHClientError(Kind::network,
                                 errorText(s, "Could not connect to the SSH server"));
        }
        session->waitForSocket(deadline, "Connecting");
    }

    switch (ssh_session_is_known_server(s)) {
    case SSH_KNOWN_HOSTS_OK:
        break;
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER:
        throw SSHClientError(
            Kind::hostKey,
            "The host key of " + target.hostname + ":" + std::to_string(target.port) +
                " has changed since it was first seen; refusing to connect, since someone "
                "may be intercepting the connection. If the server's key was changed on "
                "purpose, remove the old entry from " +
                knownHosts.remembered + " or " + knownHosts.user);
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND: {
        // First contact: remember the key without asking.
        std::error_code ec;
        auto folder = std::filesystem::path(knownHosts.remembered).parent_path();
        std::filesystem::create_directories(folder, ec);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
        ssh_session_update_known_hosts(s);
        break;
    }
    case SSH_KNOWN_HOSTS_ERROR:
    default:
        throw SSHClientError(Kind::hostKey,
                             errorText(s, "The server's host key could not be checked"));
    }

    for (;;) {
        int rc = SSH_AUTH_ERROR;
        switch (auth.kind) {
        case SSHAuth::Kind::password:
            rc = ssh_userauth_password(s, nullptr, auth.password.c_str());
            break;
        case SSHAuth::Kind::key:
            rc = ssh_userauth_publickey(s, nullptr, auth.key->handle());
            break;
        case SSHAuth::Kind::agent:
            rc = ssh_userauth_agent(s, nullptr);
            break;
        }
        if (rc == SSH_AUTH_SUCCESS) break;
        if (rc == SSH_AUTH_AGAIN) {
            session->waitForSocket(deadline, "Authenticating");
            continue;
        }
        if (rc == SSH_AUTH_ERROR && !ssh_is_connected(s)) {
            throw SSHClientError(Kind::network,
                                 errorText(s, "The connection closed during authentication"));
        }
        const char* what = auth.kind == SSHAuth::Kind::password ? "the password"
                           : auth.kind == SSHAuth::Kind::key    ? "the private key"
                                                                : "any key of the ssh-agent";
        throw SSHClientError(Kind::authentication, std::string("The server did not accept ") +
                                                       what + " for user " + target.username);
    }
    return session;
}

SSHSession::~SSHSession() {
    disconnect();
    ssh_free(session_);
}

void SSHSession::disconnect() {
    if (ssh_is_connected(session_)) ssh_disconnect(session_);
}

bool SSHSession::isConnected() {
    if (!ssh_is_connected(session_)) return false;
    int fd = ssh_get_fd(session_);
    if (fd < 0) return false;
    // libssh learns of a closed transport only when it next reads; ask the socket instead.
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) < 0) return errno == EINTR;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP)) return false;
    if (p.revents & POLLIN) {
        char c;
        if (::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0) return false;
    }
    return true;
}

void SSHSession::waitForSocket(const Deadline& deadline, const char* what) {
    if (deadline.passed()) {
        throw SSHClientError(Kind::timeout, std::string(what) + " took too long");
    }
    // A short cap keeps a pending write or a connect in progress moving without a busy loop.
    int wait = deadline.remainingMs(20);
    int fd = ssh_get_fd(session_);
    if (fd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(wait > 2 ? 2 : wait));
        return;
    }
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, wait);
}

SSHSession::CommandOutput SSHSession::run(const std::string& command, const Deadline& deadline,
                                          std::string_view input) {
    ChannelGuard guard{ssh_channel_new(session_)};
    ssh_channel ch = guard.channel;
    if (!ch) throw SSHClientError(Kind::channel, errorText(session_, "Could not open a channel"));

    for (int rc; (rc = ssh_channel_open_session(ch)) != SSH_OK;) {
        if (rc != SSH_AGAIN) {
            throw SSHClientError(Kind::channel, errorText(session_, "Could not open a channel"));
        }
        waitForSocket(deadline, "Opening a channel");
    }
    for (int rc; (rc = ssh_channel_request_exec(ch, command.c_str())) != SSH_OK;) {
        if (rc != SSH_AGAIN) {
            throw SSHClientError(Kind::channel,
                                 errorText(session_, "The server refused to run the command"));
        }
        waitForSocket(deadline, "Starting the command");
    }
    // The remote shell reads the whole script before it runs anything, so nothing needs
    // reading while the input is written.
    while (!input.empty()) {
        int n = ssh_channel_write(
            ch, input.data(), static_cast<uint32_t>(std::min<std::size_t>(input.size(), 1 << 16)));
        if (n == SSH_ERROR) {
            throw SSHClientError(Kind::channel,
                                 errorText(session_, "Writing the command's input failed"));
        }
        input.remove_prefix(static_cast<std::size_t>(n));
        if (n == 0) waitForSocket(deadline, "Writing the command's input");
    }
    for (int rc; (rc = ssh_channel_send_eof(ch)) != SSH_OK;) {
        if (rc != SSH_AGAIN) {
            throw SSHClientError(Kind::channel,
                                 errorText(session_, "Writing the command's input failed"));
        }
        waitForSocket(deadline, "Writing the command's input");
    }

    CommandOutput result;
    char buffer[65536];
    for (;;) {
        bool got = false;
        for (int stream = 0; stream < 2; ++stream) {
            int n = ssh_channel_read_nonblocking(ch, buffer, sizeof buffer, stream);
            if (n > 0) {
                (stream ? result.err : result.out).append(buffer, static_cast<size_t>(n));
                got = true;
            } else if (n == SSH_ERROR) {
                throw SSHClientError(Kind::channel,
                                     errorText(session_, "Reading the command's output failed"));
            }
        }
        if (got) continue;
        if (ssh_channel_is_eof(ch) || ssh_channel_is_closed(ch)) break;
        if (deadline.passed()) throw SSHClientError(Kind::timeout, "The command took too long");
        if (ssh_channel_poll_timeout(ch, deadline.remainingMs(100), 0) == SSH_ERROR) {
            throw SSHClientError(Kind::channel,
                                 errorText(session_, "Reading the command's output failed"));
        }
    }
    // The exit status follows the end of output; a command killed by a signal has none.
    for (;;) {
        result.exitStatus = ssh_channel_get_exit_status(ch);
        if (result.exitStatus != -1 || ssh_channel_is_closed(ch) || !ssh_is_connected(session_))
            break;
        waitForSocket(deadline, "Waiting for the command's exit status");
    }
    return result;
}

} // namespace quillhaven

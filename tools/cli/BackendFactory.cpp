#include "BackendFactory.h"

#include "backends/FlyBackend.h"
#include "backends/LocalBackend.h"
#include "backends/SSHBackend.h"
#include "translation/TranslationHooks.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <optional>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace quillhaven::cli {
namespace {

constexpr double statementTimeoutSeconds = 30;

std::string localUserName() {
    if (const passwd* pw = ::getpwuid(::getuid())) return pw->pw_name;
    if (const char* user = std::getenv("USER")) return user;
    throw std::runtime_error("cannot tell the local user name; give one as ssh://USER@HOST/...");
}

std::string readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read the identity file " + path);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool agentAvailable() {
    const char* sock = std::getenv("SSH_AUTH_SOCK");
    struct stat st {};
    return sock && *sock && ::stat(sock, &st) == 0 && S_ISSOCK(st.st_mode);
}

// Reads a line from the controlling terminal with echo off; nothing when there is none.
std::optional<std::string> promptPassword(const std::string& prompt) {
    int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    termios saved{};
    bool restore = ::tcgetattr(fd, &saved) == 0;
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    (void)!::write(fd, prompt.data(), prompt.size());
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
    (void)!::write(fd, "\n", 1);
    if (restore) ::tcsetattr(fd, TCSAFLUSH, &saved);
    ::close(fd);
    return line;
}

// --identity FILE, else the running ssh-agent, else a password (QUILLHAVEN_SSH_PASSWORD or
// the terminal). Nothing here touches the secret store.
SSHCredentials adHocCredentials(const ServeTarget& target, const std::string& user,
                                const std::string& identityFile) {
    if (!identityFile.empty()) return SSHCredentials::privateKey(readFileBytes(identityFile));
    if (agentAvailable()) return SSHCredentials::agent();
    if (const char* password = std::getenv("QUILLHAVEN_SSH_PASSWORD"))
        return SSHCredentials::password(password);
    if (auto typed = promptPassword(user + "@" + target.host + "'s password: "))
        return SSHCredentials::password(*typed);
    throw std::runtime_error("no credentials for " + target.describe() +
                             ": give --identity FILE, run an ssh-agent, or set "
                             "QUILLHAVEN_SSH_PASSWORD");
}

} // namespace

std::shared_ptr<Backend> makeBackend(const ServeTarget& target, bool readOnly,
                                     const std::string& identityFile) {
    switch (target.kind) {
    case ServeTarget::Kind::local:
        return std::make_shared<LocalBackend>(target.path, readOnly);
    case ServeTarget::Kind::fly:
        return std::make_shared<FlyBackend>(target.app, target.path, statementTimeoutSeconds,
                                            readOnly);
    case ServeTarget::Kind::ssh: {
        std::string user = target.user.empty() ? localUserName() : target.user;
        return std::make_shared<SSHBackend>(target.host, target.port, user,
                                            adHocCredentials(target, user, identityFile),
                                            target.path, statementTimeoutSeconds, readOnly);
    }
    }
    throw std::logic_error("unknown target kind");
}

StatementHooks translationHooks() {
    return sqliteTranslationHooks();
}

} // namespace quillhaven::cli

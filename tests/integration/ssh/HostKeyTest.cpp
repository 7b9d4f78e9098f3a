// The first host key seen is remembered; a server presenting another one is refused.

#include "SSHServer.h"
#include "backends/SSHBackend.h"
#include "support/Text.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using namespace quillhaven;
using sshtest::SSHEnvironment;

namespace {

// Points HOME and XDG_DATA_HOME at fresh folders for one test.
class PrivateHome {
public:
    PrivateHome() {
        ::setenv("HOME", (dir_.path() / "home").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (dir_.path() / "data").c_str(), 1);
        std::filesystem::create_directories(dir_.path() / "home/.ssh");
    }
    ~PrivateHome() {
        ::setenv("HOME", (SSHEnvironment::home() + "/home").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (SSHEnvironment::home() + "/data").c_str(), 1);
    }
    std::string remembered() const { return dir_ / "data/quillhaven/known_hosts"; }
    std::string userKnownHosts() const { return dir_ / "home/.ssh/known_hosts"; }

private:
    testsupport::TempDir dir_;
};

std::string hostPattern() {
    return "[127.0.0.1]:" + std::to_string(SSHEnvironment::server().port());
}

// A known_hosts line for this server carrying some other key.
std::string impostorLine() {
    std::string pub = SSHEnvironment::server().key("k_stranger.pub"); // "ssh-ed25519 AAAA... c"
    return hostPattern() + " " + pub.substr(0, pub.rfind(' ')) + "\n";
}

std::shared_ptr<SSHBackend> makeBackend(const std::string& db) {
    return std::make_shared<SSHBackend>("127.0.0.1", SSHEnvironment::server().port(), sshtest::user,
                                        SSHCredentials::password(sshtest::password), db, 10.0);
}

} // namespace

TEST(SSHHostKey, FirstKeyIsRememberedWithoutAsking) {
    REQUIRE_SSH_SERVER();
    PrivateHome home;
    std::string db = SSHEnvironment::server().makeDatabase("hk1.db", "CREATE TABLE t(a);");
    ASSERT_NO_THROW(makeBackend(db)->connect());
    std::string remembered = sshtest::readFile(home.remembered());
    EXPECT_NE(remembered.find(hostPattern()), std::string::npos) << remembered;
    std::string hostKey = SSHEnvironment::server().hostPublicKey();
    std::string base64 = hostKey.substr(hostKey.find(' ') + 1);
    base64 = base64.substr(0, base64.find(' '));
    EXPECT_NE(remembered.find(base64), std::string::npos) << remembered;
    EXPECT_FALSE(std::filesystem::exists(home.userKnownHosts()));
    // And the remembered key lets the next connection in.
    ASSERT_NO_THROW(makeBackend(db)->connect());
}

TEST(SSHHostKey, ChangedKeyIsRefused) {
    REQUIRE_SSH_SERVER();
    std::string db = SSHEnvironment::server().makeDatabase("hk2.db", "CREATE TABLE t(a);");
    for (bool inUserFile : {false, true}) {
        PrivateHome home;
        std::string file = inUserFile ? home.userKnownHosts() : home.remembered();
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        std::ofstream(file) << impostorLine();

        auto backend = makeBackend(db);
        std::string error;
        try {
            backend->connect();
        } catch (const Error& e) {
            error = e.what();
        }
        EXPECT_TRUE(text::startsWith(error, "SSH connection failed: The host key of 127.0.0.1:" +
                                                std::to_string(SSHEnvironment::server().port()) +
                                                " has changed"))
            << error;
        EXPECT_FALSE(backend->isAlive());
        EXPECT_EQ(sshtest::readFile(file), impostorLine()) << "the old key stays";
    }
}

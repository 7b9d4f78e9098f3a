// A saved connection's secret is read from the secret store when the backend connects.

#include "SSHServer.h"
#include "backends/SSHBackend.h"
#include "connections/KeychainHelper.h"
#include "support/Text.h"
#include "support/UUID.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace quillhaven;
using sshtest::SSHEnvironment;

TEST(SSHStoredSecrets, PasswordAndKeyFromTheStoreOrTheirAbsence) {
    REQUIRE_SSH_SERVER();
    if (!std::getenv("QUILLHAVEN_TEST_KEYRING")) GTEST_SKIP() << "needs the keyring session";
    auto& server = SSHEnvironment::server();
    std::string db = server.makeDatabase("stored.db", "CREATE TABLE t(a);");
    std::string withPassword = uuid::make(), withKey = uuid::make(), empty = uuid::make();
    KeychainHelper::savePassword(sshtest::password, withPassword);
    KeychainHelper::saveSSHKey(server.key("k_rsa"), withKey);

    struct Case {
        SSHAuthMethod method;
        std::string id;
        std::string error; // empty: connects
    } cases[] = {
        {SSHAuthMethod::password, withPassword, ""},
        {SSHAuthMethod::key, withKey, ""},
        {SSHAuthMethod::password, empty,
         "SSH authentication failed: No password found in Keychain for connection " + empty},
        {SSHAuthMethod::key, empty,
         "SSH authentication failed: No SSH key found in Keychain for connection " + empty},
        // The secrets are looked up, and the id shown, in the canonical upper-case form.
        {SSHAuthMethod::password, text::toLowerASCII(withPassword), ""},
        {SSHAuthMethod::password, text::toLowerASCII(empty),
         "SSH authentication failed: No password found in Keychain for connection " + empty},
    };
    for (const auto& c : cases) {
        SSHBackend backend("127.0.0.1", server.port(), sshtest::user, c.method, c.id, db, 10);
        std::string error;
        try {
            backend.connect();
        } catch (const Error& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error) << c.id;
        EXPECT_EQ(backend.isAlive(), c.error.empty());
    }
    KeychainHelper::deleteCredentials(withPassword);
    KeychainHelper::deleteCredentials(withKey);
}

#pragma once

#include "support/Error.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quillhaven {

// A write to the secret store failed.
class KeychainError : public Error {
public:
    enum class Kind { unexpectedStatus, dataConversionFailed };

    // "Keychain error (N): message"; an empty message reads "Unknown error".
    static KeychainError unexpectedStatus(std::int32_t status, const std::string& message);
    // "Failed to convert Keychain data to the expected type"
    static KeychainError dataConversionFailed();

    Kind kind() const { return kind_; }
    std::int32_t status() const { return status_; }

private:
    KeychainError(Kind kind, std::int32_t status, const std::string& description);
    Kind kind_;
    std::int32_t status_;
};

// The secrets of saved connections, one item per secret in the desktop's Secret Service,
// each carrying the attributes service = `service` and account = the connection id in
// upper-case canonical form plus a suffix. Stateless; callable from any thread. Every call
// is bounded in time, also when no session bus or no Secret Service can be reached.
//
// Saves throw KeychainError; loads yield nothing on any failure (no item, locked or
// unreachable store, text that is not UTF-8); deletes never fail and never report.
// Secrets are never written anywhere else.
class KeychainHelper {
public:
    static constexpr const char* service = "com.brackwell.quillhaven";

    static void savePassword(const std::string& password, const std::string& id);
    static std::optional<std::string> loadPassword(const std::string& id);
    static void deletePassword(const std::string& id);

    // The key bytes are stored exactly as given (any bytes, any size).
    static void saveSSHKey(const std::string& keyBytes, const std::string& id);
    static std::optional<std::string> loadSSHKey(const std::string& id);
    static void deleteSSHKey(const std::string& id);

    static void saveSSHKeyPassphrase(const std::string& passphrase, const std::string& id);
    static std::optional<std::string> loadSSHKeyPassphrase(const std::string& id);
    static void deleteSSHKeyPassphrase(const std::string& id);

    // Deletes the password, then the private key, then the passphrase.
    static void deleteCredentials(const std::string& id);

    // The account names: id + "-password", "-sshkey", "-sshkey-passphrase". An id that
    // parses as a UUID is written in canonical upper-case form first.
    static std::string passwordAccount(const std::string& id);
    static std::string sshKeyAccount(const std::string& id);
    static std::string sshKeyPassphraseAccount(const std::string& id);

    KeychainHelper() = delete;

private:
    static void saveData(const std::string& data, const std::string& account, bool isText);
    static std::optional<std::string> loadData(const std::string& account);
    static void deleteItem(const std::string& account);
    // Text is stored as its UTF-8 bytes; stored bytes that are not UTF-8 read as nothing.
    static void saveText(const std::string& value, const std::string& account);
    static std::optional<std::string> loadText(const std::string& account);
};

} // namespace quillhaven

#include "connections/KeychainHelper.h"

#include "support/Text.h"
#include "support/UUID.h"

#include <functional>
#include <gio/gio.h>
#include <libsecret/secret.h>
#include <memory>
#include <utility>
#include <vector>

namespace quillhaven {

KeychainError::KeychainError(Kind kind, std::int32_t status, const std::string& description)
    : Error(description), kind_(kind), status_(status) {}

KeychainError KeychainError::unexpectedStatus(std::int32_t status, const std::string& message) {
    return KeychainError(Kind::unexpectedStatus, status,
                         "Keychain error (" + std::to_string(status) +
                             "): " + (message.empty() ? "Unknown error" : message));
}

KeychainError KeychainError::dataConversionFailed() {
    return KeychainError(Kind::dataConversionFailed, 0,
                         "Failed to convert Keychain data to the expected type");
}

namespace {

// Reaching the bus must be quick: without a bus, or with an address whose other end never
// answers, the connection handshake would otherwise wait for ever.
constexpr guint busTimeoutMs = 5000;
// A Secret Service step may show an unlock prompt, so it gets time for a person to answer.
constexpr guint serviceTimeoutMs = 120000;

const SecretSchema* schema() {
    static const SecretSchema value = [] {
        SecretSchema s{};
        s.name = KeychainHelper::service;
        // Items stored by other tools with the same two attributes are the same items.
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &value;
}

struct Failure {
    std::int32_t code;
    std::string message;
};

struct GLibFree {
    void operator()(gpointer object) const { g_object_unref(object); }
    void operator()(SecretValue* value) const { secret_value_unref(value); }
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using ServicePtr = std::unique_ptr<SecretService, GLibFree>;
using ResultPtr = std::unique_ptr<GAsyncResult, GLibFree>;
using ValuePtr = std::unique_ptr<SecretValue, GLibFree>;
using TablePtr = std::unique_ptr<GHashTable, GLibFree>;

// One store operation: a private main context pushed as this thread's default, so that
// the asynchronous calls complete here whatever thread (or event loop) the caller is on,
// and every step runs under a deadline after which it is cancelled.
class SecretCall {
public:
    SecretCall() : context_(g_main_context_new()) { g_main_context_push_thread_default(context_); }
    ~SecretCall() {
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }
    SecretCall(const SecretCall&) = delete;
    SecretCall& operator=(const SecretCall&) = delete;

    // Runs one asynchronous step to completion. A step that outlives its deadline is
    // cancelled and waited for, so nothing is left running when this returns.
    ResultPtr run(guint timeoutMs,
                  const std::function<void(GCancellable*, GAsyncReadyCallback, gpointer)>& start) {
        GCancellable* cancellable = g_cancellable_new();
        struct Timer {
            GCancellable* cancellable;
            bool fired = false;
        } timer{cancellable};
        GSource* source = g_timeout_source_new(timeoutMs);
        g_source_set_callback(
            source,
            [](gpointer data) -> gboolean {
                auto* t = static_cast<Timer*>(data);
                t->fired = true;
                g_cancellable_cancel(t->cancellable);
                return G_SOURCE_REMOVE;
            },
            &timer, nullptr);
        g_source_attach(source, context_);

        GAsyncResult* result = nullptr;
        start(
            cancellable,
            [](GObject*, GAsyncResult* r, gpointer out) {
                *static_cast<GAsyncResult**>(out) = G_ASYNC_RESULT(g_object_ref(r));
            },
            &result);
        while (!result) g_main_context_iteration(context_, TRUE);

        g_source_destroy(source);
        g_source_unref(source);
        g_object_unref(cancellable);
        timedOut_ = timer.fired;
        return ResultPtr(result);
    }

    // Turns a step's error into the failure a caller sees, then frees it.
    Failure failure(GError* error) const {
        Failure f{-1, ""};
        if (timedOut_) {
            f = {G_IO_ERROR_TIMED_OUT, "The Secret Service did not answer in time"};
        } else if (error) {
            g_dbus_error_strip_remote_error(error);
            f = {error->code, error->message ? error->message : ""};
        }
        if (error) g_error_free(error);
        return f;
    }

private:
    GMainContext* context_;
    bool timedOut_ = false;
};

// The session bus and then the Secret Service on it; nothing when either cannot be had.
ServicePtr openService(SecretCall& call, Failure& failure) {
    GError* error = nullptr;
    ResultPtr busResult = call.run(busTimeoutMs, [](GCancellable* c, auto done, gpointer out) {
        g_bus_get(G_BUS_TYPE_SESSION, c, done, out);
    });
    GDBusConnection* bus = g_bus_get_finish(busResult.get(), &error);
    if (!bus) {
        failure = call.failure(error);
        return nullptr;
    }
    // The shared bus connection ends the process when the bus goes away, by default; a
    // vanished keyring must never take the running servers down with it.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    if (g_dbus_connection_is_closed(bus)) {
        // GLib keeps handing out the closed connection; asking libsecret to use it only
        // fills the log with warnings.
        g_object_unref(bus);
        failure = {G_IO_ERROR_CLOSED, "The connection is closed"};
        return nullptr;
    }

    auto getService = [&]() -> SecretService* {
        ResultPtr result = call.run(serviceTimeoutMs, [](GCancellable* c, auto done, gpointer out) {
            secret_service_get(SECRET_SERVICE_OPEN_SESSION, c, done, out);
        });
        return secret_service_get_finish(result.get(), &error);
    };
    SecretService* service = getService();
    if (service &&
        g_dbus_connection_is_closed(g_dbus_proxy_get_connection(G_DBUS_PROXY(service)))) {
        // The cached service outlived its bus (the session bus or keyring restarted):
        // forget it and reach the service again over the current bus.
        g_object_unref(service);
        secret_service_disconnect();
        service = getService();
    }
    g_object_unref(bus);
    if (!service) failure = call.failure(error);
    return ServicePtr(service);
}

TablePtr attributesFor(const std::string& account) {
    GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    g_hash_table_insert(table, g_strdup("service"), g_strdup(KeychainHelper::service));
    g_hash_table_insert(table, g_strdup("account"), g_strdup(account.c_str()));
    return TablePtr(table);
}

// Every item under the account, unlocked (which may prompt); nothing on failure.
std::optional<std::vector<SecretItem*>> findItems(SecretCall& call, SecretService* service,
                                                  GHashTable* attributes, Failure& failure) {
    ResultPtr result = call.run(serviceTimeoutMs, [&](GCancellable* c, auto done, gpointer out) {
        secret_service_search(
            service, schema(), attributes,
            static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK), c, done, out);
    });
    GError* error = nullptr;
    GList* list = secret_service_search_finish(service, result.get(), &error);
    if (error) {
        failure = call.failure(error);
        g_list_free_full(list, g_object_unref);
        return std::nullopt;
    }
    std::vector<SecretItem*> items;
    for (GList* l = list; l; l = l->next) items.push_back(SECRET_ITEM(l->data));
    g_list_free(list); // the vector owns the references now
    return items;
}

void releaseItems(std::vector<SecretItem*>& items) {
    for (SecretItem* item : items) g_object_unref(item);
    items.clear();
}

std::string canonicalId(const std::string& id) {
    return uuid::normalized(id).value_or(id);
}

} // namespace

std::string KeychainHelper::passwordAccount(const std::string& id) {
    return canonicalId(id) + "-password";
}
std::string KeychainHelper::sshKeyAccount(const std::string& id) {
    return canonicalId(id) + "-sshkey";
}
std::string KeychainHelper::sshKeyPassphraseAccount(const std::string& id) {
    return canonicalId(id) + "-sshkey-passphrase";
}

// Update first, add only when there is nothing to update: saving over an existing item
// replaces its secret in place and keeps its other attributes.
void KeychainHelper::saveData(const std::string& data, const std::string& account, bool isText) {
    SecretCall call;
    Failure failure{-1, ""};
    ServicePtr service = openService(call, failure);
    if (!service) throw KeychainError::unexpectedStatus(failure.code, failure.message);
    TablePtr attributes = attributesFor(account);
    auto items = findItems(call, service.get(), attributes.get(), failure);
    if (!items) throw KeychainError::unexpectedStatus(failure.code, failure.message);

    ValuePtr value(secret_value_new(data.data(), static_cast<gssize>(data.size()),
                                    isText ? "text/plain" : "application/octet-stream"));
    GError* error = nullptr;
    if (!items->empty()) {
        for (SecretItem* item : *items) {
            ResultPtr result =
                call.run(serviceTimeoutMs, [&](GCancellable* c, auto done, gpointer out) {
                    secret_item_set_secret(item, value.get(), c, done, out);
                });
            if (!secret_item_set_secret_finish(item, result.get(), &error)) break;
        }
        releaseItems(*items);
    } else {
        std::string label = "Quillhaven: " + account;
        ResultPtr result =
            call.run(serviceTimeoutMs, [&](GCancellable* c, auto done, gpointer out) {
                secret_service_store(service.get(), schema(), attributes.get(),
                                     SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(), c, done,
                                     out);
            });
        secret_service_store_finish(service.get(), result.get(), &error);
    }
    if (error) {
        failure = call.failure(error);
        throw KeychainError::unexpectedStatus(failure.code, failure.message);
    }
}

std::optional<std::string> KeychainHelper::loadData(const std::string& account) {
    SecretCall call;
    Failure failure{-1, ""};
    ServicePtr service = openService(call, failure);
    if (!service) return std::nullopt;
    TablePtr attributes = attributesFor(account);
    ResultPtr result = call.run(serviceTimeoutMs, [&](GCancellable* c, auto done, gpointer out) {
        secret_service_lookup(service.get(), schema(), attributes.get(), c, done, out);
    });
    GError* error = nullptr;
    ValuePtr value(secret_service_lookup_finish(service.get(), result.get(), &error));
    if (error) g_error_free(error);
    if (!value) return std::nullopt;
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    return std::string(bytes, length);
}

void KeychainHelper::deleteItem(const std::string& account) {
    SecretCall call;
    Failure failure{-1, ""};
    ServicePtr service = openService(call, failure);
    if (!service) return;
    TablePtr attributes = attributesFor(account);
    auto items = findItems(call, service.get(), attributes.get(), failure);
    if (!items) return;
    for (SecretItem* item : *items) {
        ResultPtr result =
            call.run(serviceTimeoutMs, [&](GCancellable* c, auto done, gpointer out) {
                secret_item_delete(item, c, done, out);
            });
        GError* error = nullptr;
        secret_item_delete_finish(item, result.get(), &error);
        if (error) g_error_free(error);
    }
    releaseItems(*items);
}

void KeychainHelper::saveText(const std::string& value, const std::string& account) {
    if (!text::isValidUTF8(value)) throw KeychainError::dataConversionFailed();
    saveData(value, account, true);
}

std::optional<std::string> KeychainHelper::loadText(const std::string& account) {
    auto data = loadData(account);
    if (data && !text::isValidUTF8(*data)) return std::nullopt;
    return data;
}

void KeychainHelper::savePassword(const std::string& password, const std::string& id) {
    saveText(password, passwordAccount(id));
}

std::optional<std::string> KeychainHelper::loadPassword(const std::string& id) {
    return loadText(passwordAccount(id));
}

void KeychainHelper::deletePassword(const std::string& id) {
    deleteItem(passwordAccount(id));
}

void KeychainHelper::saveSSHKey(const std::string& keyBytes, const std::string& id) {
    saveData(keyBytes, sshKeyAccount(id), false);
}

std::optional<std::string> KeychainHelper::loadSSHKey(const std::string& id) {
    return loadData(sshKeyAccount(id));
}

void KeychainHelper::deleteSSHKey(const std::string& id) {
    deleteItem(sshKeyAccount(id));
}

void KeychainHelper::saveSSHKeyPassphrase(const std::string& passphrase, const std::string& id) {
    saveText(passphrase, sshKeyPassphraseAccount(id));
}

std::optional<std::string> KeychainHelper::loadSSHKeyPassphrase(const std::string& id) {
    return loadText(sshKeyPassphraseAccount(id));
}

void KeychainHelper::deleteSSHKeyPassphrase(const std::string& id) {
    deleteItem(sshKeyPassphraseAccount(id));
}

void KeychainHelper::deleteCredentials(const std::string& id) {
    deletePassword(id);
    deleteSSHKey(id);
    deleteSSHKeyPassphrase(id);
}

} // namespace quillhaven

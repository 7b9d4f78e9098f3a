#pragma once

#include "connections/Connection.h"
#include "connections/ConnectionState.h"
#include "frontend/StatementHooks.h"
#include "support/Signal.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quillhaven {

class Backend;
class MainQueue;
class ProxyServer;
class RepeatingTimer;
class SyncStore;
class UserDefaults;

// Owns the user's connections while the program runs: the saved list (kept in the user
// defaults and the shared store, merged with what other machines wrote), one state per
// connection, and the backend and local server of every running connection. Every
// operation runs on the main queue; the manager has no locks.
class ConnectionManager : public std::enable_shared_from_this<ConnectionManager> {
public:
    static constexpr const char* storageKey = "com.brackwell.quillhaven.connections";
    static constexpr const char* deletedIdsKey = "com.brackwell.quillhaven.deleted-ids";
    static constexpr const char* reconnectSettingKey =
        "com.brackwell.quillhaven.reconnect-on-startup";
    static constexpr const char* activeConnectionsKey =
        "com.brackwell.quillhaven.active-connections";
    static constexpr const char* connectionLostMessage =
        "Connection lost — the remote server may have shut down or rebooted.";

    // Builds the (not yet connected) backend of a record whose details are complete.
    using BackendFactory = std::function<std::shared_ptr<Backend>(const Connection&)>;

    struct Options {
        std::shared_ptr<MainQueue> mainQueue; // required
        // Default: the user's own defaults file.
        std::shared_ptr<UserDefaults> defaults;
        // The shared store; when absent and discoverSyncStore is true, the folder from
        // SyncStore::configuredFolder is opened (none configured = no shared store).
        std::shared_ptr<SyncStore> syncStore;
        bool discoverSyncStore = true;
        // Default: SSHBackend or FlyBackend with a 30-second timeout.
        BackendFactory backendFactory;
        // Default: the SQLite translation rules.
        std::optional<StatementHooks> hooks;
        // Default: the keyring.
        std::function<void(const std::string& id)> deleteCredentials;
        std::chrono::milliseconds healthCheckInterval{10000};
    };

    // Loads the saved list, merges it with the shared store and starts the health check.
    static std::shared_ptr<ConnectionManager> create(Options options);
    ~ConnectionManager();
    ConnectionManager(const ConnectionManager&) = delete;
    ConnectionManager& operator=(const ConnectionManager&) = delete;

    // Emitted after every assignment of the list or of the reconnect setting.
    Signal<> changed;

    const std::vector<Connection>& connections() const { return connections_; }
    void setConnections(std::vector<Connection> list);
    void modifyConnections(const std::function<void(std::vector<Connection>&)>& change);

    const std::map<std::string, std::shared_ptr<ConnectionState>>& states() const {
        return states_;
    }
    void setStates(std::map<std::string, std::shared_ptr<ConnectionState>> states);

    bool reconnectOnStartup() const { return reconnectOnStartup_; }
    void setReconnectOnStartup(bool on);

    void addConnection(const Connection& connection);
    void addConnection();
    void updateConnection(const Connection& connection);
    void removeConnection(const std::string& id);
    void startConnection(const std::string& id);
    void stopConnection(const std::string& id);
    void startAll();
    void stopAll();
    void saveActiveConnections();
    void reconnectPreviouslyActive();
    std::shared_ptr<ConnectionState> stateForConnection(const std::string& id);
    std::shared_ptr<ConnectionState> stateFor(const Connection& connection) {
        return stateForConnection(connection.id);
    }
    std::uint16_t nextAvailablePort() const;

    // The shared store in use, if any; switching the folder merges what it holds.
    std::shared_ptr<SyncStore> syncStore() const { return syncStore_; }
    void setSyncFolder(const std::optional<std::filesystem::path>& folder);

    // The standard backend of a record: SSHBackend or FlyBackend.
    static std::shared_ptr<Backend> makeBackend(const Connection& connection);

private:
    explicit ConnectionManager(Options options);
    void attachSyncStore(std::shared_ptr<SyncStore> store);

    void checkConnectionHealth();
    void saveConnections();
    void loadConnections();
    void mergeFromiCloud();
    std::set<std::string> loadDeletedIds() const;
    void saveDeletedIds(const std::set<std::string>& ids);

    struct PendingStart;
    void finishStart(const Connection& record, const std::shared_ptr<Backend>& backend,
                     const std::shared_ptr<PendingStart>& pending);
    // Whether a report of the start numbered `generation` may still move the state.
    bool isCurrent(const std::string& id, std::uint64_t generation) const;

    std::vector<Connection> connections_;
    std::map<std::string, std::shared_ptr<ConnectionState>> states_;
    std::map<std::string, std::shared_ptr<ProxyServer>> servers_;
    std::map<std::string, std::shared_ptr<Backend>> backends_;
    std::shared_ptr<RepeatingTimer> healthCheckTimer_;
    bool reconnectOnStartup_ = false;
    bool isMerging_ = false;

    // Starts whose backend is still connecting, so that a stop can cancel them.
    std::map<std::string, std::shared_ptr<PendingStart>> pendingStarts_;
    // Bumped by every start: reports of an earlier server of the id no longer move the
    // state of a newer start.
    std::map<std::string, std::uint64_t> generations_;

    std::shared_ptr<MainQueue> mainQueue_;
    std::shared_ptr<UserDefaults> defaults_;
    std::shared_ptr<SyncStore> syncStore_;
    BackendFactory backendFactory_;
    StatementHooks hooks_;
    std::function<void(const std::string&)> deleteCredentials_;
    std::chrono::milliseconds healthCheckInterval_;
};

} // namespace quillhaven

#include "connections/ConnectionManager.h"

#include "backends/Backend.h"
#include "backends/FlyBackend.h"
#include "backends/SSHBackend.h"
#include "connections/KeychainHelper.h"
#include "connections/SyncStore.h"
#include "connections/UserDefaults.h"
#include "frontend/ProxyServer.h"
#include "support/Error.h"
#include "support/MainQueue.h"
#include "support/UUID.h"
#include "translation/TranslationHooks.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <thread>
#include <unistd.h>

namespace quillhaven {

namespace {

constexpr double backendTimeout = 30.0;

std::string utcTimestamp() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// One line per statement to the file named by QUERY_LOG. O_APPEND makes every line land
// whole at the end even when several sessions log at once. Failures are ignored.
void appendToQueryLog(const std::string& name, std::uint16_t port, const std::string& sql) {
    const char* path = std::getenv("QUERY_LOG");
    if (!path || !*path) return;
    std::string line =
        "[" + utcTimestamp() + "] [" + name + ":" + std::to_string(port) + "] " + sql + "\n";
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (::write(fd, line.data(), line.size()) < 0) {
    }
    ::close(fd);
}

void resetState(ConnectionState& state, ConnectionStatus status) {
    state.setStatus(status);
    state.setErrorMessage(std::nullopt);
    state.setConnectedClients(0);
    state.setQueryCount(0);
}

void fail(ConnectionState& state, const std::string& message) {
    state.setStatus(ConnectionStatus::error);
    state.setErrorMessage(message);
}

} // namespace

struct ConnectionManager::PendingStart {
    std::uint64_t generation = 0;
    bool cancelled = false; // main thread only
};

// ---------------------------------------------------------------------------------------
// Construction

ConnectionManager::ConnectionManager(Options options)
    : mainQueue_(std::move(options.mainQueue)), defaults_(std::move(options.defaults)),
      backendFactory_(std::move(options.backendFactory)),
      hooks_(options.hooks ? *options.hooks : sqliteTranslationHooks()),
      deleteCredentials_(std::move(options.deleteCredentials)),
      healthCheckInterval_(options.healthCheckInterval) {
    if (!defaults_) defaults_ = std::make_shared<UserDefaults>();
    if (!backendFactory_) backendFactory_ = &ConnectionManager::makeBackend;
    if (!deleteCredentials_)
        deleteCredentials_ = [](const std::string& id) { KeychainHelper::deleteCredentials(id); };
}

std::shared_ptr<ConnectionManager> ConnectionManager::create(Options options) {
    auto syncStore = options.syncStore;
    bool discover = options.discoverSyncStore;
    std::shared_ptr<ConnectionManager> self(new ConnectionManager(std::move(options)));
    self->setReconnectOnStartup(self->defaults_->boolean(reconnectSettingKey).value_or(false));
    if (!syncStore && discover) {
        if (auto folder = SyncStore::configuredFolder(*self->defaults_))
            syncStore = SyncStore::open(*folder, self->mainQueue_);
    }
    self->attachSyncStore(std::move(syncStore));
    if (self->syncStore_) self->syncStore_->synchronize();
    self->loadConnections();
    self->mergeFromiCloud();
    std::weak_ptr<ConnectionManager> weak = self;
    self->healthCheckTimer_ =
        self->mainQueue_->scheduleRepeating(self->healthCheckInterval_, [weak] {
            if (auto manager = weak.lock()) manager->checkConnectionHealth();
        });
    return self;
}

ConnectionManager::~ConnectionManager() {
    // The timer would find no manager anyway; cancelling keeps the loop from waking for it.
    if (healthCheckTimer_) healthCheckTimer_->cancel();
}

void ConnectionManager::attachSyncStore(std::shared_ptr<SyncStore> store) {
    syncStore_ = std::move(store);
    if (!syncStore_) return;
    std::weak_ptr<ConnectionManager> weak = weak_from_this();
    syncStore_->setChangeHandler([weak] {
        if (auto manager = weak.lock()) manager->mergeFromiCloud();
    });
}

void ConnectionManager::setSyncFolder(const std::optional<std::filesystem::path>& folder) {
    if (folder)
        defaults_->setString(SyncStore::folderSettingKey, folder->string());
    else
        defaults_->remove(SyncStore::folderSettingKey);
    if (syncStore_) syncStore_->setChangeHandler(nullptr);
    attachSyncStore(folder ? SyncStore::open(*folder, mainQueue_) : nullptr);
    mergeFromiCloud();
}

std::shared_ptr<Backend> ConnectionManager::makeBackend(const Connection& c) {
    if (c.type == ConnectionType::ssh)
        return std::make_shared<SSHBackend>(*c.sshHostname, c.sshPort.value_or(22), *c.sshUsername,
                                            *c.sshAuthMethod, c.id, c.dbPath, backendTimeout,
                                            c.readOnly);
    return std::make_shared<FlyBackend>(*c.flyApp, c.dbPath, backendTimeout, c.readOnly);
}

// ---------------------------------------------------------------------------------------
// Observable fields

void ConnectionManager::setConnections(std::vector<Connection> list) {
    connections_ = std::move(list);
    changed.emit();
    if (!isMerging_) saveConnections();
}

void ConnectionManager::modifyConnections(
    const std::function<void(std::vector<Connection>&)>& change) {
    auto list = connections_;
    change(list);
    setConnections(std::move(list));
}

void ConnectionManager::setStates(std::map<std::string, std::shared_ptr<ConnectionState>> states) {
    states_ = std::move(states);
}

void ConnectionManager::setReconnectOnStartup(bool on) {
    reconnectOnStartup_ = on;
    changed.emit();
    defaults_->setBoolean(reconnectSettingKey, on);
}

// ---------------------------------------------------------------------------------------
// Editing the list

void ConnectionManager::addConnection(const Connection& connection) {
    modifyConnections([&](auto& list) { list.push_back(connection); });
    states_[connection.id] = std::make_shared<ConnectionState>();
}

void ConnectionManager::addConnection() {
    Connection record;
    record.id = uuid::make();
    record.name = "New Connection";
    record.type = ConnectionType::fly;
    record.localPort = nextAvailablePort();
    record.flyApp = "";
    record.readOnly = false;
    addConnection(record);
}

void ConnectionManager::updateConnection(const Connection& connection) {
    bool wasRunning = servers_.count(connection.id) > 0;
    auto it = std::find_if(connections_.begin(), connections_.end(),
                           [&](const Connection& c) { return c.id == connection.id; });
    if (it != connections_.end()) {
        auto index = it - connections_.begin();
        modifyConnections([&](auto& list) { list[index] = connection; });
    }
    if (wasRunning) {
        stopConnection(connection.id);
        startConnection(connection.id);
    }
}

void ConnectionManager::removeConnection(const std::string& id) {
    stopConnection(id);
    deleteCredentials_(id);
    auto deleted = loadDeletedIds();
    if (auto canonical = uuid::normalized(id)) deleted.insert(*canonical);
    // The tombstone goes out before the shorter list, so that no machine can see the list
    // without the record and then bring the record back from its own copy.
    saveDeletedIds(deleted);
    modifyConnections([&](auto& list) {
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const Connection& c) { return c.id == id; }),
                   list.end());
    });
    states_.erase(id);
    servers_.erase(id);
}

// ---------------------------------------------------------------------------------------
// Starting and stopping

std::shared_ptr<ConnectionState> ConnectionManager::stateForConnection(const std::string& id) {
    auto& state = states_[id];
    if (!state) state = std::make_shared<ConnectionState>();
    return state;
}

bool ConnectionManager::isCurrent(const std::string& id, std::uint64_t generation) const {
    auto it = generations_.find(id);
    return it != generations_.end() && it->second == generation;
}

void ConnectionManager::startConnection(const std::string& id) {
    auto it = std::find_if(connections_.begin(), connections_.end(),
                           [&](const Connection& c) { return c.id == id; });
    if (it == connections_.end()) return;
    Connection record = *it;
    auto state = stateForConnection(id);
    if (state->status() == ConnectionStatus::connecting ||
        state->status() == ConnectionStatus::connected)
        return;
    resetState(*state, ConnectionStatus::connecting);

    if (record.type == ConnectionType::ssh) {
        if (!record.sshHostname || !record.sshUsername || !record.sshAuthMethod)
            return fail(*state, "SSH connection details are incomplete");
    } else if (!record.flyApp) {
        return fail(*state, "Fly.io app name is missing");
    }
    std::shared_ptr<Backend> backend;
    try {
        backend = backendFactory_(record);
    } catch (const std::exception& e) {
        return fail(*state, std::string("SSH connect failed: ") + e.what());
    }

    auto pending = std::make_shared<PendingStart>();
    pending->generation = ++generations_[id];
    pendingStarts_[id] = pending;

    std::weak_ptr<ConnectionManager> weakSelf = weak_from_this();
    std::weak_ptr<ConnectionState> weakState = state;
    auto queue = mainQueue_;
    std::thread([weakSelf, weakState, queue, backend, record, pending] {
        try {
            backend->connect();
        } catch (const std::exception& e) {
            std::string message = std::string("SSH connect failed: ") + e.what();
            queue->post([weakSelf, weakState, pending, message, id = record.id] {
                // A stop issued meanwhile already settled the state.
                if (pending->cancelled) return;
                if (auto self = weakSelf.lock()) self->pendingStarts_.erase(id);
                if (auto state = weakState.lock()) fail(*state, message);
            });
            return;
        }
        queue->post([weakSelf, backend, record, pending] {
            auto self = weakSelf.lock();
            if (!self || pending->cancelled) {
                // Stopped (or the manager went away) while connecting: the server is
                // never started and the connected backend is not left open.
                backend->close();
                return;
            }
            self->finishStart(record, backend, pending);
        });
    }).detach();
}

void ConnectionManager::finishStart(const Connection& record,
                                    const std::shared_ptr<Backend>& backend,
                                    const std::shared_ptr<PendingStart>& pending) {
    const std::string id = record.id;
    pendingStarts_.erase(id);
    std::weak_ptr<ConnectionManager> weakSelf = weak_from_this();
    std::weak_ptr<ConnectionState> weakState = stateForConnection(id);
    auto queue = mainQueue_;
    auto generation = pending->generation;

    auto queryLog = [weakState, queue, name = record.name,
                     port = record.localPort](const std::string& sql) {
        queue->post([weakState] {
            if (auto state = weakState.lock()) state->setQueryCount(state->queryCount() + 1);
        });
        appendToQueryLog(name, port, sql);
    };

    auto status = [weakSelf, weakState, queue, id, generation](const ProxyServerStatus& report) {
        queue->post([weakSelf, weakState, id, generation, report] {
            auto state = weakState.lock();
            if (!state) return;
            auto self = weakSelf.lock();
            if (self && !self->isCurrent(id, generation)) return;
            bool saveActive = true;
            switch (report.kind) {
            case ProxyServerStatus::Kind::listening:
                state->setStatus(ConnectionStatus::connected);
                break;
            case ProxyServerStatus::Kind::stopped:
                state->setStatus(ConnectionStatus::stopped);
                break;
            case ProxyServerStatus::Kind::error:
                fail(*state, report.text);
                break;
            case ProxyServerStatus::Kind::clientConnected:
            case ProxyServerStatus::Kind::clientDisconnected:
                state->setConnectedClients(report.count);
                saveActive = false;
                break;
            }
            if (saveActive && self) self->saveActiveConnections();
        });
    };

    auto server = std::make_shared<ProxyServer>(record.localPort, backend, record.readOnly,
                                                queryLog, status, hooks_);
    // A backend left connected by an earlier start whose server could not listen.
    if (auto old = backends_.find(id); old != backends_.end() && old->second != backend)
        old->second->close();
    servers_[id] = server;
    backends_[id] = backend;
    try {
        server->start();
    } catch (const std::exception& e) {
        // Posted, so that it lands after the server's own error report and remains.
        std::string message = e.what();
        queue->post([weakSelf, weakState, id, generation, message] {
            auto self = weakSelf.lock();
            if (self && !self->isCurrent(id, generation)) return;
            if (auto state = weakState.lock()) fail(*state, message);
        });
    }
}

void ConnectionManager::stopConnection(const std::string& id) {
    if (auto pending = pendingStarts_.find(id); pending != pendingStarts_.end()) {
        pending->second->cancelled = true;
        pendingStarts_.erase(pending);
    }
    if (auto server = servers_.find(id); server != servers_.end()) {
        auto stopping = server->second;
        servers_.erase(server);
        stopping->stop();
    }
    if (auto backend = backends_.find(id); backend != backends_.end()) {
        auto closing = backend->second;
        backends_.erase(backend);
        closing->close();
    }
    if (auto state = states_.find(id); state != states_.end())
        resetState(*state->second, ConnectionStatus::stopped);
}

void ConnectionManager::startAll() {
    for (const auto& record : std::vector<Connection>(connections_)) {
        auto status = stateForConnection(record.id)->status();
        if (status == ConnectionStatus::stopped || status == ConnectionStatus::error)
            startConnection(record.id);
    }
}

void ConnectionManager::stopAll() {
    for (const auto& record : std::vector<Connection>(connections_)) stopConnection(record.id);
}

// ---------------------------------------------------------------------------------------
// Running connections across launches

void ConnectionManager::saveActiveConnections() {
    std::vector<std::string> ids;
    for (const auto& record : connections_) {
        auto state = states_.find(record.id);
        if (state == states_.end()) continue;
        auto status = state->second->status();
        if (status == ConnectionStatus::connected || status == ConnectionStatus::connecting)
            ids.push_back(uuid::normalized(record.id).value_or(record.id));
    }
    defaults_->setStringArray(activeConnectionsKey, ids);
}

void ConnectionManager::reconnectPreviouslyActive() {
    if (!reconnectOnStartup_) return;
    auto stored = defaults_->stringArray(activeConnectionsKey);
    if (!stored) return;
    std::set<std::string> ids;
    for (const auto& text : *stored)
        if (auto id = uuid::normalized(text)) ids.insert(*id);
    for (const auto& record : std::vector<Connection>(connections_)) {
        if (!ids.count(uuid::normalized(record.id).value_or(record.id))) continue;
        auto status = stateForConnection(record.id)->status();
        if (status == ConnectionStatus::stopped || status == ConnectionStatus::error)
            startConnection(record.id);
    }
}

std::uint16_t ConnectionManager::nextAvailablePort() const {
    std::set<unsigned> used;
    for (const auto& record : connections_) used.insert(record.localPort);
    for (unsigned port = 5432; port <= 65535; ++port)
        if (!used.count(port)) return static_cast<std::uint16_t>(port);
    // Every port above 5432 is taken by a record: fall back to the unprivileged ports below.
    for (unsigned port = 1024; port < 5432; ++port)
        if (!used.count(port)) return static_cast<std::uint16_t>(port);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Health check

void ConnectionManager::checkConnectionHealth() {
    auto snapshot = backends_;
    for (const auto& [id, backend] : snapshot) {
        auto state = states_.find(id);
        if (state == states_.end() || state->second->status() != ConnectionStatus::connected)
            continue;
        if (backend->isAlive()) continue;
        if (auto server = servers_.find(id); server != servers_.end()) {
            auto stopping = server->second;
            servers_.erase(server);
            stopping->stop();
        }
        backends_.erase(id);
        state->second->setStatus(ConnectionStatus::error);
        state->second->setErrorMessage(std::string(connectionLostMessage));
        state->second->setConnectedClients(0);
        saveActiveConnections();
    }
}

} // namespace quillhaven

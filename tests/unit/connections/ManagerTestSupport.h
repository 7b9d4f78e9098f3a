#pragma once

// Two "machines" in one test: each has its own defaults file and its own manager, and both
// share one synced folder.

#include "TestSupport.h"
#include "connections/ConnectionManager.h"
#include "connections/SyncStore.h"
#include "connections/UserDefaults.h"
#include "support/MainQueue.h"
#include "support/UUID.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

inline quillhaven::Connection flyRecord(const std::string& name, std::uint16_t port,
                                        std::string id = quillhaven::uuid::make()) {
    quillhaven::Connection c;
    c.id = std::move(id);
    c.name = name;
    c.type = quillhaven::ConnectionType::fly;
    c.dbPath = "/data/" + name + ".db";
    c.localPort = port;
    c.flyApp = "app-" + name;
    return c;
}

inline std::vector<std::string> namesOf(const std::vector<quillhaven::Connection>& list) {
    std::vector<std::string> names;
    for (const auto& c : list) names.push_back(c.name);
    return names;
}

struct Machine {
    std::filesystem::path defaultsPath;
    std::optional<std::filesystem::path> syncFolder;
    std::shared_ptr<quillhaven::EventLoop> loop;
    std::shared_ptr<quillhaven::UserDefaults> defaults;
    std::shared_ptr<quillhaven::ConnectionManager> manager;
    std::vector<std::string> deletedSecrets;

    Machine(std::shared_ptr<quillhaven::EventLoop> eventLoop, std::filesystem::path defaultsFile,
            std::optional<std::filesystem::path> folder,
            quillhaven::ConnectionManager::Options extra = {})
        : defaultsPath(std::move(defaultsFile)), syncFolder(std::move(folder)),
          loop(std::move(eventLoop)) {
        launch(std::move(extra));
    }

    // A new process on the same machine: a fresh manager over the same files.
    void launch(quillhaven::ConnectionManager::Options options = {}) {
        manager.reset();
        defaults = std::make_shared<quillhaven::UserDefaults>(defaultsPath);
        options.mainQueue = loop;
        options.defaults = defaults;
        options.discoverSyncStore = false;
        if (syncFolder) options.syncStore = quillhaven::SyncStore::open(*syncFolder, loop);
        // Inside a test keyring the real secret store is used; elsewhere deletions are noted.
        if (!options.deleteCredentials && !std::getenv("QUILLHAVEN_TEST_KEYRING"))
            options.deleteCredentials = [this](const std::string& id) {
                deletedSecrets.push_back(id);
            };
        manager = quillhaven::ConnectionManager::create(std::move(options));
    }

    std::vector<std::string> names() const { return namesOf(manager->connections()); }

    // The list in this machine's defaults file, decoded.
    std::vector<std::string> storedNames() const {
        auto bytes =
            quillhaven::UserDefaults(defaultsPath).bytes(quillhaven::ConnectionManager::storageKey);
        return bytes ? namesOf(quillhaven::decodeConnectionList(*bytes))
                     : std::vector<std::string>{};
    }
};

// Runs the loop until `done` or a generous bound (inotify and thread hand-offs are quick,
// the bound only keeps a broken test from hanging).
template <class F> bool waitFor(quillhaven::EventLoop& loop, F done) {
    return loop.runUntil(done, std::chrono::seconds(10));
}

} // namespace testsupport

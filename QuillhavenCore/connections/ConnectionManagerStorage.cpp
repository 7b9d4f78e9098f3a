// The saved list of ConnectionManager: the user defaults, the shared store, the merge of
// the two and the record of deleted ids.

#include "connections/ConnectionManager.h"
#include "connections/SyncStore.h"
#include "connections/UserDefaults.h"
#include "support/UUID.h"

#include <algorithm>
#include <glib.h>
#include <iostream>

namespace quillhaven {

namespace {

std::vector<Connection> firstOfEachId(const std::vector<Connection>& list) {
    std::set<std::string> seen;
    std::vector<Connection> unique;
    for (const auto& record : list)
        if (seen.insert(record.id).second) unique.push_back(record);
    return unique;
}

// The name in NFC, so that a precomposed letter and the same letter written with a combining
// mark sort alike; a name that is not UTF-8 sorts by its bytes.
std::string sortKey(const std::string& name) {
    gchar* nfc = g_utf8_normalize(name.data(), static_cast<gssize>(name.size()), G_NORMALIZE_NFC);
    if (!nfc) return name;
    std::string key(nfc);
    g_free(nfc);
    return key;
}

void addUUIDs(std::set<std::string>& ids, const std::vector<std::string>& texts) {
    for (const auto& text : texts)
        if (auto id = uuid::normalized(text)) ids.insert(*id);
}

} // namespace

void ConnectionManager::saveConnections() {
    std::string bytes;
    try {
        bytes = encodeConnectionList(connections_);
    } catch (const std::exception& e) {
        std::cout << "Failed to save connections: " << e.what() << std::endl;
        return;
    }
    defaults_->setBytes(storageKey, bytes);
    if (syncStore_) {
        syncStore_->setBytes(storageKey, bytes);
        syncStore_->synchronize();
    }
}

void ConnectionManager::loadConnections() {
    auto bytes = defaults_->bytes(storageKey);
    if (!bytes) return;
    std::vector<Connection> list;
    try {
        list = decodeConnectionList(*bytes);
    } catch (const std::exception& e) {
        std::cout << "Failed to load connections: " << e.what() << std::endl;
        return;
    }
    setConnections(firstOfEachId(list));
    for (const auto& record : connections_)
        states_[record.id] = std::make_shared<ConnectionState>();
}

void ConnectionManager::mergeFromiCloud() {
    if (!syncStore_) return;
    auto bytes = syncStore_->bytes(storageKey);
    if (!bytes) return;
    std::vector<Connection> cloud;
    try {
        cloud = firstOfEachId(decodeConnectionList(*bytes));
    } catch (const std::exception&) {
        return;
    }
    auto deleted = loadDeletedIds();
    auto isDeleted = [&](const std::string& id) {
        return deleted.count(uuid::normalized(id).value_or(id)) > 0;
    };

    // Local records first, then the cloud's: the cloud copy of a record replaces the local
    // one in place, records only the cloud has come after.
    std::vector<Connection> merged = firstOfEachId(connections_);
    for (const auto& record : cloud) {
        if (isDeleted(record.id)) continue;
        auto it = std::find_if(merged.begin(), merged.end(),
                               [&](const Connection& c) { return c.id == record.id; });
        if (it != merged.end())
            *it = record;
        else
            merged.push_back(record);
    }
    merged.erase(std::remove_if(merged.begin(), merged.end(),
                                [&](const Connection& c) { return isDeleted(c.id); }),
                 merged.end());
    // UTF-8 byte order is code point order, so comparing the normalised bytes sorts by code
    // points, upper-case initials before lower-case ones.
    std::vector<std::pair<std::string, Connection>> keyed;
    keyed.reserve(merged.size());
    for (auto& record : merged) keyed.emplace_back(sortKey(record.name), std::move(record));
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    merged.clear();
    for (auto& entry : keyed) merged.push_back(std::move(entry.second));

    isMerging_ = true;
    setConnections(std::move(merged));
    isMerging_ = false;
    try {
        defaults_->setBytes(storageKey, encodeConnectionList(connections_));
    } catch (const std::exception&) {
    }
}

std::set<std::string> ConnectionManager::loadDeletedIds() const {
    std::set<std::string> ids;
    if (auto local = defaults_->stringArray(deletedIdsKey)) addUUIDs(ids, *local);
    // An array holding anything but strings is not trusted at all.
    if (syncStore_)
        if (auto cloud = syncStore_->stringArray(deletedIdsKey)) addUUIDs(ids, *cloud);
    return ids;
}

void ConnectionManager::saveDeletedIds(const std::set<std::string>& ids) {
    std::vector<std::string> list(ids.begin(), ids.end());
    defaults_->setStringArray(deletedIdsKey, list);
    if (syncStore_) {
        syncStore_->setStringArray(deletedIdsKey, list);
        syncStore_->synchronize();
    }
}

} // namespace quillhaven

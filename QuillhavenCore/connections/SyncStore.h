#pragma once

#include "connections/KeyValueFile.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace quillhaven {

class MainQueue;
class UserDefaults;

// The store shared between the user's machines: one JSON file in a folder that the user
// keeps in sync (Syncthing, Nextcloud, ...), with the same keys and value formats as the
// user defaults. A change of the file made by anyone but this object (another machine,
// through the sync tool) is noticed with inotify and reported on the main queue.
class SyncStore : public KeyValueFile, public std::enable_shared_from_this<SyncStore> {
public:
    static constexpr const char* fileName = "quillhaven-shared.json";
    // The folder the user picked in the panel (a text in the user defaults).
    static constexpr const char* folderSettingKey = "com.brackwell.quillhaven.sync-folder";

    // The synced folder: $QUILLHAVEN_SYNC_DIR when set, else the folder in the user
    // defaults; nothing means there is no shared store.
    static std::optional<std::filesystem::path> configuredFolder(const UserDefaults& defaults);

    // Creates the folder when needed and starts watching it.
    static std::shared_ptr<SyncStore> open(const std::filesystem::path& folder,
                                           std::shared_ptr<MainQueue> mainQueue);
    ~SyncStore() override;

    // Called on the main queue after someone else changed the file.
    void setChangeHandler(std::function<void()> handler);

    // Kept for callers that ask the store to synchronise: the sync tool does that for a
    // plain file, so there is nothing to do.
    void synchronize() {}

protected:
    void willWrite(const std::string& content) override;

private:
    SyncStore(const std::filesystem::path& folder, std::shared_ptr<MainQueue> mainQueue);
    void watch();
    void fileMayHaveChanged();

    std::shared_ptr<MainQueue> mainQueue_;
    std::function<void()> handler_; // main thread only
    std::mutex mutex_;
    std::string lastKnownContent_; // guarded by mutex_
    int inotifyFd_ = -1;
    int stopFd_ = -1;
    std::thread watcher_;
};

} // namespace quillhaven

#include "connections/SyncStore.h"

#include "TestSupport.h"
#include "connections/UserDefaults.h"
#include "support/MainQueue.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

using namespace quillhaven;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(SyncStore, ReportsChangesMadeElsewhereButNotItsOwn) {
    testsupport::TempDir dir;
    auto loop = EventLoop::create();
    auto mine = SyncStore::open(dir.path() / "synced", loop);
    auto theirs = SyncStore::open(dir.path() / "synced", loop);
    int mineNotified = 0, theirsNotified = 0;
    mine->setChangeHandler([&] {
        EXPECT_TRUE(loop->isMainThread());
        ++mineNotified;
    });
    theirs->setChangeHandler([&] { ++theirsNotified; });

    ASSERT_TRUE(mine->setStringArray("k", {"from mine"}));
    ASSERT_TRUE(loop->runUntil([&] { return theirsNotified == 1; }, 5s));
    EXPECT_EQ(theirs->stringArray("k"), (std::vector<std::string>{"from mine"}));
    // Give a wrongly delivered self-notification time to arrive.
    loop->runUntil([] { return false; }, 200ms);
    EXPECT_EQ(mineNotified, 0);

    // A sync tool that rewrites the file in place is noticed too.
    std::ofstream(dir.path() / "synced" / SyncStore::fileName) << R"({"k": ["in place"]})";
    ASSERT_TRUE(loop->runUntil([&] { return mineNotified == 1 && theirsNotified == 2; }, 5s));
    EXPECT_EQ(mine->stringArray("k"), (std::vector<std::string>{"in place"}));

    // Files next to it are not the store.
    std::ofstream(dir.path() / "synced" / "other.json") << "{}";
    loop->runUntil([] { return false; }, 200ms);
    EXPECT_EQ(mineNotified, 1);
}

TEST(SyncStore, NotificationAfterTheStoreIsGoneIsDropped) {
    testsupport::TempDir dir;
    auto loop = EventLoop::create();
    auto writer = SyncStore::open(dir.path(), loop);
    int notified = 0;
    {
        auto watcher = SyncStore::open(dir.path(), loop);
        watcher->setChangeHandler([&] { ++notified; });
        writer->setBoolean("x", true);
        std::this_thread::sleep_for(200ms); // the watcher posts; nothing runs yet
    }
    loop->runUntil([] { return false; }, 100ms);
    EXPECT_EQ(notified, 0);
}

TEST(SyncStore, FolderComesFromTheEnvironmentThenTheSetting) {
    testsupport::TempDir dir;
    UserDefaults defaults(dir.path() / "defaults.json");
    ::unsetenv("QUILLHAVEN_SYNC_DIR");
    EXPECT_EQ(SyncStore::configuredFolder(defaults), std::nullopt);
    defaults.setString(SyncStore::folderSettingKey, "/picked/in/panel");
    EXPECT_EQ(SyncStore::configuredFolder(defaults), fs::path("/picked/in/panel"));
    ::setenv("QUILLHAVEN_SYNC_DIR", "/from/env", 1);
    EXPECT_EQ(SyncStore::configuredFolder(defaults), fs::path("/from/env"));
    ::unsetenv("QUILLHAVEN_SYNC_DIR");
}

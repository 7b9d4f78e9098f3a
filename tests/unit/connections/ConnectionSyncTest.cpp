// The saved list across launches and across two machines sharing a synced folder.

#include "ManagerTestSupport.h"
#include "support/Base64.h"

#include <fstream>
#include <gtest/gtest.h>

using namespace quillhaven;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

class TwoMachines : public ::testing::Test {
protected:
    TempDir dir;
    std::shared_ptr<EventLoop> loop = EventLoop::create();
    fs::path shared = dir.path() / "Sync" / "Quillhaven";
    fs::path sharedFile = shared / SyncStore::fileName;
    std::unique_ptr<Machine> a, b;

    void SetUp() override {
        a = std::make_unique<Machine>(loop, dir.path() / "a" / "defaults.json", shared);
        b = std::make_unique<Machine>(loop, dir.path() / "b" / "defaults.json", shared);
    }
    // What a third machine (or a sync tool) writing the shared file does.
    KeyValueFile elsewhere() { return KeyValueFile(sharedFile); }
};

} // namespace

TEST_F(TwoMachines, RecordAddedOnOneAppearsOnTheOtherInNameOrder) {
    a->manager->addConnection(flyRecord("zeta", 5432));
    ASSERT_TRUE(waitFor(*loop, [&] { return b->names().size() == 1; }));
    b->manager->addConnection(flyRecord("Beta", 5433));
    ASSERT_TRUE(waitFor(*loop, [&] { return a->names().size() == 2; }));
    a->manager->addConnection(flyRecord("alpha", 5434));
    ASSERT_TRUE(waitFor(*loop, [&] { return b->names().size() == 3; }));
    // Upper-case initials sort first; the merged list lands in the machine's defaults too.
    EXPECT_EQ(b->names(), (std::vector<std::string>{"Beta", "alpha", "zeta"}));
    EXPECT_EQ(b->storedNames(), (std::vector<std::string>{"Beta", "alpha", "zeta"}));
    // A machine's own upload does not come back to it as a change from elsewhere.
    EXPECT_EQ(a->names(), (std::vector<std::string>{"Beta", "zeta", "alpha"}));
}

TEST_F(TwoMachines, EditOnBothKeepsTheCloudCopy) {
    auto record = flyRecord("shared", 5432);
    a->manager->addConnection(record);
    ASSERT_TRUE(waitFor(*loop, [&] { return b->names().size() == 1; }));

    auto editedOnA = record, editedOnB = record;
    editedOnA.name = "edited on A";
    editedOnB.name = "edited on B";
    editedOnB.readOnly = true;
    a->manager->updateConnection(editedOnA);
    b->manager->updateConnection(editedOnB); // the later upload is the cloud copy
    ASSERT_TRUE(waitFor(*loop, [&] { return a->names()[0] == "edited on B"; }));
    EXPECT_EQ(a->manager->connections(), std::vector<Connection>{editedOnB});
    EXPECT_EQ(b->manager->connections(), std::vector<Connection>{editedOnB});
    EXPECT_EQ(a->storedNames(), std::vector<std::string>{"edited on B"});
}

TEST_F(TwoMachines, RemovalOnOneRemovesItOnTheOther) {
    auto keep = flyRecord("keep", 5432), drop = flyRecord("drop", 5433);
    a->manager->addConnection(keep);
    a->manager->addConnection(drop);
    ASSERT_TRUE(waitFor(*loop, [&] { return b->names().size() == 2; }));

    a->manager->removeConnection(drop.id);
    EXPECT_EQ(a->deletedSecrets, std::vector<std::string>{drop.id});
    EXPECT_EQ(KeyValueFile(a->defaultsPath).stringArray(ConnectionManager::deletedIdsKey),
              std::vector<std::string>{drop.id});
    EXPECT_EQ(elsewhere().stringArray(ConnectionManager::deletedIdsKey),
              std::vector<std::string>{drop.id});
    ASSERT_TRUE(waitFor(*loop, [&] { return b->names().size() == 1; }));
    EXPECT_EQ(b->names(), std::vector<std::string>{"keep"});
    EXPECT_EQ(b->storedNames(), std::vector<std::string>{"keep"});

    // A machine that still uploads the old list cannot bring the record back.
    auto stale = encodeConnectionList({keep, drop});
    elsewhere().setBytes(ConnectionManager::storageKey, stale);
    loop->runUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(a->names(), std::vector<std::string>{"keep"});
    EXPECT_EQ(b->names(), std::vector<std::string>{"keep"});
}

// The removal's tombstone reaches both stores before the shorter list does: whoever reads
// the shorter list can already see why the record is gone.
TEST_F(TwoMachines, TombstoneIsSavedBeforeTheShorterList) {
    auto drop = flyRecord("drop", 5432);
    a->manager->addConnection(drop);
    bool checked = false;
    auto subscription = a->manager->changed.connect([&] {
        // Called when the shorter list is assigned, before it is saved.
        for (const auto& store : {KeyValueFile(a->defaultsPath), elsewhere()}) {
            EXPECT_EQ(store.stringArray(ConnectionManager::deletedIdsKey),
                      std::vector<std::string>{drop.id});
            EXPECT_EQ(decodeConnectionList(*store.bytes(ConnectionManager::storageKey)).size(), 1u);
        }
        checked = true;
    });
    a->manager->removeConnection(drop.id);
    EXPECT_TRUE(checked);
    EXPECT_TRUE(decodeConnectionList(*elsewhere().bytes(ConnectionManager::storageKey)).empty());
}

TEST_F(TwoMachines, SharedTombstonesCountOnlyWhenAllAreStrings) {
    auto x = flyRecord("x", 5432), y = flyRecord("y", 5433), z = flyRecord("z", 5434);
    // A local tombstone applies whatever the shared store holds.
    KeyValueFile(b->defaultsPath).setStringArray(ConnectionManager::deletedIdsKey, {z.id});
    struct Case {
        std::string sharedTombstones; // JSON
        std::vector<std::string> expected;
    } cases[] = {
        {"[\"" + x.id + "\", 5]", {"x", "y"}},
        {"[\"" + x.id + "\", null, \"" + y.id + "\"]", {"x", "y"}},
        {"[\"" + x.id + "\", \"not-a-uuid\"]", {"y"}},
        {"\"" + x.id + "\"", {"x", "y"}},
    };
    for (const auto& c : cases) {
        std::string listText = encodeConnectionList({x, y, z});
        std::ofstream(sharedFile) << "{\"" << ConnectionManager::deletedIdsKey
                                  << "\": " << c.sharedTombstones << ", \""
                                  << ConnectionManager::storageKey << "\": \""
                                  << base64::encode(listText) << "\"}";
        ASSERT_TRUE(waitFor(*loop, [&] { return b->names() == c.expected; })) << c.sharedTombstones;
    }
}

TEST_F(TwoMachines, UndecodableSharedListChangesNothing) {
    a->manager->addConnection(flyRecord("mine", 5432));
    ASSERT_TRUE(waitFor(*loop, [&] { return b->names().size() == 1; }));
    for (std::string bad : {std::string("not json"), std::string("[{\"id\": \"nope\"}]"),
                            std::string("{\"a\": 1}")}) {
        int changes = 0;
        auto subscription = b->manager->changed.connect([&] { ++changes; });
        elsewhere().setBytes(ConnectionManager::storageKey, bad);
        loop->runUntil([] { return false; }, std::chrono::milliseconds(300));
        EXPECT_EQ(changes, 0) << bad;
        EXPECT_EQ(b->names(), std::vector<std::string>{"mine"});
        EXPECT_EQ(b->storedNames(), std::vector<std::string>{"mine"});
    }
}

// ---------------------------------------------------------------------------------------
// One machine across launches

namespace {

class Launches : public ::testing::Test {
protected:
    TempDir dir;
    std::shared_ptr<EventLoop> loop = EventLoop::create();
    fs::path defaultsPath = dir.path() / "config" / "quillhaven" / "defaults.json";
    fs::path shared = dir.path() / "Sync";
};

} // namespace

TEST_F(Launches, NothingStoredAnywhereStartsEmptyAndWritesNoList) {
    Machine m(loop, defaultsPath, shared);
    EXPECT_TRUE(m.manager->connections().empty());
    EXPECT_FALSE(KeyValueFile(defaultsPath).contains(ConnectionManager::storageKey));
    EXPECT_FALSE(
        KeyValueFile(shared / SyncStore::fileName).contains(ConnectionManager::storageKey));
}

TEST_F(Launches, ListSurvivesARestartAndComesBackInNameOrder) {
    std::string id;
    {
        Machine m(loop, defaultsPath, std::nullopt);
        m.manager->addConnection(flyRecord("b", 5432));
        m.manager->addConnection(flyRecord("a", 5433));
        id = m.manager->connections()[0].id;
        EXPECT_EQ(m.names(), (std::vector<std::string>{"b", "a"})); // added in place
    }
    Machine again(loop, defaultsPath, std::nullopt);
    // No shared store: the merge sees nothing and the local order stays.
    EXPECT_EQ(again.names(), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(again.manager->states().count(id), 1u);

    Machine withShared(loop, defaultsPath, shared);
    // Loading uploads the list, and the merge that follows sorts it.
    EXPECT_EQ(withShared.names(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(
        namesOf(decodeConnectionList(
            *KeyValueFile(shared / SyncStore::fileName).bytes(ConnectionManager::storageKey))),
        (std::vector<std::string>{"b", "a"}));
}

TEST_F(Launches, NewMachineAdoptsTheSharedList) {
    KeyValueFile(shared / SyncStore::fileName)
        .setBytes(ConnectionManager::storageKey,
                  encodeConnectionList({flyRecord("c", 1), flyRecord("a", 2), flyRecord("b", 3)}));
    Machine m(loop, defaultsPath, shared);
    EXPECT_EQ(m.names(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(m.storedNames(), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(Launches, MergeSortsNamesByCodePointsAfterCanonicalComposition) {
    const std::string decomposedE = "e\xCC\x81"; // e + COMBINING ACUTE ACCENT
    const std::string composedE = "\xC3\xA9";    // LATIN SMALL LETTER E WITH ACUTE
    struct Case {
        std::vector<std::string> stored, expected;
    } cases[] = {
        // Composed, the accented letter comes after every ASCII letter.
        {{"f", decomposedE, "E", "a"}, {"E", "a", "f", decomposedE}},
        // Both forms are the same letter: the letter after it decides.
        {{decomposedE + "z", composedE + "a"}, {composedE + "a", decomposedE + "z"}},
    };
    for (const auto& c : cases) {
        std::vector<Connection> list;
        std::uint16_t port = 1;
        for (const auto& name : c.stored) list.push_back(flyRecord(name, port++));
        KeyValueFile(shared / SyncStore::fileName)
            .setBytes(ConnectionManager::storageKey, encodeConnectionList(list));
        Machine m(loop, dir.path() / ("d" + std::to_string(port)) / "defaults.json", shared);
        EXPECT_EQ(m.names(), c.expected);
    }
}

TEST_F(Launches, UndecodableLocalListIsReportedAndTheSharedCopyAdopted) {
    KeyValueFile(defaultsPath).setBytes(ConnectionManager::storageKey, "[{\"name\": 1}]");
    KeyValueFile(shared / SyncStore::fileName)
        .setBytes(ConnectionManager::storageKey, encodeConnectionList({flyRecord("cloud", 1)}));
    ::testing::internal::CaptureStdout();
    Machine m(loop, defaultsPath, shared);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Failed to load connections: ", 0), 0u) << out;
    EXPECT_EQ(m.names(), std::vector<std::string>{"cloud"});
    EXPECT_EQ(m.storedNames(), std::vector<std::string>{"cloud"});
}

TEST_F(Launches, UndecodableLocalListWithoutSharedCopyIsLeftAsItIs) {
    KeyValueFile(defaultsPath).setBytes(ConnectionManager::storageKey, "garbage");
    ::testing::internal::CaptureStdout();
    Machine m(loop, defaultsPath, shared);
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(m.manager->connections().empty());
    EXPECT_EQ(KeyValueFile(defaultsPath).bytes(ConnectionManager::storageKey), "garbage");
}

TEST_F(Launches, DuplicateIdsKeepTheFirstRecordOfEach) {
    auto first = flyRecord("first", 5432);
    auto second = first;
    second.name = "second";
    KeyValueFile(defaultsPath)
        .setBytes(ConnectionManager::storageKey,
                  encodeConnectionList({first, flyRecord("other", 5433), second}));
    Machine m(loop, defaultsPath, std::nullopt);
    EXPECT_EQ(m.names(), (std::vector<std::string>{"first", "other"}));
    EXPECT_EQ(m.storedNames(), (std::vector<std::string>{"first", "other"}));

    // The same in a shared list: the first copy wins there too.
    KeyValueFile(shared / SyncStore::fileName)
        .setBytes(ConnectionManager::storageKey, encodeConnectionList({second, first}));
    Machine withShared(loop, dir.path() / "fresh.json", shared);
    EXPECT_EQ(withShared.names(), std::vector<std::string>{"second"});
}

TEST_F(Launches, ReconnectSettingIsKeptInTheDefaults) {
    {
        Machine m(loop, defaultsPath, std::nullopt);
        EXPECT_FALSE(m.manager->reconnectOnStartup());
        m.manager->setReconnectOnStartup(true);
    }
    Machine again(loop, defaultsPath, std::nullopt);
    EXPECT_TRUE(again.manager->reconnectOnStartup());
    EXPECT_EQ(KeyValueFile(defaultsPath).boolean(ConnectionManager::reconnectSettingKey), true);
    EXPECT_FALSE(KeyValueFile(shared / SyncStore::fileName)
                     .contains(ConnectionManager::reconnectSettingKey));
}

TEST_F(Launches, SyncFolderPickedLaterIsRememberedAndMerged) {
    auto cloud = flyRecord("cloud", 1);
    KeyValueFile(shared / SyncStore::fileName)
        .setBytes(ConnectionManager::storageKey, encodeConnectionList({cloud}));
    Machine m(loop, defaultsPath, std::nullopt);
    m.manager->addConnection(flyRecord("local", 2));
    EXPECT_EQ(m.manager->syncStore(), nullptr);

    m.manager->setSyncFolder(shared);
    EXPECT_EQ(m.names(), (std::vector<std::string>{"cloud", "local"}));
    EXPECT_EQ(KeyValueFile(defaultsPath).string(SyncStore::folderSettingKey), shared.string());
    // Changes made elsewhere now arrive.
    KeyValueFile(shared / SyncStore::fileName)
        .setBytes(ConnectionManager::storageKey,
                  encodeConnectionList({cloud, flyRecord("another", 3)}));
    ASSERT_TRUE(waitFor(*loop, [&] { return m.names().size() == 3; }));

    m.manager->setSyncFolder(std::nullopt);
    EXPECT_EQ(m.manager->syncStore(), nullptr);
    EXPECT_FALSE(KeyValueFile(defaultsPath).contains(SyncStore::folderSettingKey));
}

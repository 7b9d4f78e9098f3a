#include "PlistFiles.h"
#include "TestSupport.h"
#include "connections/Connection.h"
#include "support/UUID.h"
#include "tableplus/TablePlusHelper.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <gtest/gtest.h>
#include <regex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tp;
namespace helper = quillhaven::TablePlusHelper;

namespace {

const std::string currentList = "Data/Connections.plist";
const std::string oldList = "Connections.plist";

// The start of a larger list, cut off after `size` bytes: a file damaged in the middle of a
// write, which no property-list reader accepts.
std::string truncatedList(size_t size) {
    std::vector<std::string> many;
    while (xmlList(many).size() <= size) many.push_back("Entry " + std::to_string(many.size()));
    return xmlList(many).substr(0, size);
}

class ConnectionList : public ::testing::Test {
protected:
    void SetUp() override { env.set("QUILLHAVEN_TABLEPLUS_DIR", base.string()); }

    void put(const std::map<std::string, std::string>& files) {
        for (const auto& [relative, bytes] : files) writeFile(base / relative, bytes);
    }

    // Runs `call` and returns what it printed on standard output.
    template <class F> std::string printedBy(F&& call) {
        ::testing::internal::CaptureStdout();
        call();
        return ::testing::internal::GetCapturedStdout();
    }

    Plist written(const std::string& relative) { return parse(readFile(base / relative)); }

    testsupport::TempDir tmp;
    fs::path base = tmp.path() / "TablePlus";
    ScopedEnv env;
};

// What a call left behind: the list rewritten where expected (an XML array), every other
// file untouched, and one backup of the replaced list beside it when there was one.
void expectWrittenWithBackup(const std::map<std::string, std::string>& before,
                             const std::map<std::string, std::string>& after,
                             const std::string& listFile) {
    ASSERT_TRUE(after.count(listFile));
    EXPECT_EQ(after.at(listFile).rfind("<?xml", 0), 0u) << "written as XML";
    std::vector<std::string> backups;
    for (const auto& [path, bytes] : after) {
        if (path == listFile) continue;
        if (before.count(path)) {
            EXPECT_EQ(bytes, before.at(path)) << path << " changed";
        } else {
            EXPECT_TRUE(isBackupName(path)) << "unexpected file " << path;
            EXPECT_EQ(fs::path(path).parent_path(), fs::path(listFile).parent_path());
            backups.push_back(bytes);
        }
    }
    if (before.count(listFile)) {
        ASSERT_EQ(backups.size(), 1u);
        EXPECT_EQ(backups[0], before.at(listFile)) << "the backup holds the replaced list";
    } else {
        EXPECT_TRUE(backups.empty()) << "no backup without a former list";
    }
}

TEST_F(ConnectionList, AddFindsReadsAndGuardsTheList) {
    const std::string orders = fixture("orders.plist");
    Plist binary(plist_new_array());
    plist_array_append_item(binary.get(), namedEntry("ConnectionName", "Alpha"));
    const std::string abort5000 = "TablePlusHelper: existing plist has 5000 bytes but parsed as "
                                  "empty. Aborting to prevent data loss.\n";
    const std::string mixed = fixture("mixed-array.plist");
    const std::string abortMixed = "TablePlusHelper: existing plist has " +
                                   std::to_string(mixed.size()) +
                                   " bytes but parsed as empty. Aborting to prevent data loss.\n";

    struct Case {
        const char* label;
        std::map<std::string, std::string> files; // relative to the TablePlus folder
        std::string name;
        bool added;
        std::string listFile;           // where the list ends up (when added)
        std::vector<std::string> names; // its entries' names afterwards
        std::string printed;
        bool formerOrderUndefined = false;
    } cases[] = {
        {"no folder yet", {}, "Shop", true, currentList, {"Shop"}, ""},
        {"only the old location",
         {{oldList, orders}},
         "Shop",
         true,
         oldList,
         {"Orders DB", "Legacy", "Shop"},
         ""},
        {"both locations",
         {{oldList, orders}, {currentList, xmlList({"Current"})}},
         "Shop",
         true,
         currentList,
         {"Current", "Shop"},
         ""},
        {"name taken", {{currentList, orders}}, "Orders DB", false, "", {}, ""},
        {"name taken through Name", {{currentList, orders}}, "Legacy", false, "", {}, ""},
        {"names differ in case",
         {{currentList, orders}},
         "orders db",
         true,
         currentList,
         {"Orders DB", "Legacy", "orders db"},
         ""},
        {"binary list",
         {{currentList, toBinary(binary.get())}},
         "Shop",
         true,
         currentList,
         {"Alpha", "Shop"},
         ""},
        {"top-level dictionary",
         {{currentList, fixture("entries-by-id.plist")}},
         "Shop",
         true,
         currentList,
         {"Alpha", "Beta", "Shop"},
         "",
         true},
        {"150 unreadable bytes",
         {{currentList, truncatedList(150)}},
         "Shop",
         true,
         currentList,
         {"Shop"},
         ""},
        {"5000 unreadable bytes",
         {{currentList, truncatedList(5000)}},
         "Shop",
         false,
         "",
         {},
         abort5000},
        {"array holding a non-dictionary",
         {{currentList, mixed}},
         "Shop",
         false,
         "",
         {},
         abortMixed},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(base);
        put(c.files);
        auto before = snapshot(base);

        bool added = false;
        std::string printed = printedBy([&] { added = helper::addConnection(c.name, 5433, ""); });

        EXPECT_EQ(added, c.added);
        EXPECT_EQ(printed, c.printed);
        auto after = snapshot(base);
        if (!c.added) {
            EXPECT_EQ(after, before) << "nothing may be written";
            continue;
        }
        expectWrittenWithBackup(before, after, c.listFile);
        Plist list = written(c.listFile);
        ASSERT_TRUE(list);
        ASSERT_EQ(plist_get_node_type(list.get()), PLIST_ARRAY);
        auto got = names(list.get());
        auto want = c.names;
        if (c.formerOrderUndefined) {
            std::sort(got.begin(), got.end() - 1);
            std::sort(want.begin(), want.end() - 1);
        }
        EXPECT_EQ(got, want);
    }
}

TEST_F(ConnectionList, ExistingEntriesComeBackUnchanged) {
    Plist entry(plist_new_dict());
    plist_dict_set_item(entry.get(), "ConnectionName", plist_new_string("Ünïcode ✓"));
    plist_dict_set_item(entry.get(), "DriverVersion", plist_new_uint(42));
    plist_dict_set_item(entry.get(), "Ratio", plist_new_real(0.25));
    plist_dict_set_item(entry.get(), "isOverSSH", plist_new_bool(1));
    plist_dict_set_item(entry.get(), "Created", plist_new_date(700000000, 0));
    plist_dict_set_item(entry.get(), "Secret", plist_new_data("\x00\x01\xFF", 3));
    plist_t nested = plist_new_dict();
    plist_dict_set_item(nested, "schema", plist_new_string("public"));
    plist_t recent = plist_new_array();
    plist_array_append_item(recent, nested);
    plist_dict_set_item(entry.get(), "RecentlyOpened", recent);
    Plist list(plist_new_array());
    plist_array_append_item(list.get(), plist_copy(entry.get()));
    writeFile(base / currentList, toBinary(list.get()));

    ASSERT_TRUE(helper::addConnection("Shop", 5433, "/data/shop.db"));

    Plist after = written(currentList);
    ASSERT_EQ(plist_array_get_size(after.get()), 2u);
    EXPECT_EQ(toXml(plist_array_get_item(after.get(), 0)), toXml(entry.get()));
}

TEST_F(ConnectionList, NewEntryHasEveryKeyTablePlusExpects) {
    ASSERT_TRUE(helper::addConnection("Tom & Jerry's <db>", 5433, "/var/lib/app/data.db"));

    const std::string xml = readFile(base / currentList);
    Plist list = parse(xml);
    ASSERT_EQ(plist_array_get_size(list.get()), 1u);
    plist_t entry = plist_array_get_item(list.get(), 0);

    enum Kind { Text, Integer, False, EmptyArray, EmptyDict };
    struct Field {
        const char* key;
        Kind kind;
        std::string text = "";
    };
    const std::vector<Field> fields = {
        {"Driver", Text, "PostgreSQL"},
        {"ConnectionName", Text, "Tom & Jerry's <db>"},
        {"DatabaseHost", Text, "127.0.0.1"},
        {"DatabasePort", Text, "5433"},
        {"DatabaseName", Text, "data"},
        {"DatabaseUser", Text},
        {"DatabasePasswordMode", Integer},
        {"DatabasePath", Text},
        {"DatabaseSocket", Text},
        {"DatabaseEncoding", Text},
        {"DatabaseType", Text},
        {"DatabaseUserRole", Text},
        {"DatabaseWarehouse", Text},
        {"DriverVersion", Integer},
        {"Authenticator", Text},
        {"ServerAddress", Text},
        {"ServerPort", Text},
        {"ServerUser", Text},
        {"ServerPasswordMode", Integer},
        {"ServerPrivateKeyName", Text},
        {"ServerNameIndication", Text},
        {"isOverSSH", False},
        {"isUsePrivateKey", False},
        {"isUseSocket", False},
        {"tLSMode", Integer},
        {"TlsKeyName", Text},
        {"TlsKeyPaths", EmptyArray},
        {"statusColor", Text, "#007F3D"},
        {"Enviroment", Text, "local"},
        {"GroupID", Text},
        {"Favorites", EmptyDict},
        {"ItemGroups", EmptyArray},
        {"SectionStates", EmptyDict},
        {"OtherOptions", EmptyArray},
        {"RecentlyOpened", EmptyArray},
        {"RecentlySchema", EmptyArray},
        {"RecentUsedBackupDriverName", Text},
        {"RecentUsedBackupGzip", False},
        {"RecentUsedBackupOptions", EmptyArray},
        {"RecentUsedRestoreOptions", EmptyArray},
        {"RecentAIChatHistory", Text},
        {"StartupBashScript", Text},
        {"StartupCommands", Text},
        {"HideFunctionSection", False},
        {"ShowRecentlySection", False},
        {"ShowSequenceSection", False},
        {"ShowSystemSchemas", False},
        {"ShowUserDefineSection", False},
        {"LazyLoadSchemaItems", False},
        {"LimitRowsReturned", Integer},
        {"LimitQueryRowsReturned", Integer},
    };
    EXPECT_EQ(plist_dict_get_size(entry), fields.size() + 1) << "the fields above and ID";
    for (const auto& f : fields) {
        SCOPED_TRACE(f.key);
        plist_t node = plist_dict_get_item(entry, f.key);
        ASSERT_TRUE(node);
        switch (f.kind) {
        case Text:
            ASSERT_EQ(plist_get_node_type(node), PLIST_STRING);
            EXPECT_EQ(plist_get_string_ptr(node, nullptr), f.text);
            break;
        case Integer: {
            ASSERT_EQ(plist_get_node_type(node), PLIST_UINT);
            uint64_t value = 1;
            plist_get_uint_val(node, &value);
            EXPECT_EQ(value, 0u);
            break;
        }
        case False:
            ASSERT_EQ(plist_get_node_type(node), PLIST_BOOLEAN);
            EXPECT_FALSE(plist_bool_val_is_true(node));
            break;
        case EmptyArray:
            ASSERT_EQ(plist_get_node_type(node), PLIST_ARRAY);
            EXPECT_EQ(plist_array_get_size(node), 0u);
            break;
        case EmptyDict:
            ASSERT_EQ(plist_get_node_type(node), PLIST_DICT);
            EXPECT_EQ(plist_dict_get_size(node), 0u);
            break;
        }
    }
    auto id = text(entry, "ID");
    ASSERT_TRUE(id);
    EXPECT_EQ(quillhaven::uuid::normalized(*id), *id) << "canonical upper-case UUID";
    EXPECT_NE(xml.find("<key>DatabasePort</key>\n\t\t<string>5433</string>"), std::string::npos);

    ASSERT_TRUE(helper::addConnection("Second", 5434, ""));
    Plist two = written(currentList);
    EXPECT_NE(text(plist_array_get_item(two.get(), 1), "ID"), id) << "every entry its own ID";
}

TEST_F(ConnectionList, SavedConnectionGivesNamePortAndDatabase) {
    quillhaven::Connection connection;
    connection.name = "Orders";
    connection.localPort = 6543;
    connection.dbPath = "/srv/orders.sqlite";
    ASSERT_TRUE(helper::addConnection(connection));
    Plist list = written(currentList);
    plist_t entry = plist_array_get_item(list.get(), 0);
    EXPECT_EQ(text(entry, "ConnectionName"), "Orders");
    EXPECT_EQ(text(entry, "DatabasePort"), "6543");
    EXPECT_EQ(text(entry, "DatabaseName"), "orders");
}

TEST_F(ConnectionList, DatabaseNameComesFromTheFileName) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "sqlite"},
        {"/data/app.db", "app"},
        {"/srv/db/main.sqlite3", "main"},
        {"/var/lib/app/data.db", "data"},
        {"/backups/archive.tar.gz", "archive.tar"},
        {"/srv/db/", "db"},
        {"plain", "plain"},
        {"/", "sqlite"},
    };
    for (const auto& [path, name] : cases)
        ASSERT_TRUE(helper::addConnection("for " + path, 5433, path));
    Plist list = written(currentList);
    for (uint32_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(text(plist_array_get_item(list.get(), i), "DatabaseName"), cases[i].second)
            << cases[i].first;
}

TEST_F(ConnectionList, RemoveDropsEveryEntryOfThatName) {
    Plist list(plist_new_array());
    plist_array_append_item(list.get(), namedEntry("ConnectionName", "Orders DB"));
    plist_array_append_item(list.get(), namedEntry("Name", "Legacy"));
    plist_array_append_item(list.get(), namedEntry("Name", "Orders DB"));
    plist_array_append_item(list.get(), namedEntry("ConnectionName", "Keep"));
    const std::string binary = toBinary(list.get());

    struct Case {
        const char* label;
        std::string bytes; // the list file's content
        std::string name;
        std::vector<std::string> left; // names afterwards; empty = file untouched
    } cases[] = {
        {"both spellings of the name", binary, "Orders DB", {"Legacy", "Keep"}},
        {"name only under Name", binary, "Legacy", {"Orders DB", "Orders DB", "Keep"}},
        {"name not there", binary, "orders db", {}},
        {"unreadable file", truncatedList(150), "Entry 0", {}},
        {"top-level dictionary", fixture("entries-by-id.plist"), "Beta", {"Alpha"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(base);
        put({{currentList, c.bytes}});
        auto before = snapshot(base);

        std::string printed = printedBy([&] { helper::removeConnection(c.name); });

        EXPECT_EQ(printed, "");
        auto after = snapshot(base);
        if (c.left.empty()) {
            EXPECT_EQ(after, before);
            continue;
        }
        expectWrittenWithBackup(before, after, currentList);
        EXPECT_EQ(names(written(currentList).get()), c.left);
    }
}

TEST_F(ConnectionList, EverySaveKeepsWhatItReplaces) {
    // Saves follow each other within milliseconds, so several share one second.
    std::vector<std::string> versions;
    for (const char* name : {"A", "B", "C", "D"}) {
        ASSERT_TRUE(helper::addConnection(name, 5433, ""));
        versions.push_back(readFile(base / currentList));
    }
    helper::removeConnection("A");

    std::vector<std::string> backups;
    const std::regex backupName(R"(Connections\.backup\.\d{4}-\d{2}-\d{2}_\d{6}(_\d+)?\.plist)");
    for (const auto& [path, bytes] : snapshot(base / "Data")) {
        if (path == "Connections.plist") continue;
        EXPECT_TRUE(std::regex_match(path, backupName)) << path;
        backups.push_back(bytes);
    }
    std::sort(backups.begin(), backups.end());
    std::sort(versions.begin(), versions.end());
    EXPECT_EQ(backups, versions) << "one backup of every replaced version";
}

TEST_F(ConnectionList, BackupIsNamedAfterTheLocalTimeAndNeverOverwritten) {
    put({{currentList, xmlList({"Old"})}});
    // Stand-ins for backups made earlier in this second and the next one.
    std::time_t now = std::time(nullptr);
    std::vector<std::string> decoys;
    for (std::time_t t : {now, now + 1}) {
        std::tm local{};
        localtime_r(&t, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H%M%S", &local);
        decoys.push_back(std::string("Data/Connections.backup.") + stamp + ".plist");
        put({{decoys.back(), "earlier backup"}});
    }

    ASSERT_TRUE(helper::addConnection("New", 5433, ""));

    auto after = snapshot(base);
    for (const auto& decoy : decoys) EXPECT_EQ(after[decoy], "earlier backup");
    int fresh = 0;
    for (const auto& [path, bytes] : after) {
        if (!isBackupName(path) || std::count(decoys.begin(), decoys.end(), path)) continue;
        ++fresh;
        EXPECT_EQ(bytes, xmlList({"Old"}));
        auto stamp = [](const std::string& p) {
            return fs::path(p).filename().string().substr(0, 36);
        };
        EXPECT_TRUE(stamp(path) == stamp(decoys[0]) || stamp(path) == stamp(decoys[1]))
            << path << " is named after the local date and time of the save";
    }
    EXPECT_EQ(fresh, 1);
}

TEST_F(ConnectionList, FolderLocation) {
    struct Case {
        const char* label;
        std::optional<std::string> override, xdg, home;
        std::string expected; // relative to the temporary folder
    } cases[] = {
        {"override", "custom", "xdg", "home", "custom/Data/Connections.plist"},
        {"XDG data home", std::nullopt, "xdg", "home",
         "xdg/com.tinyapp.TablePlus/Data/Connections.plist"},
        {"default", std::nullopt, std::nullopt, "home",
         "home/.local/share/com.tinyapp.TablePlus/Data/Connections.plist"},
        {"relative XDG data home ignored", std::nullopt, "relative", "home",
         "home/.local/share/com.tinyapp.TablePlus/Data/Connections.plist"},
    };
    auto absolute = [&](const std::optional<std::string>& p) -> std::optional<std::string> {
        if (!p || *p == "relative") return p;
        return (tmp.path() / *p).string();
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ScopedEnv scoped;
        scoped.set("QUILLHAVEN_TABLEPLUS_DIR", absolute(c.override));
        scoped.set("XDG_DATA_HOME", absolute(c.xdg));
        scoped.set("HOME", absolute(c.home));
        fs::remove(tmp.path() / c.expected);
        ASSERT_TRUE(helper::addConnection(c.label, 5433, ""));
        EXPECT_EQ(names(parse(readFile(tmp.path() / c.expected)).get()),
                  std::vector<std::string>{c.label});
    }
}

TEST_F(ConnectionList, FolderThatCannotBeMadeFailsQuietly) {
    writeFile(tmp.path() / "blocker", "a file where a folder should be");
    env.set("QUILLHAVEN_TABLEPLUS_DIR", (tmp.path() / "blocker" / "TablePlus").string());
    bool added = true;
    EXPECT_EQ(printedBy([&] { added = helper::addConnection("Shop", 5433, ""); }), "");
    EXPECT_FALSE(added);
}

TEST_F(ConnectionList, FailedWriteLeavesTheOldListInPlace) {
    const std::string old = "<plist><array/></plist>"; // an empty list: small enough to replace
    put({{currentList, old}});
    // Files may not grow past 1000 bytes: the backup and the printed line fit, the new list
    // (one entry is about two kilobytes) does not.
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 1000;
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    bool added = true;
    std::string printed = printedBy([&] { added = helper::addConnection("Shop", 5433, ""); });
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(added);
    EXPECT_EQ(printed.rfind("TablePlusHelper: failed to write plist: ", 0), 0u) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1);
    auto after = snapshot(base);
    EXPECT_EQ(after[currentList], old);
    for (const auto& [path, bytes] : after) {
        if (path == currentList) continue;
        EXPECT_TRUE(isBackupName(path)) << "left behind: " << path;
    }
}

// A list that exists but cannot be read cannot be backed up either; replacing it would lose
// it for good, so the add is refused.
TEST_F(ConnectionList, UnreadableListIsNotReplaced) {
    put({{currentList, xmlList({"Precious"})}});
    const fs::path file = base / currentList;
    ::chmod(file.c_str(), 0);
    // Root reads any file: the check runs as an ordinary user in a child process.
    fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::others_exec);
    const uid_t nobody = 65534;
    if (::getuid() == 0) {
        for (const auto& p : {base, base / "Data", file})
            ASSERT_EQ(::chown(p.c_str(), nobody, nobody), 0);
    }
    std::fflush(stdout);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::getuid() == 0 && (::setgid(nobody) != 0 || ::setuid(nobody) != 0)) ::_exit(3);
        bool added = helper::addConnection("Shop", 5433, "");
        ::_exit(added ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the add must be refused";
    ::chmod(file.c_str(), 0644);
    EXPECT_EQ(names(parse(readFile(file)).get()), std::vector<std::string>{"Precious"});
    EXPECT_EQ(snapshot(base).size(), 1u) << "nothing written beside it";
}

} // namespace

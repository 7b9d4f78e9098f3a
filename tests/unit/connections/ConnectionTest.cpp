#include "connections/Connection.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace quillhaven;
using nlohmann::json;

namespace {

const std::string kId = "6F1C2A30-0B7D-4E59-9A51-3C2D8E4F7A10";

Connection sshRecord() {
    Connection c;
    c.id = kId;
    c.name = "Orders";
    c.type = ConnectionType::ssh;
    c.dbPath = "/srv/it's here/orders.db";
    c.localPort = 5433;
    c.sshHostname = "db.example.com";
    c.sshPort = 2222;
    c.sshUsername = "deploy";
    c.sshAuthMethod = SSHAuthMethod::key;
    c.sshKeyDisplayPath = "/home/me/.ssh/id_ed25519";
    c.readOnly = true;
    return c;
}

Connection flyRecord() {
    Connection c;
    c.id = "00000000-0000-0000-0000-000000000001";
    c.name = "Blog \xC3\xA9t\xC3\xA9";
    c.type = ConnectionType::fly;
    c.dbPath = "/data/blog.db";
    c.localPort = 0;
    c.flyApp = "";
    c.readOnly = false;
    return c;
}

// A minimal valid object, to which a case adds or removes keys.
json minimal() {
    return json{{"id", kId}, {"name", "n"}, {"dbPath", "/d.db"}, {"localPort", 5432}};
}

} // namespace

TEST(Connection, WritesOptionalKeysOnlyWhenPresentAndNeverNull) {
    json ssh = sshRecord().toJSON();
    EXPECT_EQ(ssh, json::parse(R"({"id":"6F1C2A30-0B7D-4E59-9A51-3C2D8E4F7A10","name":"Orders",
        "type":"ssh","dbPath":"/srv/it's here/orders.db","localPort":5433,
        "sshHostname":"db.example.com","sshPort":2222,"sshUsername":"deploy",
        "sshAuthMethod":"key","sshKeyDisplayPath":"/home/me/.ssh/id_ed25519","readOnly":true})"));

    // The empty fly app name is present, not absent; the five unset optionals are left out.
    json fly = flyRecord().toJSON();
    EXPECT_EQ(fly, json::parse(R"({"id":"00000000-0000-0000-0000-000000000001",
        "name":"Blog été","type":"fly","dbPath":"/data/blog.db","localPort":0,"flyApp":"",
        "readOnly":false})"));
}

TEST(Connection, ListRoundTripGivesEqualRecords) {
    Connection noPort = sshRecord();
    noPort.sshPort.reset();
    noPort.sshAuthMethod = SSHAuthMethod::password;
    noPort.localPort = 65535;
    std::vector<Connection> list{sshRecord(), flyRecord(), noPort};

    std::string text = encodeConnectionList(list);
    EXPECT_EQ(decodeConnectionList(text), list);
    EXPECT_EQ(json::parse(text)[2].count("sshPort"), 0u);
    EXPECT_EQ(decodeConnectionList("[]"), std::vector<Connection>{});
}

TEST(Connection, EqualityCoversEveryField) {
    using Change = void (*)(Connection&);
    const Change changes[] = {
        [](Connection& c) { c.id = "00000000-0000-0000-0000-000000000002"; },
        [](Connection& c) { c.name = "Other"; },
        [](Connection& c) { c.type = ConnectionType::fly; },
        [](Connection& c) { c.dbPath = "/x.db"; },
        [](Connection& c) { c.localPort = 1; },
        [](Connection& c) { c.flyApp = "app"; },
        [](Connection& c) { c.sshHostname.reset(); },
        [](Connection& c) { c.sshPort.reset(); },
        [](Connection& c) { c.sshUsername = ""; },
        [](Connection& c) { c.sshAuthMethod = SSHAuthMethod::password; },
        [](Connection& c) { c.sshKeyDisplayPath.reset(); },
        [](Connection& c) { c.readOnly = false; },
    };
    EXPECT_EQ(sshRecord(), sshRecord());
    for (std::size_t i = 0; i < std::size(changes); ++i) {
        Connection changed = sshRecord();
        changes[i](changed);
        EXPECT_NE(changed, sshRecord()) << "change " << i;
    }
}

TEST(Connection, ReadsDefaultsAndIgnoresUnknownKeys) {
    struct Case {
        const char* what;
        json object;
        ConnectionType type;
        bool readOnly;
    } cases[] = {
        {"neither type nor readOnly", minimal(), ConnectionType::fly, false},
        {"readOnly only",
         [] {
             auto o = minimal();
             o["readOnly"] = true;
             return o;
         }(),
         ConnectionType::fly, true},
        {"type only",
         [] {
             auto o = minimal();
             o["type"] = "ssh";
             return o;
         }(),
         ConnectionType::ssh, false},
        {"nulls read as absent",
         [] {
             auto o = minimal();
             o["type"] = nullptr;
             o["readOnly"] = nullptr;
             o["sshPort"] = nullptr;
             return o;
         }(),
         ConnectionType::fly, false},
        {"unknown keys",
         [] {
             auto o = minimal();
             o["colour"] = "red";
             o["password"] = 7;
             o["readOnly"] = true;
             return o;
         }(),
         ConnectionType::fly, true},
    };
    for (const auto& c : cases) {
        Connection read = Connection::fromJSON(c.object);
        EXPECT_EQ(read.type, c.type) << c.what;
        EXPECT_EQ(read.readOnly, c.readOnly) << c.what;
        EXPECT_EQ(read.localPort, 5432) << c.what;
        EXPECT_FALSE(read.sshPort || read.flyApp || read.sshHostname || read.sshUsername ||
                     read.sshAuthMethod || read.sshKeyDisplayPath)
            << c.what;
    }
}

TEST(Connection, AcceptsAnyUUIDSpellingAndStoresItUpperCase) {
    json object = minimal();
    object["id"] = "6f1c2a30-0b7d-4e59-9a51-3c2d8e4f7a10";
    EXPECT_EQ(Connection::fromJSON(object).id, kId);
    object["localPort"] = 5432.0; // the same JSON number as 5432
    EXPECT_EQ(Connection::fromJSON(object).localPort, 5432);
}

TEST(Connection, EachFailureRuleNamesTheFirstBadKey) {
    auto with = [](const char* key, json value) {
        json o = minimal();
        o[key] = std::move(value);
        return o;
    };
    auto without = [](const char* key) {
        json o = minimal();
        o.erase(key);
        return o;
    };
    struct Case {
        json object;
        std::string reason;
    } cases[] = {
        {without("id"), R"("id" is missing)"},
        {without("name"), R"("name" is missing)"},
        {without("dbPath"), R"("dbPath" is missing)"},
        {without("localPort"), R"("localPort" is missing)"},
        {with("name", nullptr), R"("name" is missing)"},
        {with("id", 42), R"("id" is not a string)"},
        {with("id", "not-a-uuid"), R"("id" is not a UUID)"},
        {with("id", "{6F1C2A30-0B7D-4E59-9A51-3C2D8E4F7A10}"), R"("id" is not a UUID)"},
        {with("name", json::array()), R"("name" is not a string)"},
        {with("dbPath", false), R"("dbPath" is not a string)"},
        {with("localPort", 65536), R"("localPort" is not a whole number from 0 to 65535)"},
        {with("localPort", -1), R"("localPort" is not a whole number from 0 to 65535)"},
        {with("localPort", 5432.5), R"("localPort" is not a whole number from 0 to 65535)"},
        {with("localPort", "5432"), R"("localPort" is not a whole number from 0 to 65535)"},
        {with("type", "postgres"), R"("type" has the unknown value "postgres")"},
        {with("type", "SSH"), R"("type" has the unknown value "SSH")"},
        {with("type", 1), R"("type" is not a string)"},
        {with("flyApp", 3), R"("flyApp" is not a string)"},
        {with("sshHostname", json::object()), R"("sshHostname" is not a string)"},
        {with("sshPort", 70000), R"("sshPort" is not a whole number from 0 to 65535)"},
        {with("sshUsername", true), R"("sshUsername" is not a string)"},
        {with("sshAuthMethod", "publickey"),
         R"("sshAuthMethod" has the unknown value "publickey")"},
        {with("sshKeyDisplayPath", 1.5), R"("sshKeyDisplayPath" is not a string)"},
        {with("readOnly", "true"), R"("readOnly" is not a boolean)"},
        {with("readOnly", 1), R"("readOnly" is not a boolean)"},
        // Keys are checked in a fixed order: "id" before "type", "localPort" before "type".
        {[] {
             json o = minimal();
             o.erase("id");
             o["type"] = "x";
             return o;
         }(),
         R"("id" is missing)"},
        {[] {
             json o = minimal();
             o["localPort"] = -5;
             o["type"] = "x";
             return o;
         }(),
         R"("localPort" is not a whole number from 0 to 65535)"},
        {json::array(), "a record is not a JSON object"},
    };
    for (const auto& c : cases) {
        try {
            Connection::fromJSON(c.object);
            ADD_FAILURE() << "accepted " << c.object.dump();
        } catch (const ConnectionDecodingError& e) {
            EXPECT_EQ(e.reason(), c.reason) << c.object.dump();
            EXPECT_EQ(std::string(e.what()), "Invalid connection data: " + c.reason);
        }
    }
}

TEST(Connection, OneBadRecordFailsTheWholeList) {
    json good = minimal();
    json bad = minimal();
    bad["type"] = "ftp";
    struct Case {
        std::string text, what;
    } cases[] = {
        {json::array({good, bad, good}).dump(), R"(record 2: "type" has the unknown value "ftp")"},
        {json::object({{"a", good}}).dump(), "the list is not a JSON array"},
        {"[{\"id\":", "the list is not valid JSON"},
        {"", "the list is not valid JSON"},
    };
    for (const auto& c : cases) {
        try {
            decodeConnectionList(c.text);
            ADD_FAILURE() << "accepted " << c.text;
        } catch (const ConnectionDecodingError& e) {
            EXPECT_EQ(std::string(e.what()), "Invalid connection data: " + c.what);
        }
    }
}

TEST(Connection, InvalidUTF8IsRepairedSoTheListStillSaves) {
    Connection c = flyRecord();
    c.name = "bad \xFF name";
    auto back = decodeConnectionList(encodeConnectionList({c}));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].name, "bad \xEF\xBF\xBD name");
    EXPECT_EQ(back[0].dbPath, c.dbPath);
}

#include "TestSupport.h"
#include "connections/UserDefaults.h"
#include "support/Base64.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillhaven;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void spit(const fs::path& file, const std::string& content) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

} // namespace

TEST(Base64, RoundTripsEveryLengthAndRejectsMalformedText) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (std::size_t n = 0; n < 8; ++n) {
        auto text = base64::encode(all.substr(250 - n, n));
        EXPECT_EQ(base64::decode(text), all.substr(250 - n, n)) << text;
    }
    EXPECT_EQ(base64::encode("hello"), "aGVsbG8=");
    for (const char* bad : {"aGVsbG8", "aGV=bG8=", "aGVs bG8=", "====", "aGVsbG8*"})
        EXPECT_EQ(base64::decode(bad), std::nullopt) << bad;
}

TEST(UserDefaults, PathFollowsXdgConfigHome) {
    testsupport::TempDir dir;
    std::string saved = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
    ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(UserDefaults::defaultPath(), dir.path() / "quillhaven" / "defaults.json");
    ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    ::setenv("HOME", dir.path().c_str(), 1);
    EXPECT_EQ(UserDefaults::defaultPath(), dir.path() / ".config" / "quillhaven" / "defaults.json");
    if (saved.empty())
        ::unsetenv("XDG_CONFIG_HOME");
    else
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

TEST(UserDefaults, KeepsTypedValuesInReadableJson) {
    testsupport::TempDir dir;
    fs::path file = dir.path() / "quillhaven" / "defaults.json";
    {
        UserDefaults defaults(file);
        std::string bytes("\x00\xff[{\"a\":1}]", 11);
        EXPECT_TRUE(defaults.setBytes("b", bytes));
        EXPECT_TRUE(defaults.setStringArray("s", {"x", "y"}));
        EXPECT_TRUE(defaults.setBoolean("t", true));
        EXPECT_TRUE(defaults.setString("n", "text"));
    }
    UserDefaults again(file);
    EXPECT_EQ(again.bytes("b"), std::string("\x00\xff[{\"a\":1}]", 11));
    EXPECT_EQ(again.stringArray("s"), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(again.boolean("t"), true);
    EXPECT_EQ(again.string("n"), "text");
    // Another type under the key, or no key, reads as nothing.
    EXPECT_EQ(again.boolean("s"), std::nullopt);
    EXPECT_EQ(again.stringArray("b"), std::nullopt);
    EXPECT_EQ(again.bytes("missing"), std::nullopt);
    EXPECT_NE(slurp(file).find("\"t\": true"), std::string::npos);
    EXPECT_TRUE(again.remove("t"));
    EXPECT_FALSE(again.contains("t"));
    EXPECT_TRUE(again.contains("s"));
}

TEST(UserDefaults, ArrayWithANonStringIsNotAStringArray) {
    testsupport::TempDir dir;
    fs::path file = dir.path() / "d.json";
    spit(file, R"({"ids": ["A", 7, "B"], "bytes": "not base64!"})");
    UserDefaults defaults(file);
    EXPECT_EQ(defaults.stringArray("ids"), std::nullopt);
    EXPECT_EQ(defaults.bytes("bytes"), std::nullopt);
}

TEST(UserDefaults, UnreadableFileIsKeptAsideNotOverwritten) {
    for (std::string garbage : {"{\"half\": ", "[1, 2]", "\xff\xfe"}) {
        testsupport::TempDir dir;
        fs::path file = dir.path() / "defaults.json";
        spit(file, garbage);
        UserDefaults defaults(file);
        EXPECT_EQ(defaults.boolean("x"), std::nullopt);
        EXPECT_TRUE(defaults.setBoolean("x", true));
        EXPECT_EQ(defaults.boolean("x"), true);
        int kept = 0;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            std::string name = entry.path().filename().string();
            if (name.rfind("defaults.json.unreadable-", 0) == 0) {
                ++kept;
                EXPECT_EQ(slurp(entry.path()), garbage);
            }
        }
        EXPECT_EQ(kept, 1) << garbage;
    }
}

// A writer killed at any moment leaves either the old or the new file, never a torn one,
// and no temporary file is mistaken for the store.
TEST(UserDefaults, ConcurrentKilledWriterNeverLeavesATornFile) {
    testsupport::TempDir dir;
    fs::path file = dir.path() / "defaults.json";
    UserDefaults(file).setBytes("big", std::string(200000, 'a'));
    for (int round = 0; round < 20; ++round) {
        pid_t child = ::fork();
        if (child == 0) {
            UserDefaults writer(file);
            for (int i = 0;; ++i) writer.setBytes("big", std::string(200000 + i, 'b'));
        }
        ::usleep(2000 + round * 500);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        auto value = UserDefaults(file).bytes("big");
        ASSERT_TRUE(value.has_value()) << "round " << round;
        EXPECT_GE(value->size(), 200000u);
    }
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find("unreadable"), std::string::npos);
}

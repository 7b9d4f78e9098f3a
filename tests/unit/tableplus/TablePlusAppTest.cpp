#include "PlistFiles.h"
#include "TestSupport.h"
#include "tableplus/TablePlusHelper.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tp;
namespace helper = quillhaven::TablePlusHelper;

extern char** environ;

namespace {

// Waits up to five seconds for `condition`.
template <class F> bool eventually(F&& condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

char processState(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

class TablePlusApp : public ::testing::Test {
protected:
    void SetUp() override {
        if (fs::exists("/opt/tableplus/tableplus"))
            GTEST_SKIP() << "a real TablePlus is installed here";
        fs::create_directories(bin);
        env.set("PATH", "relative/bin:" + bin.string() + ":/usr/bin:/bin");
    }

    void install(const std::string& script, fs::perms perms = fs::perms::owner_all) {
        writeFile(bin / "tableplus", script);
        fs::permissions(bin / "tableplus", perms);
    }

    testsupport::TempDir tmp;
    fs::path bin = tmp.path() / "bin";
    ScopedEnv env;
};

TEST_F(TablePlusApp, InstalledMeansAnExecutableOnThePath) {
    EXPECT_FALSE(helper::isTablePlusInstalled());

    install("#!/bin/sh\n", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(helper::isTablePlusInstalled()) << "not executable";

    fs::remove(bin / "tableplus");
    fs::create_directories(bin / "tableplus");
    EXPECT_FALSE(helper::isTablePlusInstalled()) << "a folder";

    fs::remove(bin / "tableplus");
    install("#!/bin/sh\n");
    EXPECT_TRUE(helper::isTablePlusInstalled());

    // Relative PATH entries depend on the current folder and are not searched.
    fs::remove(bin / "tableplus");
    fs::create_directories(tmp.path() / "relative" / "bin");
    fs::copy_file("/bin/true", tmp.path() / "relative" / "bin" / "tableplus");
    fs::path cwd = fs::current_path();
    fs::current_path(tmp.path());
    EXPECT_FALSE(helper::isTablePlusInstalled());
    fs::current_path(cwd);
}

TEST_F(TablePlusApp, RunningMeansALiveProcessNamedTablePlus) {
    fs::copy_file("/bin/sleep", bin / "tableplus");
    std::string program = (bin / "tableplus").string();
    char name[] = "tableplus", seconds[] = "30";
    char* argv[] = {name, seconds, nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);

    EXPECT_TRUE(helper::isTablePlusRunning());

    ::kill(pid, SIGKILL);
    ASSERT_TRUE(eventually([&] { return processState(pid) == 'Z'; }));
    EXPECT_FALSE(helper::isTablePlusRunning()) << "a zombie is not running";
    ::waitpid(pid, nullptr, 0);
    EXPECT_FALSE(helper::isTablePlusRunning());
}

TEST_F(TablePlusApp, OpenStartsItDetachedWithoutArguments) {
    const fs::path marker = tmp.path() / "started";
    env.set("TP_MARKER", marker.string());
    // Reports its argument count, its session and its working folder once running.
    install("#!/bin/sh\n"
            "read -r _ _ _ _ _ session _ < /proc/$$/stat\n"
            "echo \"$# $session $(pwd)\" > \"$TP_MARKER.tmp\"\n"
            "mv \"$TP_MARKER.tmp\" \"$TP_MARKER\"\n");
    env.set("HOME", tmp.path().string());

    helper::openTablePlus();

    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "no child of ours is left to reap";
    EXPECT_EQ(errno, ECHILD);
    ASSERT_TRUE(eventually([&] { return fs::exists(marker); }));
    std::istringstream report(readFile(marker));
    int arguments = -1;
    pid_t session = 0;
    std::string folder;
    report >> arguments >> session >> folder;
    EXPECT_EQ(arguments, 0);
    EXPECT_NE(session, ::getsid(0)) << "a session of its own";
    EXPECT_EQ(folder, tmp.path().string());
}

} // namespace

#include "support/ChildProcess.h"

#include "TestSupport.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

using namespace quillhaven;
using namespace std::chrono_literals;

namespace {

ChildProcess::Clock::time_point in(std::chrono::milliseconds d) {
    return ChildProcess::Clock::now() + d;
}

std::unique_ptr<ChildProcess> shell(const std::string& script,
                                    ChildProcess::Output err = ChildProcess::Output::collect) {
    ChildProcess::Options o;
    o.program = "/bin/sh";
    o.arguments = {"-c", script};
    o.standardError = err;
    return ChildProcess::launch(o);
}

bool zombieOrAlive(pid_t pid) {
    return ::kill(pid, 0) == 0;
}

} // namespace

TEST(ChildProcess, TalksThroughPipesAndReportsExit) {
    auto child = shell("read line; echo \"got $line\"; echo oops >&2; exit 3");
    ASSERT_TRUE(child->write("hello\n", in(5s)));
    std::string out;
    EXPECT_EQ(child->readAllOutput(out, in(5s)), ChildProcess::ReadResult::endOfFile);
    EXPECT_EQ(out, "got hello\n");
    auto status = child->wait(in(5s));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 3);
    EXPECT_TRUE(child->waitForCollectors(in(5s)));
    EXPECT_EQ(child->takeCollectedError(), "oops\n");
    EXPECT_FALSE(child->isRunning());
}

TEST(ChildProcess, ChildSeesOnlyItsStandardStreams) {
    int leaked = ::open("/dev/null", O_RDONLY); // opened without close-on-exec on purpose
    auto child = shell("ls /proc/self/fd");
    std::string out;
    child->readAllOutput(out, in(5s));
    ::close(leaked);
    // 0, 1, 2 and the descriptor ls opens to read the folder.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4) << out;
}

TEST(ChildProcess, ReadWaitsNoLongerThanTheDeadline) {
    auto child = shell("sleep 30");
    std::string out;
    auto start = ChildProcess::Clock::now();
    EXPECT_EQ(child->readOutput(out, in(200ms)), ChildProcess::ReadResult::timedOut);
    EXPECT_LT(ChildProcess::Clock::now() - start, 5s);
    auto status = child->terminateAndWait();
    EXPECT_EQ(status.signal, SIGTERM);
}

TEST(ChildProcess, StubbornChildIsKilledAndReaped) {
    auto child = shell("trap '' TERM; echo ready; while :; do sleep 1; done");
    std::string out;
    ASSERT_EQ(child->readOutput(out, in(5s)), ChildProcess::ReadResult::data);
    auto status = child->terminateAndWait(200ms);
    EXPECT_EQ(status.signal, SIGKILL);
}

TEST(ChildProcess, DestroyingLeavesNoZombieOrOrphan) {
    pid_t pid;
    {
        auto child = shell("sleep 30");
        pid = child->pid();
        EXPECT_TRUE(child->isRunning());
    }
    EXPECT_FALSE(zombieOrAlive(pid));
    int st;
    EXPECT_EQ(::waitpid(pid, &st, WNOHANG), -1); // already reaped
}

TEST(ChildProcess, WritingToAnEndedChildFailsQuietly) {
    auto child = shell("exit 0");
    child->wait(in(5s));
    // Fills the pipe's buffer so the write really hits the closed read end.
    EXPECT_FALSE(child->write(std::string(1 << 20, 'x'), in(5s)));
}

TEST(ChildProcess, EnvironmentAndMissingProgram) {
    ChildProcess::Options o;
    o.program = "/bin/sh";
    o.arguments = {"-c", "printf %s \"$QH_X\""};
    o.environment = std::vector<std::string>{"QH_X=forty two"};
    auto child = ChildProcess::launch(o);
    std::string out;
    child->readAllOutput(out, in(5s));
    EXPECT_EQ(out, "forty two");

    o.program = "/nonexistent/program";
    EXPECT_THROW(ChildProcess::launch(o), ChildProcessError);
    EXPECT_FALSE(findOnPath("no-such-program-qh", "/usr/bin:/bin"));
    EXPECT_EQ(findOnPath("sh", "/nonexistent:/bin"), "/bin/sh");
}

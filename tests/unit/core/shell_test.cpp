// Command lines through bash, and the child-process runner under them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "daemon/core/shell.h"
#include "platform/process.h"
#include "support/checks.h"
#include "support/temp_dir.h"

namespace {

using QVAgentLaunchDaemon::shell;

TEST(Shell, TrimsTheEndsKeepsInnerLinesAndMixesStderr) {
    EXPECT_EQ(shell("printf '  value\\n\\n'"), "value");
    EXPECT_EQ(shell("printf 'one\\ntwo\\n'"), "one\ntwo");
    EXPECT_EQ(shell("echo only-on-stderr >&2"), "only-on-stderr");
    EXPECT_EQ(shell("echo out; echo err >&2"), "out\nerr");
}

TEST(Shell, ExitStatusIsNotAnErrorAndBadUtf8IsEmpty) {
    EXPECT_EQ(shell("exit 3"), "");
    EXPECT_EQ(shell("echo partial; exit 1"), "partial");
    EXPECT_EQ(shell("printf 'caf\\xc3'"), "");
    EXPECT_EQ(shell("printf 'caf\\xc3\\xa9'"), "caf\u00e9");
}

TEST(Shell, CommandLineIsPassedToBashUnchanged) {
    EXPECT_EQ(shell("echo a | tr a b"), "b");
    EXPECT_EQ(shell("x='quoted words'; echo \"$x\""), "quoted words");
}

TEST(Shell, WaitsForEveryHolderOfThePipe) {
    // The background child keeps the pipe open after bash exits.
    EXPECT_EQ(shell("(sleep 0.2; echo late) & echo early"), "early\nlate");
}

TEST(Process, DrainsAChattyChildWhileItRuns) {
    // Far more than a pipe buffer holds: a runner that reads only after the
    // child ends would deadlock here.
    auto result =
        platform::runProcess("/bin/bash", {"-c", "head -c 1048576 /dev/zero | tr '\\0' x; exit 4"});
    EXPECT_EQ(result.output.size(), 1048576u);
    EXPECT_EQ(result.exitStatus, 4);
}

TEST(Process, SeparateStreamsAndLaunchFailures) {
    auto stdoutOnly = platform::runProcess("/bin/bash", {"-c", "echo out; echo err >&2"},
                                           {.mergeStderr = false, .discardStderr = true});
    EXPECT_EQ(stdoutOnly.output, "out\n");

    qvtest::TempDir dir;
    EXPECT_THROW(platform::runProcess(dir.str() + "/missing", {}), platform::LaunchError);
    qvtest::writeFile(dir / "not-executable", "#!/bin/sh\necho hi\n");
    EXPECT_THROW(platform::runProcess((dir / "not-executable").string(), {}),
                 platform::LaunchError);
}

TEST(Process, ADetachedChildLeadsASessionOfItsOwn) {
    // Stopping the daemon's launch job signals its process group: the
    // self-removal script must not be in it.
    qvtest::TempDir dir;
    const std::string out = dir.str() + "/session";
    platform::spawnDetached("/bin/sh",
                            {"-c", "ps -o sid= -p $$ > '" + out + ".tmp'; echo $$ >> '" + out +
                                       ".tmp'; mv '" + out + ".tmp' '" + out + "'"});
    ASSERT_TRUE(qvtest::eventually([&] { return std::filesystem::exists(out); }));
    std::istringstream lines(qvtest::readFile(out));
    pid_t session = 0, pid = 0;
    lines >> session >> pid;
    EXPECT_EQ(session, pid);
    EXPECT_NE(session, ::getsid(0));
}

}  // namespace

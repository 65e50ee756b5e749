// SPDX-License-Identifier: MIT
// aimhead and the simulator as separate processes, with every fault the
// simulator can put on the line.
#include "support/process.h"
#include "support/stderr_capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

ProcessResult aimhead(const Environment &environment, const std::vector<std::string> &angles = {"1000", "1571"})
{
    return runAimhead(angles, environment, 20s);
}

} // namespace

TEST(EndToEnd, MoveCompletesWithTheExpectedBytesOnTheLine)
{
    Simulator head({"--trace"});
    const ProcessResult result = aimhead(head.environment());
    EXPECT_EQ(result.status, 0) << result.err;
    head.stop();
    const std::string trace = head.errors();
    EXPECT_EQ(occurrences(trace, "-> initialise  [FF 30 30 00 90 30 EF]"), 1) << trace;
    EXPECT_EQ(occurrences(trace, "-> move pan 7E0C (-500) tilt 8000 (0)  [FF 30 30 00 62 37 45 30 43 38 30 30 30 EF]"),
              1);
    EXPECT_EQ(occurrences(trace, "<- position -500 0  [FE 30 30 30 30 37 45 30 43 38 30 30 30 EF]"), 1)
        << "aimhead ends on the first report of the target";
}

struct RecoverableFault {
    const char *name;
    std::vector<std::string> options;
    std::vector<std::string> seenOnStderr; // none: nothing may be printed
};

class RecoverableFaults : public testing::TestWithParam<RecoverableFault> {};

TEST_P(RecoverableFaults, MoveStillCompletes)
{
    std::vector<std::string> options = GetParam().options;
    options.insert(options.end(), {"--speed", "2000"});
    Simulator head(options);
    const ProcessResult result = aimhead(head.environment(), {"-1000", "2000"});
    EXPECT_EQ(result.status, 0) << result.err;
    if (GetParam().seenOnStderr.empty()) {
        EXPECT_EQ(result.err, "");
    }
    for (const std::string &line : GetParam().seenOnStderr)
        EXPECT_NE(result.err.find(line), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, RecoverableFaults,
    testing::Values(RecoverableFault{"reject", {"--reject", "3"}, {"PTZ error:  resending command."}},
                    RecoverableFault{"split", {"--split"}, {}}, RecoverableFault{"noise", {"--noise"}, {}},
                    RecoverableFault{"corrupt", {"--corrupt", "2"}, {"corrupt position reply ignored"}},
                    RecoverableFault{"all",
                                     {"--reject", "4", "--split", "--noise", "--corrupt", "3"},
                                     {"PTZ error:  resending command.", "corrupt position reply ignored"}}),
    [](const testing::TestParamInfo<RecoverableFault> &fault) { return std::string(fault.param.name); });

TEST(EndToEnd, SilentHeadFailsInBoundedTime)
{
    Simulator head({"--silent-after", "12"});
    const ProcessResult result = aimhead(head.environment());
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("no reply from the head within 1000 ms"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("aimhead: the head on " + head.device() + " stopped answering; it last reported pan "),
              std::string::npos);
    EXPECT_LT(result.elapsed, 8s);
}

TEST(EndToEnd, HangUpFailsAtOnce)
{
    Simulator head({"--hangup-after", "5"});
    const ProcessResult result = aimhead(head.environment());
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("link failed: hang-up on the line"), std::string::npos) << result.err;
    EXPECT_LT(result.elapsed, 3s);
}

TEST(EndToEnd, SecondRunOnTheSamePortIsRefusedAtOnce)
{
    Simulator head({"--speed", "400"});
    BackgroundProcess first({aimheadPath(), "1000", "1571"}, head.environment());
    usleep(300 * 1000);
    const ProcessResult second = aimhead(head.environment());
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, head.device() + ": port is in use by another process\nunable to open port\n");
    EXPECT_LT(second.elapsed, 500ms);
    EXPECT_EQ(first.wait(10s), 0) << first.errors();
}

TEST(EndToEnd, SimulatorOptionsAreChecked)
{
    for (const std::vector<std::string> &bad : {std::vector<std::string>{"--speed", "fast"},
                                                {"--speed", "1000001"},
                                                {"--reject", "0"},
                                                {"--start", "900,0"},
                                                {"--bogus"},
                                                {"--link"}}) {
        std::vector<std::string> argv = {aimsimPath()};
        argv.insert(argv.end(), bad.begin(), bad.end());
        const ProcessResult result = runProcess(argv, {}, 5s);
        EXPECT_EQ(result.status, 2) << bad[0];
        EXPECT_EQ(occurrences(result.err, "\n"), 1) << result.err;
        EXPECT_EQ(result.err.rfind("aimsim: ", 0), 0u);
    }
    const ProcessResult help = runProcess({aimsimPath(), "--help"}, {}, 5s);
    EXPECT_EQ(help.status, 0);
    for (const char *option : {"--link", "--start", "--speed", "--latency", "--reject", "--split", "--noise",
                               "--corrupt", "--silent-after", "--hangup-after", "--trace", "--version"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

TEST(EndToEnd, SimulatorLinkIsMadeAndRemoved)
{
    const std::string link = "/tmp/aimsim-link-" + std::to_string(getpid());
    ASSERT_EQ(symlink("/nonexistent/stale", link.c_str()), 0) << "a stale link for aimsim to replace";
    {
        Simulator head({"--link", link});
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(head.device(), target);
        EXPECT_EQ(aimhead({{"AIMLINK_DEVICE", link}}, {"0", "1571"}).status, 0);
        EXPECT_EQ(head.stop(), 0);
    }
    struct stat gone {};
    EXPECT_NE(lstat(link.c_str(), &gone), 0) << "removed on exit";
}

TEST(EndToEnd, DefaultDeviceIsUsedWithoutTheEnvironment)
{
    if (geteuid() != 0 || runProcess({"/usr/bin/unshare", "-m", "true"}, {}, 5s).status != 0)
        GTEST_SKIP() << "needs root and unshare -m to put the simulator's line at /dev/ttyS3 privately";
    Simulator head({"--trace"});
    // In a private mount namespace: bind the simulator's line over /dev/ttyS3,
    // on a private /dev when the machine has no such port.
    const std::string script = "set -e; pty=" + head.device() +
                               "; if [ ! -e /dev/ttyS3 ]; then stash=$(mktemp); mount --bind \"$pty\" \"$stash\"; "
                               "mount -t tmpfs tmpfs /dev; touch /dev/ttyS3; mount --bind \"$stash\" /dev/ttyS3; "
                               "umount \"$stash\"; rm -f \"$stash\"; else mount --bind \"$pty\" /dev/ttyS3; fi; "
                               "exec env -u AIMLINK_DEVICE " +
                               aimheadPath() + " 1000 1571";
    const ProcessResult result =
        runProcess({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script}, {}, 20s);
    EXPECT_EQ(result.status, 0) << result.err;
    head.stop();
    // Away from where the head starts: only a report after the move can end the run.
    EXPECT_EQ(occurrences(head.errors(), "-> move pan 7E0C (-500) tilt 8000 (0)"), 1) << head.errors();
}

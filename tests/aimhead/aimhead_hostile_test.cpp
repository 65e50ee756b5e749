// SPDX-License-Identifier: MIT
// aimhead under conditions a careful program must survive: signals that end
// the run mid-move, and standard descriptors its parent left closed.
#include "support/process.h"
#include "support/stderr_capture.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;

class AimheadEndedBySignal : public testing::TestWithParam<int> {};

TEST_P(AimheadEndedBySignal, LeavesThePortFreeForTheNextUnprivilegedRun)
{
    const int signal = GetParam();
    Simulator head({"--trace", "--speed", "100"}, Simulator::User::Unprivileged);
    BackgroundProcess first(unprivileged({aimheadPath(), "1000", "1571"}), head.environment());
    ASSERT_TRUE(head.errorsShow("-> move ", 5s)) << head.errors() << first.errors();
    ASSERT_TRUE(first.sendSignal(signal));
    EXPECT_EQ(first.wait(1s), 128 + signal) << "ends promptly, as the signal would: " << first.errors();

    const ProcessResult next = runProcess(unprivileged({aimheadPath(), "0", "1571"}), head.environment(), 10s);
    EXPECT_EQ(next.status, 0) << next.err;
}

INSTANTIATE_TEST_SUITE_P(Aimhead, AimheadEndedBySignal, testing::Values(SIGKILL, SIGHUP, SIGQUIT, SIGINT, SIGTERM),
                         [](const testing::TestParamInfo<int> &signal) {
                             return std::string(sigabbrev_np(signal.param));
                         });

class AimheadWithAClosedDescriptor : public testing::TestWithParam<int> {};

// A warning and rejections make aimhead write to standard error while the
// port is open: none of it may reach the head.
TEST_P(AimheadWithAClosedDescriptor, SendsOnlyFramesToTheLine)
{
    Simulator head({"--trace", "--speed", "0", "--reject", "3"});
    const std::string closing = std::to_string(GetParam()) + ">&-";
    const ProcessResult result =
        runProcess({"/bin/sh", "-c", "exec \"$0\" 2000 0 " + closing, aimheadPath()}, head.environment(), 10s);
    EXPECT_EQ(result.status, 0) << result.err;
    head.stop();
    const std::string trace = head.errors();
    EXPECT_EQ(occurrences(trace, "stray bytes"), 0) << trace;
    EXPECT_GE(occurrences(trace, "-> move pan 7C86 (-890) tilt 7EF5 (-267)"), 1) << trace;
    EXPECT_GE(occurrences(trace, "<- reject (fault)"), 1) << trace;
}

INSTANTIATE_TEST_SUITE_P(Aimhead, AimheadWithAClosedDescriptor, testing::Values(0, 1, 2),
                         [](const testing::TestParamInfo<int> &descriptor) {
                             return "Descriptor" + std::to_string(descriptor.param);
                         });

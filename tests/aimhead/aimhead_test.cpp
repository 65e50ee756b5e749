// SPDX-License-Identifier: MIT
// aimhead as a process, against a scripted head or the simulator.
#include "support/process.h"
#include "support/pty_peer.h"
#include "support/stderr_capture.h"

#include <gtest/gtest.h>

#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const std::string kUsage = "Usage:\naimhead pan tilt [zoom]\npan and tilt are in thousandths of radians\n";

// The frames the simulator traced, decoded, without the position requests.
std::vector<std::string> commandsTraced(const std::string &trace)
{
    std::vector<std::string> commands;
    size_t at = 0;
    while ((at = trace.find(" -> ", at)) != std::string::npos) {
        const size_t end = trace.find('\n', at);
        const std::string line = trace.substr(at + 4, end - at - 4);
        if (line.rfind("position request", 0) != 0)
            commands.push_back(line);
        at = end;
    }
    return commands;
}

// Plays the head for one aimhead run: answers the initialise frame and the
// position requests, and hands every other frame to onCommand, which
// answers it; stops when the line closes or onCommand returns false.
template <typename OnCommand> void playHead(PtyPeer &line, std::string &position, OnCommand onCommand)
{
    for (auto frame = line.readFrame(10s); frame; frame = line.readFrame(10s)) {
        if (*frame == initFrame())
            line.send(ackReply());
        else if (*frame == pollFrame())
            line.send(positionReply(position.substr(0, 4).c_str(), position.substr(4).c_str()));
        else if (!onCommand(*frame))
            return;
    }
}

} // namespace

TEST(AimheadCommandLine, UsageAndHelpNeverTouchTheLine)
{
    PtyPeer line;
    const Environment environment = {{"AIMLINK_DEVICE", line.path()}};
    for (const auto &arguments : std::vector<std::vector<std::string>>{{}, {"100"}}) {
        const ProcessResult result = runAimhead(arguments, environment);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, kUsage);
        EXPECT_EQ(result.err, "");
        EXPECT_LT(result.elapsed, 500ms) << "no pause before the usage text";
    }
    for (const std::string help : {"-h", "--help"}) {
        const ProcessResult result = runAimhead({help}, environment);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.rfind(kUsage, 0), 0u) << "the original usage comes first";
        for (const char *covered : {" get ", " home ", " by DPAN DTILT ", " save NAME [PAN TILT]", " goto NAME ",
                                    " presets ", " forget NAME ", "-d DEVICE", "--json", "--no-initialise"})
            EXPECT_NE(result.out.find(covered), std::string::npos) << covered;
    }
    const ProcessResult version = runAimhead({"--version"}, environment);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("aimhead ", 0), 0u);
    EXPECT_EQ(line.countFrames(200ms), 0) << "not one byte on the line";
}

TEST(AimheadCommandLine, RefusesEveryArgumentThatIsNotAWholeNumberInRange)
{
    PtyPeer line;
    const Environment environment = {{"AIMLINK_DEVICE", line.path()}};
    for (const std::string bad :
         {"abc", "12x", "", "1e3", "70000", "-32769", " 5", "+", "-", "0x10", "5 ", "--3", "+-9", "-+9"}) {
        const ProcessResult result = runAimhead({bad, "1571"}, environment);
        EXPECT_EQ(result.status, 2) << bad;
        EXPECT_EQ(result.err,
                  "aimhead: pan must be a whole number of milliradians from -32768 to 32767, got '" + bad + "'\n");
        EXPECT_EQ(result.out, "");
    }
    const ProcessResult tilt = runAimhead({"0", "1.5"}, environment);
    EXPECT_EQ(tilt.status, 2);
    EXPECT_EQ(tilt.err, "aimhead: tilt must be a whole number of milliradians from -32768 to 32767, got '1.5'\n");
    const ProcessResult zoom = runAimhead({"0", "1571", "far"}, environment);
    EXPECT_EQ(zoom.status, 2);
    EXPECT_EQ(zoom.err, "aimhead: zoom must be a whole number from -32768 to 32767, got 'far'\n");
    const ProcessResult control = runAimhead({"1\x1b[2J", "0"}, environment);
    EXPECT_EQ(control.err,
              "aimhead: pan must be a whole number of milliradians from -32768 to 32767, got '1\\x1B[2J'\n");
    EXPECT_EQ(line.countFrames(200ms), 0) << "nothing opened, nothing sent";
}

TEST(AimheadCommandLine, LongArgumentIsCutInTheMessage)
{
    const ProcessResult result = runAimhead({"0", std::string(100000, '7')}, {{"AIMLINK_DEVICE", "/nonexistent"}});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "aimhead: tilt must be a whole number of milliradians from -32768 to 32767, got "
                          "'77777777777777777777777777777777'...\n");
}

TEST(AimheadCommandLine, DevicePathIsShownEscaped)
{
    const std::string link = "/tmp/aimhead-\n\x1b[31m-" + std::to_string(getpid());
    Simulator head({"--link", link, "--hangup-after", "0"});
    const ProcessResult result = runAimhead({"0", "1571"}, {{"AIMLINK_DEVICE", link}}, 10s);
    EXPECT_EQ(result.status, 1);
    const std::string shown = "/tmp/aimhead-\\x0A\\x1B[31m-" + std::to_string(getpid());
    EXPECT_NE(result.err.find("aimhead: " + shown + ": the link to the head failed: hang-up on the line"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find('\x1b'), std::string::npos) << "no line lets the escape sequence through";
}

TEST(AimheadCommandLine, MissingDeviceFailsWithStatusOne)
{
    const ProcessResult result = runAimhead({"0", "1571"}, {{"AIMLINK_DEVICE", "/nonexistent/ttyUSB7"}});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "/nonexistent/ttyUSB7: No such file or directory\nunable to open port\n");
}

TEST(AimheadCommandLine, PortWithoutPermissionFailsWithStatusOne)
{
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run aimhead as a user without access to the port";
    char port[] = "/tmp/aimlink-port-XXXXXX";
    const int file = mkstemp(port);
    ASSERT_GE(file, 0);
    fchmod(file, 0600);
    close(file);
    const ProcessResult result =
        runProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", aimheadPath(), "0", "1571"},
                   {{"AIMLINK_DEVICE", port}}, 10s);
    unlink(port);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, std::string(port) + ": Permission denied\nunable to open port\n");
}

TEST(AimheadMove, SendsTheWorkedMoveFramesAndEndsWhenTheHeadArrives)
{
    struct Row {
        const char *pan, *tilt, *frame;
    };
    const Row rows[] = {
        {"0", "1571", "FF 30 30 00 62 38 30 30 30 38 30 30 30 EF"},
        {"1000", "1571", "FF 30 30 00 62 37 45 30 43 38 30 30 30 EF"},
        {"-1000", "1571", "FF 30 30 00 62 38 31 46 34 38 30 30 30 EF"},
        {"1780", "1571", "FF 30 30 00 62 37 43 38 36 38 30 30 30 EF"},
        {"0", "3171", "FF 30 30 00 62 38 30 30 30 38 33 32 30 EF"},
        {"0", "1037", "FF 30 30 00 62 38 30 30 30 37 45 46 35 EF"},
    };
    for (const Row &row : rows) {
        Simulator head({"--trace", "--speed", "0"});
        const ProcessResult result = runAimhead({row.pan, row.tilt}, head.environment());
        EXPECT_EQ(result.status, 0) << row.pan << " " << row.tilt << ": " << result.err;
        EXPECT_EQ(result.err, "");
        head.stop();
        const auto commands = commandsTraced(head.errors());
        ASSERT_EQ(commands.size(), 2u) << head.errors();
        EXPECT_EQ(commands[0], "initialise  [FF 30 30 00 90 30 EF]");
        EXPECT_NE(commands[1].find(std::string("[") + row.frame + "]"), std::string::npos) << commands[1];
    }
}

TEST(AimheadMove, ThirdArgumentChangesNothingOnTheLine)
{
    std::vector<std::string> seen[2];
    const std::vector<std::string> runs[2] = {{"500", "2000"}, {"500", "2000", "5"}};
    for (int i = 0; i < 2; ++i) {
        Simulator head({"--trace", "--speed", "0"});
        EXPECT_EQ(runAimhead(runs[i], head.environment()).status, 0);
        head.stop();
        seen[i] = commandsTraced(head.errors());
    }
    EXPECT_EQ(seen[0], seen[1]);
}

TEST(AimheadMove, BeyondTheTravelWarnsAndCompletesAtTheLimit)
{
    Simulator head({"--speed", "0"});
    const ProcessResult result = runAimhead({"2000", "0"}, head.environment());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "aimhead: pan 2000 tilt 0 is beyond the head's travel; the head will stop at its "
                          "limit, pan 1780 tilt 1037\n");
}

TEST(AimheadMove, RejectedMoveIsResentAndCompletes)
{
    PtyPeer line;
    std::string position = "80008000";
    int moves = 0;
    std::thread head([&] {
        playHead(line, position, [&](const ByteVector &frame) {
            if (frame != moveFrame("7E0C", "8000"))
                return false;
            if (++moves == 1) {
                line.send(rejectReply());
            } else {
                line.send(ackReply());
                position = "7E0C8000";
            }
            return true;
        });
    });
    const ProcessResult result = runAimhead({"1000", "1571"}, {{"AIMLINK_DEVICE", line.path()}}, 10s);
    line.interrupt();
    head.join();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(moves, 2);
    EXPECT_EQ(result.err, "PTZ error:  resending command.\nhexPrint:   FE 30 30 31 30 EF\n");
}

TEST(AimheadFailure, SilentHeadEndsWithStatusOneInBoundedTime)
{
    Simulator head({"--silent-after", "0"});
    const ProcessResult result = runAimhead({"0", "1571"}, head.environment(), 10s);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("aimhead: the head on " + head.device() + " does not answer\n"), std::string::npos)
        << result.err;
    EXPECT_LT(result.elapsed, 4s);
}

TEST(AimheadFailure, HangUpMidMoveEndsAtOnce)
{
    PtyPeer line;
    std::string position = "80008000";
    std::chrono::steady_clock::time_point hungUp;
    std::thread head([&] {
        playHead(line, position, [&](const ByteVector &) {
            line.send(ackReply());
            std::this_thread::sleep_for(300ms);
            hungUp = std::chrono::steady_clock::now();
            line.hangUp();
            return false;
        });
    });
    const ProcessResult result = runAimhead({"1000", "1571"}, {{"AIMLINK_DEVICE", line.path()}}, 10s);
    const auto ended = std::chrono::steady_clock::now();
    head.join();
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(": link failed: hang-up on the line"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("aimhead: " + line.path() +
                              ": the link to the head failed: hang-up on the line (device unplugged or closed)\n"),
              std::string::npos);
    EXPECT_LT(ended - hungUp, 1s);
}

// The second of quiet after the initialise still watches the line: an
// unplug then ends the run when it happens, not when the pause is over.
TEST(AimheadFailure, HangUpDuringTheStartUpPauseEndsAtOnce)
{
    Simulator head({"--speed", "0", "--hangup-after", "2"});
    const ProcessResult result = runAimhead({"1000", "1571"}, head.environment(), 10s);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(": the link to the head failed: hang-up on the line"), std::string::npos) << result.err;
    EXPECT_LT(result.elapsed, 700ms) << "the start-up pause alone is 1 s";
}

TEST(AimheadFailure, HeadThatNeverArrivesEndsAfterThirtySeconds)
{
    Simulator head({"--speed", "2"});
    const ProcessResult result = runAimhead({"1000", "1571"}, head.environment(), 45s);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("aimhead: the head on " + head.device() +
                              " did not reach pan 1000 tilt 1571 within 30 s; it last reported pan "),
              std::string::npos)
        << result.err;
    EXPECT_GE(result.elapsed, 30s);
    EXPECT_LT(result.elapsed, 34s);
}

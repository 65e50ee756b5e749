// SPDX-License-Identifier: MIT
// The client against a scripted head on a pseudo-terminal.
#include "aimlink.h"
#include "serial.h"
#include "support/pty_peer.h"
#include "support/stderr_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::pair<int32_t, int32_t> reported()
{
    int32_t position[2];
    getPTZ(position);
    return {position[0], position[1]};
}

class Ptz : public testing::Test {
protected:
    void SetUp() override { setenv("AIMLINK_DEVICE", line.path().c_str(), 1); }
    void TearDown() override { stopPTZ(); }

    // Starts the client and answers its initialise frame.
    void startAnswered()
    {
        startPTZ();
        ASSERT_EQ(line.readFrame(), initFrame());
        line.send(ackReply());
        ASSERT_EQ(waitLinkPTZ(1000), 1);
    }

    // Answers position requests with the given reply until another frame
    // comes, and returns that one.
    ByteVector nextCommand(const ByteVector &pollAnswer)
    {
        for (;;) {
            auto frame = line.readFrame();
            if (!frame || *frame != pollFrame())
                return frame.value_or(ByteVector{});
            line.send(pollAnswer);
        }
    }

    PtyPeer line;
};

} // namespace

TEST_F(Ptz, StartWritesTheInitialiseFrameThenPollsThePosition)
{
    EXPECT_EQ(linkPTZ(), PTZ_LINK_STOPPED);
    startPTZ();
    EXPECT_EQ(readyPTZ(), 1) << "startPTZ returns once the frame is written";
    EXPECT_EQ(linkPTZ(), PTZ_LINK_WAITING);
    EXPECT_EQ(devicePTZ(), line.path());
    EXPECT_EQ(line.readFrame(), initFrame());
    EXPECT_EQ(startPTZ(), 0) << "a second start while running does nothing";
    line.send(ackReply());
    EXPECT_EQ(waitLinkPTZ(1000), 1);
    EXPECT_EQ(line.readFrame(), pollFrame()) << "and sends no second initialise frame";
}

TEST_F(Ptz, MoveGoesOutWholeAndCompletesWhenTheHeadReportsTheTarget)
{
    startAnswered();
    setPanTilt(1000, 1571);
    EXPECT_EQ(readyPTZ(), 0) << "the slot is full until the frame is written";
    EXPECT_EQ(pan, -500);
    EXPECT_EQ(tilt, 0);
    const ByteVector move = nextCommand(positionReply("8000", "8000"));
    EXPECT_EQ(move, moveFrame("7E0C", "8000"));
    EXPECT_EQ(move.size(), 14u) << "the 00 byte goes out with the frame";
    EXPECT_EQ(waitReadyPTZ(1000), 1) << "ready once written, before any answer";

    line.send(ackReply());
    ASSERT_EQ(line.readFrame(), pollFrame());
    EXPECT_EQ(donePTZ(), 0) << "an acknowledgement leaves the position";
    line.send(positionReply("7E0C", "8000"));
    EXPECT_EQ(waitDonePTZ(1000), 1);
    EXPECT_EQ(reported(), (std::pair<int32_t, int32_t>(-1000, 0)));
}

TEST_F(Ptz, AMoveBeyondTheTravelGoesOutAndArrivesAtTheLimit)
{
    startAnswered();
    setPanTilt(2000, 0);
    EXPECT_EQ(pan, -890);
    EXPECT_EQ(tilt, -267);
    EXPECT_EQ(nextCommand(positionReply("8000", "8000")), moveFrame("7C86", "7EF5"));
    line.send(ackReply());
    ASSERT_EQ(line.readFrame(), pollFrame());
    line.send(positionReply("7C86", "7EF5"));
    EXPECT_EQ(waitDonePTZ(1000), 1);
}

TEST_F(Ptz, HomeAndZoom)
{
    startAnswered();
    setZoom(7);
    EXPECT_EQ(readyPTZ(), 1) << "zoom queues nothing";
    homePTZ();
    EXPECT_EQ(nextCommand(positionReply("8000", "8000")), homeFrame());
}

TEST_F(Ptz, RejectionResendsTheLastCommandFrame)
{
    StderrCapture errors;
    startAnswered();
    setPanTilt(-1000, 1571);
    const ByteVector move = nextCommand(positionReply("8000", "8000"));
    ASSERT_EQ(move, moveFrame("81F4", "8000"));
    line.send(ackReply());
    ASSERT_EQ(line.readFrame(), pollFrame());
    line.send(rejectReply());
    EXPECT_EQ(line.readFrame(), move) << "a rejected position request resends the last command";
    line.send(rejectReply());
    EXPECT_EQ(line.readFrame(), move) << "and so does a rejected resend";
    line.send(ackReply());
    EXPECT_EQ(line.readFrame(), pollFrame());
    EXPECT_EQ(occurrences(errors.text(), "PTZ error:  resending command.\nhexPrint:   FE 30 30 31 30 EF\n"), 2);
}

TEST_F(Ptz, ACommandQueuedBeforeARejectionGoesOutInsteadOfTheResend)
{
    startAnswered();
    setPanTilt(0, 1571);
    ASSERT_EQ(nextCommand(positionReply("8000", "8000")), moveFrame("8000", "8000"));
    setPanTilt(1000, 1571); // while the watcher waits for the answer to the first
    line.send(rejectReply());
    EXPECT_EQ(line.readFrame(), moveFrame("7E0C", "8000")) << "the resend does not replace it";
    line.send(ackReply());
    EXPECT_EQ(line.readFrame(), pollFrame());
}

TEST_F(Ptz, RepliesSplitAcrossReadsOrBehindNoiseAreRead)
{
    startAnswered();
    setPanTilt(-1000, 3171);
    ASSERT_EQ(line.readFrame(), moveFrame("81F4", "8320"));
    line.send(ackReply());
    ASSERT_EQ(line.readFrame(), pollFrame());
    ByteVector noisy = {0x00, 0x13, 0xEF};
    const ByteVector reply = positionReply("81F4", "8320");
    noisy.insert(noisy.end(), reply.begin(), reply.begin() + 7);
    line.send(noisy);
    std::this_thread::sleep_for(60ms);
    line.send(ByteVector(reply.begin() + 7, reply.end()));
    ASSERT_EQ(waitDonePTZ(1000), 1);
    EXPECT_EQ(reported(), (std::pair<int32_t, int32_t>(1000, 1600)));

    ASSERT_EQ(line.readFrame(), pollFrame());
    line.send({0xFE});
    std::this_thread::sleep_for(60ms);
    line.send({0x30, 0x30, 0x30, 0x30, 0xEF});
    EXPECT_EQ(line.readFrame(), pollFrame()) << "a lone FE starts a reply; it is no rejection";
}

TEST_F(Ptz, ALateReplyIsDiscardedNotReadAsTheAnswerToTheNextFrame)
{
    startAnswered();
    setPanTilt(1000, 1571);
    ASSERT_EQ(nextCommand(positionReply("8000", "8000")), moveFrame("7E0C", "8000"));
    line.send(ackReply());
    ASSERT_EQ(line.readFrame(), pollFrame());
    line.send(positionReply("7E0C", "8000"));
    ASSERT_EQ(waitDonePTZ(1000), 1);
    line.send(positionReply("81F4", "8000")); // a second answer, come late
    ASSERT_EQ(line.readFrame(), pollFrame());
    line.send(positionReply("7E0C", "8320"));
    ASSERT_EQ(line.readFrame(), pollFrame());
    EXPECT_EQ(reported(), (std::pair<int32_t, int32_t>(-1000, 1600)));
}

TEST_F(Ptz, CorruptDigitsNeverPassForAPosition)
{
    StderrCapture errors;
    startAnswered();
    setPanTilt(1000, 1571);
    ASSERT_EQ(line.readFrame(), moveFrame("7E0C", "8000"));
    line.send(ackReply());
    ASSERT_EQ(line.readFrame(), pollFrame());
    line.send(positionReply("7E@C", "8000"));
    ASSERT_EQ(line.readFrame(), pollFrame());
    EXPECT_EQ(reportedPTZ(), 0) << "a corrupt reply is no report";
    EXPECT_EQ(donePTZ(), 0);
    EXPECT_EQ(occurrences(errors.text(), "corrupt position reply ignored: FE 30 30 30 30 37 45 40 43 38 30 30 30 EF\n"),
              1);
    line.send(positionReply("7e0c", "8000"));
    EXPECT_EQ(waitDonePTZ(1000), 1) << "lower-case digits read like upper-case ones";
}

TEST_F(Ptz, SilentHeadIsReportedOnceWithoutAResendStorm)
{
    StderrCapture errors;
    const double cpuBefore = cpuSeconds();
    startPTZ();
    ASSERT_EQ(line.readFrame(), initFrame());
    EXPECT_EQ(waitLinkPTZ(1500), 0);
    EXPECT_EQ(linkPTZ(), PTZ_LINK_SILENT);
    // One frame per time-out plus pause: position requests, never the initialise frame again.
    int frames = 0;
    for (auto frame = line.readFrame(2500ms); frame; frame = line.readFrame(1500ms)) {
        EXPECT_EQ(*frame, pollFrame());
        if (++frames == 2)
            break;
    }
    EXPECT_EQ(frames, 2);
    EXPECT_LT(cpuSeconds() - cpuBefore, 0.2) << "waiting burns no CPU";
    EXPECT_EQ(occurrences(errors.text(), "no reply from the head within 1000 ms"), 1);

    line.send(positionReply("8000", "8000"));
    EXPECT_EQ(waitLinkPTZ(1000), 1);
    EXPECT_EQ(occurrences(errors.text(), "the head answers again"), 1);
}

TEST_F(Ptz, UnansweredMoveAndHomeAreSentAgainButInitialiseIsNot)
{
    startPTZ();
    ASSERT_EQ(line.readFrame(), initFrame());
    setPanTilt(0, 1571);
    const ByteVector move = moveFrame("8000", "8000");
    EXPECT_EQ(line.readFrame(), move);
    EXPECT_EQ(line.readFrame(), move) << "resent after a second without an answer";
    line.send(ackReply());
    ASSERT_EQ(line.readFrame(), pollFrame());
    homePTZ();
    line.send(positionReply("8000", "8000"));
    EXPECT_EQ(line.readFrame(), homeFrame());
    EXPECT_EQ(line.readFrame(), homeFrame()) << "resent after a second without an answer";
    line.send(ackReply());
    EXPECT_EQ(line.readFrame(), pollFrame());
}

TEST_F(Ptz, HangUpFailsTheLinkOnceAndTheWatcherGoesIdle)
{
    StderrCapture errors;
    startAnswered();
    setPanTilt(1000, 1571);
    ASSERT_EQ(nextCommand(positionReply("8000", "8000")), moveFrame("7E0C", "8000"));
    line.hangUp();
    const auto before = Clock::now();
    EXPECT_EQ(waitDonePTZ(5000), -1);
    EXPECT_LT(Clock::now() - before, 1500ms) << "the failure ends the wait";
    EXPECT_EQ(linkPTZ(), PTZ_LINK_FAILED);
    const double cpuBefore = cpuSeconds();
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(cpuSeconds() - cpuBefore, 0.05) << "no loop on a dead port";
    EXPECT_EQ(occurrences(errors.text(), "link failed"), 1);
    EXPECT_EQ(waitReadyPTZ(100), PTZ_WAIT_FAILED) << "a failed link is reported before an empty slot";
}

TEST_F(Ptz, HangUpBetweenExchangesIsNamedAsAHangUp)
{
    StderrCapture errors;
    startAnswered(); // the watcher now pauses before its next frame, whose write fails
    line.hangUp();
    EXPECT_EQ(waitDonePTZ(2000), PTZ_WAIT_FAILED);
    EXPECT_EQ(occurrences(errors.text(), "link failed: hang-up on the line (device unplugged or closed)"), 1)
        << errors.text();
}

TEST_F(Ptz, StopReleasesThePortAndStartRunsAgain)
{
    startAnswered();
    EXPECT_EQ(openRaw(line.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), -1) << "held exclusively";
    stopPTZ();
    EXPECT_EQ(linkPTZ(), PTZ_LINK_STOPPED);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(waitDonePTZ(100), PTZ_WAIT_FAILED);
    EXPECT_EQ(waitReadyPTZ(100), PTZ_WAIT_FAILED);

    PtyPeer replacement;
    setenv("AIMLINK_DEVICE", replacement.path().c_str(), 1);
    startPTZ();
    EXPECT_EQ(replacement.readFrame(), initFrame());
    replacement.send(ackReply());
    EXPECT_EQ(waitLinkPTZ(1000), 1);
    stopPTZ();
    const int reopened = openRaw(line.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(reopened, 0) << "the first port was given back";
    close(reopened);
}

TEST_F(Ptz, ARestartForgetsEverythingTheLastSessionSaw)
{
    startAnswered();
    setPanTilt(1000, 1571);
    ASSERT_EQ(nextCommand(positionReply("8000", "8000")), moveFrame("7E0C", "8000"));
    line.send(ackReply());
    ASSERT_EQ(line.readFrame(), pollFrame());
    line.send(positionReply("7E0C", "8000"));
    ASSERT_EQ(waitDonePTZ(1000), PTZ_WAIT_DONE);
    stopPTZ();

    // Another head, or the same one moved meanwhile: nothing is known yet.
    PtyPeer replacement;
    setenv("AIMLINK_DEVICE", replacement.path().c_str(), 1);
    startPTZ();
    EXPECT_EQ(reportedPTZ(), 0);
    EXPECT_EQ(reported(), (std::pair<int32_t, int32_t>(0, 0)));
    EXPECT_EQ(pan, 0);
    ASSERT_EQ(replacement.readFrame(), initFrame());
    replacement.send(ackReply());
    ASSERT_EQ(waitLinkPTZ(1000), PTZ_WAIT_DONE);
    ASSERT_EQ(replacement.readFrame(), pollFrame());
    replacement.send(positionReply("7E0C", "8000")); // where the last session was sent
    ASSERT_EQ(replacement.readFrame(), pollFrame());
    EXPECT_EQ(donePTZ(), 0) << "no move was asked of this session";
    setPanTilt(1000, 1571);
    ASSERT_EQ(waitReadyPTZ(2000), PTZ_WAIT_DONE);
    EXPECT_EQ(waitDonePTZ(300), PTZ_WAIT_TIMEOUT) << "the old session's report does not count";
    stopPTZ();
}

TEST_F(Ptz, WaitsTimeOutAndWakeOnTheEvent)
{
    startAnswered();
    setPanTilt(1000, 1571);
    const auto before = Clock::now();
    EXPECT_EQ(waitDonePTZ(150), 0);
    EXPECT_GE(Clock::now() - before, 150ms);
    ASSERT_EQ(nextCommand(positionReply("8000", "8000")), moveFrame("7E0C", "8000"));
    line.send(ackReply());
    ASSERT_EQ(line.readFrame(), pollFrame());
    std::thread head([this] {
        std::this_thread::sleep_for(50ms);
        line.send(positionReply("7E0C", "8000"));
    });
    EXPECT_EQ(waitDonePTZ(2000), 1);
    head.join();
}

TEST(PtzDevice, DefaultsToTheFirstSerialPortUnlessTheEnvironmentNamesOne)
{
    setenv("AIMLINK_DEVICE", "", 1);
    EXPECT_STREQ(devicePTZ(), "/dev/ttyS3");
    aimlink_head *handle = aimlink_new(nullptr);
    EXPECT_STREQ(aimlink_device(handle), "/dev/ttyS3");
    aimlink_free(handle);
    unsetenv("AIMLINK_DEVICE");
    EXPECT_STREQ(devicePTZ(), "/dev/ttyS3");
    setenv("AIMLINK_DEVICE", "/dev/ttyUSB0", 1);
    EXPECT_STREQ(devicePTZ(), "/dev/ttyUSB0");
}

TEST(PtzDeathTest, MissingDeviceEndsTheProcess)
{
    setenv("AIMLINK_DEVICE", "/nonexistent/ttyUSB9", 1);
    EXPECT_EXIT(startPTZ(), testing::ExitedWithCode(1),
                "^/nonexistent/ttyUSB9: No such file or directory\nunable to open port\n$");
}

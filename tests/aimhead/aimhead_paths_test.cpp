// SPDX-License-Identifier: MIT
// aimhead's less-used paths: signed arguments, a request beyond the tilt
// travel only, the start-up pause, outages, and the numbers in its lines.
#include "support/process.h"
#include "support/pty_peer.h"
#include "support/stderr_capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Plays the head until the line closes: answer gives the reply to each
// frame, or nothing for a frame the head leaves unanswered.
using Answer = std::function<std::optional<ByteVector>(const ByteVector &frame)>;

std::thread playHead(PtyPeer &line, Answer answer)
{
    return std::thread([&line, answer = std::move(answer)] {
        for (auto frame = line.readFrame(10s); frame; frame = line.readFrame(10s)) {
            if (const auto reply = answer(*frame))
                line.send(*reply);
        }
    });
}

// The time stamp (monotonic seconds) of the first trace line holding text.
double tracedAt(const std::string &trace, const std::string &text)
{
    const size_t at = trace.find(text);
    if (at == std::string::npos)
        return -1;
    const size_t line = trace.rfind('\n', at);
    return std::strtod(trace.c_str() + (line == std::string::npos ? 0 : line + 1), nullptr);
}

} // namespace

TEST(AimheadPaths, SignedArgumentsAndATiltBeyondTheTravelAfterTheStartUpPause)
{
    Simulator head({"--trace", "--speed", "0"});
    const ProcessResult result = runAimhead({"+0", "+4000"}, head.environment(), 20s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "aimhead: pan 0 tilt 4000 is beyond the head's travel; the head will stop at its limit, "
                          "pan 0 tilt 3171\n");
    head.stop();
    const std::string trace = head.errors();
    const double initialised = tracedAt(trace, "-> initialise");
    const double moved = tracedAt(trace, "-> move pan 8000 (0) tilt 8320 (800)");
    ASSERT_GT(initialised, 0) << trace;
    ASSERT_GT(moved, 0) << trace;
    EXPECT_GT(moved - initialised, 0.9) << "the head is given a second after the initialise frame";
}

TEST(AimheadPaths, HangUpBeforeTheFirstAnswerIsALinkFailure)
{
    PtyPeer line;
    std::thread head = playHead(line, [&line](const ByteVector &) {
        line.hangUp();
        return std::nullopt;
    });
    const ProcessResult result = runAimhead({"1000", "1571"}, {{"AIMLINK_DEVICE", line.path()}}, 10s);
    head.join();
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("aimhead: " + line.path() + ": the link to the head failed: hang-up on the line"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("does not answer"), std::string::npos) << result.err;
}

// Two outages of two unanswered position requests each (about 1.2 s of
// silence), apart: together longer than the 3 s aimhead allows one.
TEST(AimheadPaths, EachOutageIsTimedAfresh)
{
    PtyPeer line;
    int polls = 0;
    bool moved = false;
    std::thread head = playHead(line, [&](const ByteVector &frame) -> std::optional<ByteVector> {
        if (frame == moveFrame("7E0C", "8000")) {
            moved = true;
            return ackReply();
        }
        if (frame != pollFrame())
            return ackReply();
        if (!moved)
            return positionReply("8000", "8000");
        ++polls;
        if (polls == 3 || polls == 4 || polls == 8 || polls == 9)
            return std::nullopt;
        return polls < 10 ? positionReply("8000", "8000") : positionReply("7E0C", "8000");
    });
    const ProcessResult result = runAimhead({"1000", "1571"}, {{"AIMLINK_DEVICE", line.path()}}, 20s);
    line.interrupt();
    head.join();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(occurrences(result.err, "the head answers again"), 2) << result.err;
}

TEST(AimheadPaths, AHeadThatStopsAnsweringIsNamedWithItsLastReport)
{
    PtyPeer line;
    bool moved = false;
    std::thread head = playHead(line, [&](const ByteVector &frame) -> std::optional<ByteVector> {
        moved = moved || frame == moveFrame("7E0C", "8000");
        if (moved)
            return std::nullopt;
        // Pan 500 and tilt 100 counts: -1000 and 1771 milliradians.
        return frame == pollFrame() ? positionReply("81F4", "8064") : ackReply();
    });
    const ProcessResult result = runAimhead({"1000", "1571"}, {{"AIMLINK_DEVICE", line.path()}}, 20s);
    line.interrupt();
    head.join();
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("aimhead: the head on " + line.path() +
                              " stopped answering; it last reported pan -1000 tilt 1771\n"),
              std::string::npos)
        << result.err;
}

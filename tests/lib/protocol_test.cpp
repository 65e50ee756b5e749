// SPDX-License-Identifier: MIT
#include "aimlink_protocol.h"
#include "head.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace aimlink;

namespace {

std::vector<uint8_t> frame(size_t (*build)(std::span<uint8_t>))
{
    std::vector<uint8_t> out(kMaxFrame);
    out.resize(build(out));
    return out;
}

std::vector<uint8_t> move(int16_t panCount, int16_t tiltCount)
{
    std::vector<uint8_t> out(kMaxFrame);
    out.resize(buildMoveFrame(out, panCount, tiltCount));
    return out;
}

std::string field(int16_t count)
{
    const auto digits = encodeCount(count);
    return std::string(digits.begin(), digits.end());
}

std::optional<int16_t> readBack(const char *digits)
{
    return decodeCount(std::span<const uint8_t, 4>(reinterpret_cast<const uint8_t *>(digits), 4));
}

std::vector<uint8_t> positionBytes(const char *pan, const char *tilt)
{
    std::vector<uint8_t> reply = {0xFE, 0x30, 0x30, 0x30, 0x30};
    for (const char *f : {pan, tilt})
        reply.insert(reply.end(), f, f + 4);
    reply.push_back(0xEF);
    return reply;
}

} // namespace

TEST(Frames, HaveTheirExactBytesAndLengths)
{
    EXPECT_EQ(frame(buildInitFrame), (std::vector<uint8_t>{0xFF, 0x30, 0x30, 0x00, 0x90, 0x30, 0xEF}));
    EXPECT_EQ(frame(buildHomeFrame), (std::vector<uint8_t>{0xFF, 0x30, 0x30, 0x00, 0x57, 0xEF}));
    EXPECT_EQ(frame(buildPollFrame), (std::vector<uint8_t>{0xFF, 0x30, 0x30, 0x00, 0x63, 0xEF}));
    EXPECT_EQ(move(0, 0), (std::vector<uint8_t>{0xFF, 0x30, 0x30, 0x00, 0x62, 0x38, 0x30, 0x30, 0x30, 0x38, 0x30, 0x30,
                                                0x30, 0xEF}));
    const auto toward = move(-500, 0);
    ASSERT_EQ(toward.size(), 14u);
    EXPECT_EQ(std::string(toward.begin() + 5, toward.begin() + 13), "7E0C8000");
}

TEST(CommandTable, BuildsEachCommandsFrameFromItsRow)
{
    const auto built = [](Command command, Counts requested) {
        std::vector<uint8_t> out(kMaxFrame);
        out.resize(commandRow(command).build(out, requested));
        return out;
    };
    EXPECT_EQ(built(Command::Initialise, {5, 5}), frame(buildInitFrame));
    EXPECT_EQ(built(Command::Home, {5, 5}), frame(buildHomeFrame));
    EXPECT_EQ(built(Command::Poll, {5, 5}), frame(buildPollFrame));
    EXPECT_EQ(built(Command::Move, {-500, 7}), move(-500, 7));
}

TEST(CommandTable, FindsTheRowOfAFrameByItsCommandByte)
{
    for (const Command command : {Command::Initialise, Command::Home, Command::Move, Command::Poll}) {
        std::vector<uint8_t> out(kMaxFrame);
        out.resize(commandRow(command).build(out, {1, 2}));
        EXPECT_EQ(rowOfFrame(out).command, command);
        EXPECT_EQ(rowOfFrame(out).code, out[4]);
    }
}

TEST(CommandTable, TakesAHandMadeFrameAsAcknowledgedAndNeverResent)
{
    const std::vector<uint8_t> unknown = {0xFF, 0x30, 0x30, 0x00, 0x64, 0xEF};
    for (const Bytes frame : {Bytes(unknown), Bytes(unknown.data(), 4), Bytes()}) {
        const CommandRow &row = rowOfFrame(frame);
        EXPECT_EQ(row.command, Command::Other);
        EXPECT_EQ(row.expects, ReplyKind::Acknowledgement);
        EXPECT_EQ(row.replyLength, kAckReplyLength);
        EXPECT_FALSE(row.resentWhenUnanswered);
        EXPECT_FALSE(targetSetBy(row, {1, 1}));
    }
}

TEST(CommandTable, OnlyAPositionRequestExpectsAReport)
{
    EXPECT_EQ(commandRow(Command::Poll).expects, ReplyKind::Position);
    EXPECT_EQ(commandRow(Command::Poll).replyLength, kDataReplyLength);
    for (const Command command : {Command::Initialise, Command::Home, Command::Move}) {
        EXPECT_EQ(commandRow(command).expects, ReplyKind::Acknowledgement);
        EXPECT_EQ(commandRow(command).replyLength, kAckReplyLength);
    }
}

TEST(CommandTable, ResendsOnlyMovesAndHomesThatGoUnanswered)
{
    EXPECT_TRUE(commandRow(Command::Move).resentWhenUnanswered);
    EXPECT_TRUE(commandRow(Command::Home).resentWhenUnanswered);
    EXPECT_FALSE(commandRow(Command::Initialise).resentWhenUnanswered);
    EXPECT_FALSE(commandRow(Command::Poll).resentWhenUnanswered);
}

TEST(CommandTable, MovesAndHomesSetTheTargetAndTheRestKeepIt)
{
    const auto target = [](Command command) { return targetSetBy(commandRow(command), {-12, 34}); };
    ASSERT_TRUE(target(Command::Move));
    EXPECT_EQ(target(Command::Move)->pan, -12);
    EXPECT_EQ(target(Command::Move)->tilt, 34);
    ASSERT_TRUE(target(Command::Home));
    EXPECT_EQ(target(Command::Home)->pan, 0);
    EXPECT_EQ(target(Command::Home)->tilt, 0);
    EXPECT_FALSE(target(Command::Initialise));
    EXPECT_FALSE(target(Command::Poll));
}

TEST(CountEncoding, GivesTheWorkedValues)
{
    const std::pair<int16_t, const char *> worked[] = {{0, "8000"},      {-1, "7FFF"},   {-267, "7EF5"}, {800, "8320"},
                                                       {890, "837A"},    {-890, "7C86"}, {-500, "7E0C"}, {500, "81F4"},
                                                       {-32768, "0000"}, {32767, "FFFF"}};
    for (const auto &[count, digits] : worked)
        EXPECT_EQ(field(count), digits) << count;
}

TEST(CountReadBack, IsTheExactInverseForEveryCount)
{
    for (int count = -32768; count <= 32767; ++count) {
        const auto digits = encodeCount(static_cast<int16_t>(count));
        ASSERT_EQ(decodeCount(digits), count);
        std::array<uint8_t, 4> lower = digits;
        for (uint8_t &d : lower)
            d = static_cast<uint8_t>(std::tolower(d));
        ASSERT_EQ(decodeCount(lower), count) << "lower case";
    }
}

TEST(CountReadBack, GivesTheWorkedValues)
{
    EXPECT_EQ(readBack("8000"), 0);
    EXPECT_EQ(readBack("8064"), 100);
    EXPECT_EQ(readBack("7F9C"), -100);
    EXPECT_EQ(readBack("7e0c"), -500);
    EXPECT_EQ(readBack("837A"), 890);
    EXPECT_EQ(readBack("7901"), -1791);
}

TEST(CountReadBack, RefusesEveryNonHexDigitInEveryPlace)
{
    for (int place = 0; place < 4; ++place) {
        for (int byte = 0; byte < 256; ++byte) {
            const bool hex = std::isxdigit(byte) != 0;
            std::array<uint8_t, 4> digits = {'8', '0', '0', '0'};
            digits[static_cast<size_t>(place)] = static_cast<uint8_t>(byte);
            EXPECT_EQ(decodeCount(digits).has_value(), hex) << "byte " << byte << " at " << place;
        }
    }
    EXPECT_EQ(readBack("7E@C"), std::nullopt);
}

TEST(Classification, SortsRepliesByTheirBytes)
{
    EXPECT_EQ(classifyReply(std::vector<uint8_t>{0xFE, 0x30, 0x30, 0x30, 0x30, 0xEF}), ReplyKind::Acknowledgement);
    EXPECT_EQ(classifyReply(std::vector<uint8_t>{0xFE, 0x30, 0x30, 0x31, 0x30, 0xEF}), ReplyKind::Rejection);
    EXPECT_EQ(classifyReply(std::vector<uint8_t>{0xFE, 0x30, 0x30, 0x30, 0x41, 0x38, 0x30, 0xEF}),
              ReplyKind::Rejection);
    EXPECT_EQ(classifyReply(std::vector<uint8_t>{0xFE, 0xEF}), ReplyKind::Rejection);
    EXPECT_EQ(classifyReply(std::vector<uint8_t>{0xFD, 0x30, 0x30, 0x30, 0x30, 0xEF}), ReplyKind::NotReply);
    EXPECT_EQ(classifyReply(std::vector<uint8_t>{0xFE, 0x30, 0x30, 0x30, 0x30}), ReplyKind::NotReply);
    EXPECT_EQ(classifyReply(std::vector<uint8_t>{}), ReplyKind::NotReply);

    const auto data = positionBytes("7E0C", "8000");
    ASSERT_EQ(classifyReply(data), ReplyKind::Position);
    EXPECT_EQ(replyPosition(data).pan, -500);
    EXPECT_EQ(replyPosition(data).tilt, 0);
    const auto lower = positionBytes("7e0c", "83a0");
    ASSERT_EQ(classifyReply(lower), ReplyKind::Position);
    EXPECT_EQ(replyPosition(lower).tilt, 928);
}

TEST(Classification, CallsDamagedPositionRepliesCorrupt)
{
    EXPECT_EQ(classifyReply(positionBytes("7E@C", "8000")), ReplyKind::Corrupt);
    EXPECT_EQ(classifyReply(positionBytes("7E0C", "80 0")), ReplyKind::Corrupt);
    auto shortened = positionBytes("7E0C", "8000");
    shortened.erase(shortened.begin() + 7);
    EXPECT_EQ(classifyReply(shortened), ReplyKind::Corrupt);
    auto lengthened = positionBytes("7E0C", "8000");
    lengthened.insert(lengthened.end() - 1, '0');
    EXPECT_EQ(classifyReply(lengthened), ReplyKind::Corrupt);
}

TEST(Extraction, FindsEveryReplyKindAtEverySplitPointBehindNoise)
{
    const std::vector<std::vector<uint8_t>> replies = {
        {0xFE, 0x30, 0x30, 0x30, 0x30, 0xEF}, {0xFE, 0x30, 0x30, 0x31, 0x30, 0xEF}, positionBytes("7E0C", "8000")};
    const std::vector<std::vector<uint8_t>> noises = {{}, {0x00}, {0x12, 0xEF, 0x30, 0xFF}, {0xFE, 0x41, 0x42}};
    for (const auto &wanted : replies) {
        for (const auto &noise : noises) {
            std::vector<uint8_t> stream = noise;
            stream.insert(stream.end(), wanted.begin(), wanted.end());
            stream.push_back(0x55); // the start of whatever comes next
            for (size_t cut = 0; cut <= stream.size(); ++cut) {
                ReplyAssembler assembler;
                const Bytes all(stream);
                const size_t first = feedReply(assembler, all.first(cut));
                size_t consumed = first;
                if (!assembler.complete)
                    consumed += feedReply(assembler, all.subspan(cut));
                ASSERT_TRUE(assembler.complete) << "cut at " << cut;
                const Bytes got = reply(assembler);
                EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), wanted) << "cut at " << cut;
                EXPECT_EQ(consumed, stream.size() - 1) << "stops right after the end byte";
            }
        }
    }
}

TEST(Extraction, KeepsALoneStartByteOpenAndDropsOverlongRuns)
{
    ReplyAssembler assembler;
    const std::vector<uint8_t> lone = {0xFE};
    feedReply(assembler, lone);
    EXPECT_FALSE(assembler.complete);
    const std::vector<uint8_t> rest = {0x30, 0x30, 0x30, 0x30, 0xEF};
    feedReply(assembler, rest);
    ASSERT_TRUE(assembler.complete);
    EXPECT_EQ(classifyReply(reply(assembler)), ReplyKind::Acknowledgement);

    // 32 bytes with the end byte last still make a reply; one more is noise.
    std::vector<uint8_t> longest(31, 0x30);
    longest[0] = 0xFE;
    longest.push_back(0xEF);
    resetReply(assembler);
    feedReply(assembler, longest);
    ASSERT_TRUE(assembler.complete);
    EXPECT_EQ(reply(assembler).size(), 32u);

    std::vector<uint8_t> overlong = longest;
    overlong.insert(overlong.begin() + 1, 0x30);
    resetReply(assembler);
    feedReply(assembler, overlong);
    EXPECT_FALSE(assembler.complete);
    EXPECT_TRUE(reply(assembler).empty());
    const std::vector<uint8_t> next = {0xFE, 0x30, 0x30, 0x30, 0x30, 0xEF};
    feedReply(assembler, next);
    EXPECT_TRUE(assembler.complete);
}

TEST(Extraction, KnowsHowManyBytesMustStillCome)
{
    const auto data = positionBytes("7E0C", "8000");
    ReplyAssembler assembler;
    EXPECT_EQ(bytesStillExpected(assembler), 0u) << "nothing started";
    const std::vector<size_t> expected = {5, 4, 3, 2, 1, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    for (size_t i = 0; i < data.size(); ++i) {
        feedReply(assembler, Bytes(data).subspan(i, 1));
        EXPECT_EQ(bytesStillExpected(assembler), expected[i]) << "after " << i + 1 << " bytes";
    }
    resetReply(assembler);
    const std::vector<uint8_t> acknowledgement = {0xFE, 0x30, 0x30, 0x30, 0x30, 0xEF};
    feedReply(assembler, Bytes(acknowledgement).first(5));
    EXPECT_EQ(bytesStillExpected(assembler), 1u);
    resetReply(assembler);
    std::vector<uint8_t> longer(20, 0x30);
    longer[0] = 0xFE;
    feedReply(assembler, longer);
    EXPECT_EQ(bytesStillExpected(assembler), 1u) << "past the usual length, the end byte may come any time";
}

TEST(Dump, StopsAtTheEndByteOrTheBuffer)
{
    const std::vector<uint8_t> rejection = {0xFE, 0x30, 0x30, 0x31, 0x30, 0xEF, 0x99};
    EXPECT_EQ(formatDump(rejection, 0xEF), " FE 30 30 31 30 EF");
    const std::vector<uint8_t> unterminated = {0x01, 0xAB};
    EXPECT_EQ(formatDump(unterminated, 0xEF), " 01 AB");
}

TEST(Conversion, FollowsTheWorkedTable)
{
    struct Row {
        int16_t panAngle, tiltAngle, panCount, tiltCount;
        const char *fields;
    };
    const Row rows[] = {
        {0, 1571, 0, 0, "80008000"},
        {1000, 1571, -500, 0, "7E0C8000"},
        {-1000, 1571, 500, 0, "81F48000"},
        {1780, 1571, -890, 0, "7C868000"},
        {2000, 1571, -890, 0, "7C868000"},
        {0, 3171, 0, 800, "80008320"},
        {0, 1037, 0, -267, "80007EF5"},
        {0, 0, 0, -267, "80007EF5"},
        // Where the turn wraps, the request ends at the other limit.
        {3140, 1571, -890, 0, "7C868000"},
        {3141, 1571, 890, 0, "837A8000"},
        {0, 4712, 0, 800, "80008320"},
        {0, 4713, 0, -267, "80007EF5"},
    };
    for (const Row &row : rows) {
        const Counts counts = limitCounts(anglesToCounts(row.panAngle, row.tiltAngle));
        EXPECT_EQ(counts.pan, row.panCount) << row.panAngle;
        EXPECT_EQ(counts.tilt, row.tiltCount) << row.tiltAngle;
        const auto frameBytes = move(counts.pan, counts.tilt);
        EXPECT_EQ(std::string(frameBytes.begin() + 5, frameBytes.begin() + 13), row.fields);
    }
    EXPECT_EQ(anglesToCounts(1, 1571).pan, -1);
    EXPECT_EQ(anglesToCounts(-1, 1571).pan, 0);
    EXPECT_EQ(anglesToCounts(2000, 1571).pan, -1000) << "unlimited before limitCounts";
    EXPECT_EQ(anglesToCounts(0, 0).tilt, -786);
    EXPECT_EQ(anglesToCounts(0, 4713).tilt, -1570) << "(4713 - 1571 - 6282) / 2";
}

TEST(Conversion, GivesBackAnglesThatLeadToTheSameCounts)
{
    for (int count = -890; count <= 890; ++count) {
        const auto angle = static_cast<int16_t>(panCountToAngle(static_cast<int16_t>(count)));
        ASSERT_EQ(anglesToCounts(angle, 1571).pan, count);
    }
    for (int count = -267; count <= 800; ++count) {
        const auto angle = static_cast<int16_t>(tiltCountToAngle(static_cast<int16_t>(count)));
        ASSERT_EQ(anglesToCounts(0, angle).tilt, count);
    }
}

TEST(Conversion, LimitsExactlyOutsideTheDocumentedAngleRanges)
{
    // Inside: pan -1781..1780 and 4501..8062, tilt 1037..3172 and 7319..9454
    // (after the cut to 16 bits); every other angle is limited.
    auto panInside = [](int a) { return (a >= -1781 && a <= 1780) || (a >= 4501 && a <= 8062); };
    auto tiltInside = [](int a) { return (a >= 1037 && a <= 3172) || (a >= 7319 && a <= 9454); };
    for (int angle = -32768; angle <= 32767; ++angle) {
        const auto a = static_cast<int16_t>(angle);
        const Counts raw = anglesToCounts(a, a);
        const Counts limited = limitCounts(raw);
        ASSERT_EQ(raw.pan == limited.pan, panInside(angle)) << angle;
        ASSERT_EQ(raw.tilt == limited.tilt, tiltInside(angle)) << angle;
    }
}

TEST(OneSourcePerFact, TheSimulatorHasTheClientsTravelAndHome)
{
    EXPECT_EQ(aimsim::kPanLimit, kPanMax);
    EXPECT_EQ(-aimsim::kPanLimit, kPanMin);
    EXPECT_EQ(aimsim::kTiltMin, kTiltMin);
    EXPECT_EQ(aimsim::kTiltMax, kTiltMax);

    // A home frame as the client builds it takes the simulator to the
    // position the client waits for.
    std::vector<uint8_t> home(kMaxFrame);
    home.resize(commandRow(Command::Home).build(home, {}));
    aimsim::Head head({300, 300}, 0);
    const auto now = std::chrono::steady_clock::now();
    head.answer(aimsim::decodeFrame(home), now);
    const auto target = targetSetBy(commandRow(Command::Home), {});
    ASSERT_TRUE(target);
    EXPECT_EQ(head.positionAt(now), (aimsim::Position{target->pan, target->tilt}));
    EXPECT_EQ(panCountToAngle(target->pan), AIMLINK_HOME_PAN);
    EXPECT_EQ(tiltCountToAngle(target->tilt), AIMLINK_HOME_TILT);
}

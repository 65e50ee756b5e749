// SPDX-License-Identifier: MIT
// The timing plan on a fake clock: time points are milliseconds from zero,
// nothing sleeps and no line is opened.
#include "timing_plan.h"

#include <gtest/gtest.h>

using namespace aimlink;
using namespace std::chrono_literals;

namespace {

constexpr auto kByte = 1041us; // at 9600 baud
const CommandRow &kPoll = commandRow(Command::Poll);
const CommandRow &kMove = commandRow(Command::Move);

Clock::time_point at(std::chrono::microseconds fromZero) { return Clock::time_point{} + fromZero; }

// A poll measured with its whole reply in the first chunk, written at
// writtenAt and first heard latency later.
void measure(TimingPlan &plan, const CommandRow &row, Clock::time_point writtenAt, std::chrono::microseconds latency)
{
    plan.measured(row, writtenAt, writtenAt + latency, 1);
}

Exchange still(const CommandRow &row) { return {&row, false, true}; }

// A plan that has measured reports at 20 ms and seen the head stand still
// on a punctual line.
TimingPlan restingPlan()
{
    TimingPlan plan(1000ms, 9600);
    EXPECT_EQ(plan.chooseWake(still(kPoll)), Wake::FirstByte);
    measure(plan, kPoll, at(0ms), 20ms);
    EXPECT_TRUE(plan.replyTaken(Wake::FirstByte, false));
    plan.reportTaken({3, 4});
    plan.reportTaken({3, 4});
    return plan;
}

} // namespace

TEST(TimingPlan, AnExchangeIsUnansweredOneReplyTimeOutAfterItsWriteStarts)
{
    const TimingPlan plan(250ms, 9600);
    EXPECT_EQ(plan.replyDeadline(at(40ms)), at(290ms));
    EXPECT_EQ(plan.replyTimeout(), 250ms);
}

TEST(TimingPlan, MeasuresTheFirstReplyAndThenEverySixteenth)
{
    TimingPlan plan(1000ms, 9600);
    EXPECT_EQ(plan.chooseWake(still(kMove)), Wake::FirstByte);
    measure(plan, kMove, at(0ms), 10ms);
    int measured = 0;
    for (int exchange = 1; exchange <= 32; ++exchange)
        measured += plan.chooseWake(still(kMove)) == Wake::FirstByte ? 1 : 0;
    EXPECT_EQ(measured, 2);
}

TEST(TimingPlan, WakesWhenTheLastByteIsDueByTheLeastLatencySeen)
{
    TimingPlan plan(1000ms, 9600);
    plan.chooseWake(still(kMove));
    measure(plan, kMove, at(0ms), 12ms);
    measure(plan, kMove, at(0ms), 9ms);
    measure(plan, kMove, at(0ms), 15ms);
    EXPECT_EQ(plan.chooseWake(still(kMove)), Wake::LastByte);
    EXPECT_EQ(plan.wakeAt(Wake::LastByte, kMove, at(100ms)), at(100ms + 9ms + 5 * kByte));
}

TEST(TimingPlan, TimesReportsAndAcknowledgementsApart)
{
    TimingPlan plan(1000ms, 9600);
    EXPECT_EQ(plan.chooseWake(still(kMove)), Wake::FirstByte);
    measure(plan, kMove, at(0ms), 10ms);
    EXPECT_EQ(plan.chooseWake(still(kPoll)), Wake::FirstByte);
    measure(plan, kPoll, at(0ms), 30ms);
    EXPECT_EQ(plan.wakeAt(Wake::LastByte, kMove, at(0ms)), at(10ms + 5 * kByte));
    EXPECT_EQ(plan.wakeAt(Wake::LastByte, kPoll, at(0ms)), at(30ms + 13 * kByte));
}

TEST(TimingPlan, CountsTheFirstChunksOwnBytesOutOfTheLatency)
{
    TimingPlan plan(1000ms, 9600);
    plan.chooseWake(still(kPoll));
    plan.measured(kPoll, at(0ms), at(20ms), 3);
    EXPECT_EQ(plan.wakeAt(Wake::LastByte, kPoll, at(0ms)), at(20ms - 2 * kByte + 13 * kByte));
}

TEST(TimingPlan, WakesALittleEarlyForAReportWhileTheHeadTravels)
{
    TimingPlan plan = restingPlan();
    EXPECT_EQ(plan.chooseWake({&kPoll, true, true}), Wake::BeforeLastByte);
    EXPECT_EQ(plan.wakeAt(Wake::BeforeLastByte, kPoll, at(0ms)), at(20ms + 13 * kByte - kByte));
    // At a speed whose byte is shorter than the margin, the margin counts.
    TimingPlan fast(1000ms, 115200);
    fast.chooseWake(still(kPoll));
    measure(fast, kPoll, at(0ms), 5ms);
    EXPECT_EQ(fast.wakeAt(Wake::BeforeLastByte, kPoll, at(0ms)), at(5ms + 13 * 86us - 500us));
}

TEST(TimingPlan, SleepsThroughReplyAndPauseWhileTheHeadStandsStillOnAPunctualLine)
{
    TimingPlan plan = restingPlan();
    EXPECT_EQ(plan.chooseWake(still(kPoll)), Wake::AfterPause);
    EXPECT_EQ(plan.wakeAt(Wake::AfterPause, kPoll, at(0ms)), at(20ms + 13 * kByte + 100ms));
    // The pause is over when it wakes: the next exchange follows at once.
    EXPECT_FALSE(plan.replyTaken(Wake::AfterPause, false));
}

TEST(TimingPlan, RestsOnlyWhileTheLinkIsUpAndNothingIsAsked)
{
    TimingPlan plan = restingPlan();
    EXPECT_EQ(plan.chooseWake({&kPoll, false, false}), Wake::LastByte);
    EXPECT_EQ(plan.chooseWake(still(kMove)), Wake::FirstByte); // the first acknowledgement is measured
    measure(plan, kMove, at(0ms), 10ms);
    EXPECT_EQ(plan.chooseWake(still(kMove)), Wake::LastByte);
}

TEST(TimingPlan, AHeadThatMovedDoesNotRest)
{
    TimingPlan plan = restingPlan();
    plan.reportTaken({3, 5});
    EXPECT_EQ(plan.chooseWake(still(kPoll)), Wake::LastByte);
    plan.reportTaken({3, 5});
    EXPECT_EQ(plan.chooseWake(still(kPoll)), Wake::AfterPause);
}

TEST(TimingPlan, ALateReplyEndsTheRestUntilAMeasuredOneComesOnTime)
{
    TimingPlan plan = restingPlan();
    ASSERT_EQ(plan.chooseWake(still(kPoll)), Wake::AfterPause);
    EXPECT_TRUE(plan.replyTaken(Wake::AfterPause, true));
    Wake wake = plan.chooseWake(still(kPoll));
    int exchanges = 1;
    for (; wake != Wake::FirstByte && exchanges < 20; ++exchanges) {
        EXPECT_EQ(wake, Wake::LastByte);
        EXPECT_TRUE(plan.replyTaken(wake, false));
        wake = plan.chooseWake(still(kPoll));
    }
    ASSERT_EQ(wake, Wake::FirstByte);
    measure(plan, kPoll, at(0ms), 20ms);
    EXPECT_TRUE(plan.replyTaken(Wake::FirstByte, false));
    EXPECT_EQ(plan.chooseWake(still(kPoll)), Wake::AfterPause);
}

TEST(TimingPlan, NeverRestsPastTheReplyTimeOut)
{
    TimingPlan plan(120ms, 9600);
    plan.chooseWake(still(kPoll));
    measure(plan, kPoll, at(0ms), 20ms);
    plan.replyTaken(Wake::FirstByte, false);
    plan.reportTaken({0, 0});
    plan.reportTaken({0, 0});
    // 20 ms + 13 bytes + 100 ms is past 120 ms.
    EXPECT_EQ(plan.chooseWake(still(kPoll)), Wake::LastByte);
}

TEST(TimingPlan, TheRestOfAReplyIsAwaitedByItsBytesButNotPastTheDeadline)
{
    const TimingPlan plan(1000ms, 9600);
    EXPECT_EQ(plan.restOfReplyAt(at(10ms), 4, at(500ms)), at(10ms + 4 * kByte));
    EXPECT_EQ(plan.restOfReplyAt(at(10ms), 4, at(12ms)), at(12ms));
    EXPECT_EQ(plan.pauseEnd(at(7ms)), at(107ms));
}

TEST(TimingPlan, RemembersOnlyTheLastEightLatencies)
{
    Latency latency;
    EXPECT_FALSE(latency.least());
    latency.record(1ms);
    for (int seen = 0; seen < 8; ++seen)
        latency.record(5ms + std::chrono::milliseconds(seen));
    EXPECT_EQ(latency.least(), std::optional<Clock::duration>(5ms));
    EXPECT_EQ(latency.longest(), std::optional<Clock::duration>(12ms));
}

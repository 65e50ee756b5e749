// SPDX-License-Identifier: MIT
#include "timing_plan.h"

#include <algorithm>

namespace aimlink {
namespace {

using std::chrono::microseconds;

// How much before a report is due the watcher wakes while the head travels.
constexpr microseconds kPromptMargin(500);

} // namespace

microseconds byteTime(int baud) { return microseconds(10'000'000 / std::max(baud, 1)); }

std::optional<Clock::duration> Latency::least() const
{
    if (count_ == 0)
        return std::nullopt;
    return *std::min_element(seen_.begin(), seen_.begin() + static_cast<std::ptrdiff_t>(count_));
}

std::optional<Clock::duration> Latency::longest() const
{
    if (count_ == 0)
        return std::nullopt;
    return *std::max_element(seen_.begin(), seen_.begin() + static_cast<std::ptrdiff_t>(count_));
}

void Latency::record(Clock::duration latency)
{
    seen_[next_] = latency;
    next_ = (next_ + 1) % seen_.size();
    count_ = std::min(count_ + 1, seen_.size());
}

bool Latency::timeToMeasure() { return count_ == 0 || ++sinceMeasured_ % kMeasureEvery == 0; }

TimingPlan::TimingPlan(std::chrono::milliseconds replyTimeout, int baud)
    : replyTimeout_(replyTimeout), byteTime_(byteTime(baud))
{
}

// While the head stands still and nothing is asked of it, no one waits for
// the next report: the watcher sleeps through the reply and the pause after
// it in one, and wakes once an exchange instead of twice. The pause is then
// counted from the latest a reply has lately come, so only a line that keeps
// time rests this way; a reply found not whole on waking ends it until the
// next measured exchange comes whole when due.
Wake TimingPlan::chooseWake(const Exchange &exchange)
{
    const CommandRow &row = *exchange.row;
    if (latencyOf(row).timeToMeasure())
        return Wake::FirstByte;
    if (row.expects != ReplyKind::Position)
        return Wake::LastByte;
    if (exchange.travelling)
        return Wake::BeforeLastByte;
    const bool resting = headStill_ && punctual_ && exchange.linkUp && replyAndPause(row) < replyTimeout_;
    return resting ? Wake::AfterPause : Wake::LastByte;
}

// The first byte comes after the latency, the last one replyLength - 1 byte
// times later.
microseconds TimingPlan::lastByteAfter(const CommandRow &row) const
{
    return static_cast<int64_t>(row.replyLength - 1) * byteTime_;
}

// From writing a frame to the end of the pause after its reply, by the
// latest the reply has lately come.
Clock::duration TimingPlan::replyAndPause(const CommandRow &row) const
{
    return *latencyOf(row).longest() + lastByteAfter(row) + kExchangePause;
}

Clock::time_point TimingPlan::wakeAt(Wake wake, const CommandRow &row, Clock::time_point writtenAt) const
{
    if (wake == Wake::FirstByte)
        return writtenAt;
    if (wake == Wake::AfterPause)
        return writtenAt + replyAndPause(row);
    const auto lastByte = writtenAt + *latencyOf(row).least() + lastByteAfter(row);
    if (wake == Wake::BeforeLastByte)
        return lastByte - std::max<Clock::duration>(byteTime_, kPromptMargin);
    return lastByte;
}

void TimingPlan::measured(const CommandRow &row, Clock::time_point writtenAt, Clock::time_point now, size_t bytes)
{
    latencyOf(row).record(now - writtenAt - static_cast<int64_t>(bytes - 1) * byteTime_);
}

Clock::time_point TimingPlan::restOfReplyAt(Clock::time_point now, size_t missing, Clock::time_point deadline) const
{
    return std::min(now + static_cast<int64_t>(missing) * byteTime_, deadline);
}

bool TimingPlan::replyTaken(Wake wake, bool late)
{
    if (wake == Wake::FirstByte || wake == Wake::AfterPause)
        punctual_ = !late;
    return !(wake == Wake::AfterPause && !late);
}

void TimingPlan::reportTaken(Counts position)
{
    headStill_ = lastPosition_ && lastPosition_->pan == position.pan && lastPosition_->tilt == position.tilt;
    lastPosition_ = position;
}

} // namespace aimlink

// SPDX-License-Identifier: MIT
// When the watcher wakes for a reply, how long it waits for one, and
// whether it pauses before the next exchange. Pure: it reads no clock and
// touches no descriptor; the watcher gives it the time points it saw.
#ifndef AIMLINK_TIMING_PLAN_H
#define AIMLINK_TIMING_PLAN_H

#include "aimlink.h"
#include "aimlink_protocol.h"

#include <array>
#include <chrono>
#include <optional>

namespace aimlink {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kExchangePause(PTZ_EXCHANGE_PAUSE_MS);

// Ten bits a byte (start, eight data, stop) at the line speed.
std::chrono::microseconds byteTime(int baud);

// How long from writing a frame to the first byte of its reply, the frame's
// own time on the line included, over the last few measured exchanges.
class Latency {
public:
    std::optional<Clock::duration> least() const;
    std::optional<Clock::duration> longest() const;
    void record(Clock::duration latency);
    // Most exchanges sleep through the whole reply on the estimate; every
    // so often one wakes at the first byte to measure it afresh.
    bool timeToMeasure();

private:
    static constexpr unsigned kMeasureEvery = 16;
    std::array<Clock::duration, 8> seen_{};
    size_t count_ = 0;
    size_t next_ = 0;
    unsigned sinceMeasured_ = 0;
};

// When the watcher wakes for a reply.
enum class Wake {
    FirstByte,      // as it starts, to measure the latency afresh
    LastByte,       // when its last byte is due
    BeforeLastByte, // a little before, to take an arrival the moment it comes
    AfterPause,     // when the pause after it is over as well
};

// What the watcher knows of the exchange it starts.
struct Exchange {
    const CommandRow *row;
    bool travelling; // a move or home is under way
    bool linkUp;
};

class TimingPlan {
public:
    TimingPlan(std::chrono::milliseconds replyTimeout, int baud);

    std::chrono::milliseconds replyTimeout() const { return replyTimeout_; }
    // A frame whose write starts at writeStart and has no whole reply by
    // then is unanswered: the one deadline of an exchange.
    Clock::time_point replyDeadline(Clock::time_point writeStart) const { return writeStart + replyTimeout_; }
    Wake chooseWake(const Exchange &exchange);
    Clock::time_point wakeAt(Wake wake, const CommandRow &row, Clock::time_point writtenAt) const;
    // The first chunk of a measured reply came at now with bytes in it.
    void measured(const CommandRow &row, Clock::time_point writtenAt, Clock::time_point now, size_t bytes);
    // Rather than wake for each byte, sleeps until the missing ones can all
    // have come.
    Clock::time_point restOfReplyAt(Clock::time_point now, size_t missing, Clock::time_point deadline) const;
    // The reply came whole; late: the watcher had to wait for it after it
    // was due. True when the pause before the next exchange is still to come.
    bool replyTaken(Wake wake, bool late);
    void reportTaken(Counts position);
    Clock::time_point pauseEnd(Clock::time_point now) const { return now + kExchangePause; }

private:
    Latency &latencyOf(const CommandRow &row) { return latency_[row.expects == ReplyKind::Position]; }
    const Latency &latencyOf(const CommandRow &row) const { return latency_[row.expects == ReplyKind::Position]; }
    std::chrono::microseconds lastByteAfter(const CommandRow &row) const;
    Clock::duration replyAndPause(const CommandRow &row) const;

    const std::chrono::milliseconds replyTimeout_;
    const std::chrono::microseconds byteTime_;
    // A frame's own length is in the time to its reply: reports and
    // acknowledgements are timed apart.
    std::array<Latency, 2> latency_;
    std::optional<Counts> lastPosition_;
    bool headStill_ = false;
    bool punctual_ = false;
};

} // namespace aimlink

#endif

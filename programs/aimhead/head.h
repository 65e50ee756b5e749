// SPDX-License-Identifier: MIT
// One run's conversation with the head: through a handle on the port, or
// through the daemon that owns the port (server_head.h).
#ifndef AIMHEAD_HEAD_H
#define AIMHEAD_HEAD_H

#include "aimlink.h"
#include "arguments.h"

#include <chrono>
#include <string>

namespace aimhead {

enum ExitStatus { kSuccess = 0, kFailure = 1, kBadCommandLine = 2, kPresetsFailed = 3, kNoSuchPreset = 4 };

// The bounds of a run, the same on the port and through a daemon.
inline constexpr std::chrono::milliseconds kFirstReply{3000};
inline constexpr std::chrono::milliseconds kArrival{30000};
inline constexpr std::chrono::milliseconds kSilenceLimit{3000};
// How late an ending signal or a silence may be noticed.
inline constexpr std::chrono::milliseconds kSlice{50};

// Where a run's commands go: the port itself, or a daemon that owns it.
// Every wait is bounded, every failure one line on standard error before the
// exit status comes back, and an ending signal is honoured between short waits.
class Head {
public:
    Head() = default;
    virtual ~Head() = default;
    Head(const Head &) = delete;
    Head &operator=(const Head &) = delete;

    // Reaches the head and waits until it answers. kSuccess, or the exit
    // status after the failure line.
    virtual int open() = 0;
    // The head's next report (or the last one, if it came), in the caller's frame.
    virtual int position(aimlink_angles &reported) = 0;
    // Moves (warning when beyond the travel) and waits for arrival at the
    // point the head will stop at.
    virtual int moveTo(aimlink_angles wanted) = 0;
    virtual int home() = 0;
    // The last position the head reported, if it reported one.
    virtual bool lastPosition(aimlink_angles &reported) = 0;
    // Gives the port or the connection back.
    virtual void close() = 0;
};

// The head on a serial port this run opens itself.
class DirectHead final : public Head {
public:
    // device empty: AIMLINK_DEVICE, else the default port. The settings
    // were checked when the command line was read.
    DirectHead(const std::string &device, bool initialise, const LineSettings &settings);
    ~DirectHead() override;

    // Opens the port and waits for the head's first answer and the start-up pause.
    int open() override;
    int position(aimlink_angles &reported) override;
    int moveTo(aimlink_angles wanted) override;
    int home() override;
    bool lastPosition(aimlink_angles &reported) override;
    void close() override;
    // One line: the device (escaped) and why the link failed.
    std::string linkFailure();
    std::string device() const;
    aimlink_head *handle() const { return handle_; }
    // Closes the port and ends as the signal asked, if one did.
    void endIfAsked();

private:
    int fail(const std::string &line);
    int waitForArrival(const std::string &target);
    int written(int status, const char *what);
    std::string lastReported();
    std::string lastReason();

    aimlink_head *handle_;
    bool initialise_;
};

std::string angles(aimlink_angles position);

// What both kinds of head share in their waits and their messages.
using Clock = std::chrono::steady_clock;

// The time to a deadline, whole milliseconds rounded up, never negative.
std::chrono::milliseconds timeLeft(Clock::time_point deadline);

// A bound for a message: "3 s".
std::string inSeconds(std::chrono::milliseconds bound);

// The reason for a failure as ": reason", without the device it may start
// with, since the line names the device once; empty when there is none.
// Both are shown escaped.
std::string reasonAfterDevice(const std::string &shownDevice, const std::string &reason);
// "DEVICE: the link to the head failed: reason".
std::string linkFailedLine(const std::string &shownDevice, const std::string &reason);

// Tells when the head has been silent for kSilenceLimit, from the link
// states seen one after another.
class SilenceWatch {
public:
    // Notes whether the link is silent now; true once it has been so too long.
    bool tooLong(bool silent);
    // The deadline, or the moment the silence would be too long if sooner.
    Clock::time_point until(Clock::time_point deadline) const;

private:
    // A sentinel, not std::optional: GCC 12 on 32-bit ARM warns that the
    // optional's time may be used uninitialised.
    static constexpr auto kAnswering = Clock::time_point::max();
    Clock::time_point silentSince_ = kAnswering;
};

// Where the head will stop for wanted; warns on standard error when that is
// the limit of its travel rather than wanted.
aimlink_angles reachable(aimlink_angles wanted);

} // namespace aimhead

#endif

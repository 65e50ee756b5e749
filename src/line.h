// SPDX-License-Identifier: MIT
// The serial line as the watcher uses it: write a frame, read into the
// reply assembler and sleep, each until a time point, each one ppoll over
// the port and the stop event, so that a close ends any of them at once.
#ifndef AIMLINK_LINE_H
#define AIMLINK_LINE_H

#include "aimlink_protocol.h"

#include <chrono>
#include <optional>
#include <string>

namespace aimlink {

using Clock = std::chrono::steady_clock;

struct LineResult {
    enum class Kind {
        Ready,   // done: written, or bytes read
        Due,     // the time point came first
        Stopped, // the stop event fired
        Failed,  // the line cannot be used; reason says why
    };
    Kind kind = Kind::Ready;
    std::string reason;
    size_t bytesRead = 0; // read: the bytes taken from the port
    bool waited = false;  // read: nothing was in at once, it had to wait
};

class Line {
public:
    // Neither descriptor is owned.
    Line(int port, int stop) : port_(port), stop_(stop) {}

    LineResult write(Bytes frame, Clock::time_point until);
    // Reads what the port has (waiting for the first byte if need be) and
    // feeds it to the assembler: one chunk per call.
    LineResult read(ReplyAssembler &assembler, Clock::time_point until);
    LineResult sleep(Clock::time_point until) const;
    // Until the stop event fires.
    void awaitStop() const;

    // Bytes still waiting belong to an earlier exchange (a late reply).
    void dropUnreadInput() const;
    // Output still queued in the driver is dropped; says why it was held,
    // or nothing when none was queued.
    std::optional<std::string> dropHeldOutput() const;

private:
    LineResult awaitPort(short events, std::optional<Clock::time_point> until) const;
    LineResult failedCall(const char *call, int error) const;

    int port_;
    int stop_;
};

// Why queued output never went out: the words dropHeldOutput returns.
std::string heldOutputReason(int queued, bool hardwareFlowControl);

} // namespace aimlink

#endif

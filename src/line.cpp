// SPDX-License-Identifier: MIT
#include "line.h"

#include "text.h"

#include <algorithm>
#include <cerrno>

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace aimlink {
namespace {

constexpr char kHangUp[] = "hang-up on the line (device unplugged or closed)";

LineResult result(LineResult::Kind kind) { return {kind, {}, 0, false}; }
LineResult failure(std::string reason) { return {LineResult::Kind::Failed, std::move(reason), 0, false}; }

timespec left(Clock::time_point until)
{
    const auto remaining = std::max(Clock::duration::zero(), until - Clock::now());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(remaining);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining - seconds);
    return {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

// The time-out of one ppoll, afresh after each interruption by a signal.
int pollUntil(pollfd *fds, nfds_t count, std::optional<Clock::time_point> until)
{
    for (;;) {
        const timespec remaining = until ? left(*until) : timespec{};
        const int ready = ppoll(fds, count, until ? &remaining : nullptr, nullptr);
        if (ready >= 0 || errno != EINTR)
            return ready;
    }
}

} // namespace

LineResult Line::awaitPort(short events, std::optional<Clock::time_point> until) const
{
    pollfd fds[2] = {{port_, events, 0}, {stop_, POLLIN, 0}};
    const int ready = pollUntil(fds, 2, until);
    if (ready < 0)
        return failure("poll: " + errorText(errno));
    if (fds[1].revents != 0)
        return result(LineResult::Kind::Stopped);
    // A hang-up first: on a pty it comes with an error condition too.
    if (fds[0].revents & POLLNVAL)
        return failure("the descriptor is no longer valid");
    if (fds[0].revents & POLLHUP)
        return failure(kHangUp);
    if (fds[0].revents & POLLERR)
        return failure("error condition on the line");
    return result(ready == 0 ? LineResult::Kind::Due : LineResult::Kind::Ready);
}

// A terminal that was hung up (an adapter unplugged) fails every write
// with EIO: name the hang-up rather than the bare error.
LineResult Line::failedCall(const char *call, int error) const
{
    pollfd line{port_, 0, 0};
    if (error == EIO && poll(&line, 1, 0) == 1 && (line.revents & POLLHUP) != 0)
        return failure(kHangUp);
    return failure(std::string(call) + ": " + errorText(error));
}

LineResult Line::write(Bytes frame, Clock::time_point until)
{
    while (!frame.empty()) {
        const ssize_t written = ::write(port_, frame.data(), frame.size());
        if (written > 0) {
            frame = frame.subspan(static_cast<size_t>(written));
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return failedCall("write", errno);
        LineResult outcome = awaitPort(POLLOUT, until);
        if (outcome.kind != LineResult::Kind::Ready)
            return outcome;
    }
    return result(LineResult::Kind::Ready);
}

LineResult Line::read(ReplyAssembler &assembler, Clock::time_point until)
{
    uint8_t chunk[256];
    bool waited = false;
    for (;;) {
        const ssize_t count = ::read(port_, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EAGAIN)
            return failedCall("read", errno);
        if (count > 0) {
            feedReply(assembler, Bytes(chunk, static_cast<size_t>(count)));
            return {LineResult::Kind::Ready, {}, static_cast<size_t>(count), waited};
        }
        if (count == 0 && waited)
            return failure("the port reads nothing although it reported data (device unplugged?)");
        LineResult outcome = awaitPort(POLLIN, until);
        if (outcome.kind != LineResult::Kind::Ready)
            return outcome;
        waited = true;
    }
}

LineResult Line::sleep(Clock::time_point until) const
{
    pollfd stop{stop_, POLLIN, 0};
    const int ready = pollUntil(&stop, 1, until);
    if (ready < 0)
        return failure("poll: " + errorText(errno));
    return result(ready > 0 ? LineResult::Kind::Stopped : LineResult::Kind::Due);
}

void Line::awaitStop() const
{
    pollfd stop{stop_, POLLIN, 0};
    pollUntil(&stop, 1, std::nullopt);
}

void Line::dropUnreadInput() const { tcflush(port_, TCIFLUSH); }

// Bytes still queued in the driver a whole reply time-out after they were
// written never went out: the line holds them, the head may be fine. They
// are dropped, or the head would get every repeated frame in a burst once
// the line opens.
std::optional<std::string> Line::dropHeldOutput() const
{
    int queued = 0;
    termios attributes{};
    if (ioctl(port_, TIOCOUTQ, &queued) != 0 || queued <= 0 || tcgetattr(port_, &attributes) != 0)
        return std::nullopt;
    tcflush(port_, TCOFLUSH);
    return heldOutputReason(queued, (attributes.c_cflag & CRTSCTS) != 0);
}

// With RTS/CTS on, a three-wire cable (CTS never raised) holds every byte:
// the reason names the cure, as the programs spell it.
std::string heldOutputReason(int queued, bool hardwareFlowControl)
{
    const std::string held = " (" + std::to_string(queued) + " bytes never sent)";
    if (hardwareFlowControl)
        return "output held by hardware flow control" + held +
               ": check the cable's RTS/CTS or switch flow control off (--flow-control off)";
    return "output held by the driver" + held;
}

} // namespace aimlink

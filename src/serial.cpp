// SPDX-License-Identifier: MIT
#include "serial.h"

#include "aimlink.h"
#include "serial_port.h"
#include "text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace aimlink {
namespace {

struct SpeedEntry {
    int baud;
    speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {1200, B1200},   {1800, B1800},   {2400, B2400},   {4800, B4800},     {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};
static_assert(kSpeeds[0].baud == AIMLINK_BAUD_MIN && kSpeeds[std::size(kSpeeds) - 1].baud == AIMLINK_BAUD_MAX,
              "the ends of the table are the range the header names");

// Gives the port back without letting close() overwrite the errno that
// explains the failure.
int failClosing(int descriptor)
{
    const int cause = errno;
    close(descriptor);
    errno = cause;
    return -1;
}

// With standard error closed, the port would open as descriptor 2 and
// every diagnostic line would go to the head as if it were a frame.
int aboveStandardStreams(int descriptor)
{
    if (descriptor > STDERR_FILENO)
        return descriptor;
    const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0)
        return failClosing(descriptor);
    close(descriptor);
    return moved;
}

void makeRaw(termios &attributes)
{
    attributes.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
    attributes.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    attributes.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    attributes.c_cflag |= CS8;
    attributes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    attributes.c_cc[VMIN] = 0;
    attributes.c_cc[VTIME] = 0;
}

bool fail(PortFailure &failure, PortFailure::Stage stage, std::string call)
{
    failure = {stage, std::move(call), errno};
    return false;
}

bool applySpeed(int descriptor, speed_t speed, PortFailure &failure)
{
    const auto stage = PortFailure::Stage::Speed;
    termios attributes{};
    if (tcgetattr(descriptor, &attributes) != 0)
        return fail(failure, stage, "tcgetattr()");
    if (cfsetospeed(&attributes, speed) != 0)
        return fail(failure, stage, "cfsetospeed(" + std::to_string(static_cast<long>(speed)) + ")");
    if (cfsetispeed(&attributes, speed) != 0)
        return fail(failure, stage, "cfsetispeed(" + std::to_string(static_cast<long>(speed)) + ")");
    if (tcsetattr(descriptor, TCSANOW, &attributes) != 0)
        return fail(failure, stage, "tcsetattr()");
    return true;
}

bool switchFlowControlOff(int descriptor, PortFailure &failure)
{
    termios attributes{};
    if (tcgetattr(descriptor, &attributes) != 0)
        return fail(failure, PortFailure::Stage::Open, "tcgetattr()");
    attributes.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (tcsetattr(descriptor, TCSANOW, &attributes) != 0)
        return fail(failure, PortFailure::Stage::Open, "tcsetattr()");
    return true;
}

// The head's replies are short: a driver that gathers input before handing
// it over (a 16550's receive trigger, a USB adapter's latency timer of 16 ms)
// delays each one. Drivers without the setting refuse, and that is fine.
constexpr int kLowLatency = static_cast<int>(ASYNC_LOW_LATENCY);

bool requestLowLatency(int descriptor)
{
    serial_struct serial{};
    if (ioctl(descriptor, TIOCGSERIAL, &serial) != 0 || (serial.flags & kLowLatency) != 0)
        return false;
    serial.flags |= kLowLatency;
    return ioctl(descriptor, TIOCSSERIAL, &serial) == 0;
}

void restoreLatency(const Port &port)
{
    serial_struct serial{};
    if (!port.lowLatencySet || ioctl(port.fd, TIOCGSERIAL, &serial) != 0)
        return;
    serial.flags &= ~kLowLatency;
    ioctl(port.fd, TIOCSSERIAL, &serial);
}

[[noreturn]] void exitAfter(const char *path, const PortFailure &failure)
{
    std::fprintf(stderr, "%s\n%s\n", describePortFailure(path, failure).c_str(), portBoundaryLine(failure));
    std::exit(1); // NOLINT(concurrency-mt-unsafe): the port is opened before any other thread runs
}

} // namespace

speed_t speedCode(int baud)
{
    for (const SpeedEntry &entry : kSpeeds)
        if (entry.baud == baud)
            return entry.code;
    return 0;
}

int openRawPort(const char *path, int flags, termios *saved)
{
    int descriptor = open(path, flags);
    if (descriptor < 0)
        return -1;
    descriptor = aboveStandardStreams(descriptor);
    if (descriptor < 0)
        return -1;
    // Two programs writing frames to one head garble each other's frames.
    // flock alone: the kernel drops it with the process, however it ends.
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0)
        return failClosing(descriptor);
    termios attributes{};
    if (tcgetattr(descriptor, &attributes) != 0)
        return failClosing(descriptor);
    if (saved != nullptr)
        *saved = attributes;
    makeRaw(attributes);
    if (tcsetattr(descriptor, TCSAFLUSH, &attributes) != 0)
        return failClosing(descriptor);
    return descriptor;
}

std::optional<Port> openPort(const char *path, const PortSettings &settings, PortFailure &failure)
{
    const speed_t speed = speedCode(settings.baud);
    Port port;
    port.fd = openRawPort(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, &port.saved);
    if (port.fd < 0) {
        fail(failure, PortFailure::Stage::Open, "");
        return std::nullopt;
    }
    if (speed == 0) {
        errno = EINVAL;
        fail(failure, PortFailure::Stage::Speed, "cfsetospeed(0)");
    } else if (applySpeed(port.fd, speed, failure) &&
               (!settings.flowControlOff || switchFlowControlOff(port.fd, failure))) {
        port.lowLatencySet = requestLowLatency(port.fd);
        return port;
    }
    closePort(port);
    return std::nullopt;
}

void closePort(const Port &port)
{
    if (port.fd < 0)
        return;
    // Only when there is something to discard: a flush costs a 16550 some
    // milliseconds, and the close of a run that went well has nothing left.
    int queued = 0;
    if (ioctl(port.fd, TIOCOUTQ, &queued) != 0 || queued > 0)
        tcflush(port.fd, TCOFLUSH);
    tcsetattr(port.fd, TCSANOW, &port.saved);
    restoreLatency(port);
    close(port.fd);
}

std::string describePortFailure(const char *path, const PortFailure &failure)
{
    if (failure.stage == PortFailure::Stage::Speed)
        return failure.call + ": " + errorText(failure.error);
    if (failure.error == EWOULDBLOCK || failure.error == EBUSY)
        return escaped(path) + ": port is in use by another process";
    const std::string prefix = failure.call.empty() ? "" : failure.call + ": ";
    return escaped(path) + ": " + prefix + errorText(failure.error);
}

const char *portBoundaryLine(const PortFailure &failure)
{
    return failure.stage == PortFailure::Stage::Speed ? "unable to set baud rate on port" : "unable to open port";
}

} // namespace aimlink

using namespace aimlink;

extern "C" int openRaw(const char *path, int flags) { return openRawPort(path, flags, nullptr); }

extern "C" int setBaudRate(int descriptor, speed_t speed)
{
    PortFailure failure;
    if (applySpeed(descriptor, speed, failure))
        return 0;
    std::fprintf(stderr, "%s\n", describePortFailure("", failure).c_str());
    return 1;
}

extern "C" int openSerialPort(const char *path, int baud)
{
    if (speedCode(baud) == 0) {
        std::fprintf(stderr, "%d baud: not a supported line speed (%d to %d)\n", baud, AIMLINK_BAUD_MIN,
                     AIMLINK_BAUD_MAX);
        std::fputs("unable to set baud rate on port\n", stderr);
        std::exit(1); // NOLINT(concurrency-mt-unsafe): the port is opened before any other thread runs
    }
    PortFailure failure;
    const auto port = openPort(path, {baud, false}, failure);
    if (!port)
        exitAfter(path, failure);
    return port->fd;
}

#include "serial.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct SpeedEntry {
    int baud;
    speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {1200, B1200},   {1800, B1800},   {2400, B2400},   {4800, B4800},     {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

// Gives the port back without letting close() overwrite the errno that
// explains the failure.
int failClosing(int descriptor)
{
    const int cause = errno;
    closeSerialPort(descriptor);
    errno = cause;
    return -1;
}

// Two programs writing frames to one head garble each other's frames, so the
// port is taken exclusively before anything about it changes.
bool lockExclusive(int descriptor)
{
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0)
        return false;
    if (ioctl(descriptor, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL)
        return false;
    return true;
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

void reportOpenFailure(const char *path)
{
    if (errno == EWOULDBLOCK || errno == EBUSY)
        std::fprintf(stderr, "%s: port is in use by another process\n", path);
    else
        std::perror(path);
    std::fputs("unable to open port\n", stderr);
}

[[noreturn]] void failBaudRate()
{
    std::fputs("unable to set baud rate on port\n", stderr);
    std::exit(1); // NOLINT(concurrency-mt-unsafe): the port is opened before any other thread runs
}

} // namespace

extern "C" speed_t speedCode(int baud)
{
    for (const SpeedEntry &entry : kSpeeds)
        if (entry.baud == baud)
            return entry.code;
    return 0;
}

extern "C" int openRaw(const char *path, int flags)
{
    const int descriptor = open(path, flags);
    if (descriptor < 0)
        return -1;
    if (!lockExclusive(descriptor))
        return failClosing(descriptor);
    termios attributes{};
    if (tcgetattr(descriptor, &attributes) != 0)
        return failClosing(descriptor);
    makeRaw(attributes);
    if (tcsetattr(descriptor, TCSAFLUSH, &attributes) != 0)
        return failClosing(descriptor);
    return descriptor;
}

extern "C" int setBaudRate(int descriptor, speed_t speed)
{
    termios attributes{};
    if (tcgetattr(descriptor, &attributes) != 0) {
        std::perror("tcgetattr()");
        return 1;
    }
    if (cfsetospeed(&attributes, speed) != 0) {
        std::fprintf(stderr, "cfsetospeed(%ld): ", static_cast<long>(speed));
        std::perror(nullptr);
        return 1;
    }
    if (cfsetispeed(&attributes, speed) != 0) {
        std::fprintf(stderr, "cfsetispeed(%ld): ", static_cast<long>(speed));
        std::perror(nullptr);
        return 1;
    }
    if (tcsetattr(descriptor, TCSANOW, &attributes) != 0) {
        std::perror("tcsetattr()");
        return 1;
    }
    return 0;
}

extern "C" int openSerialPort(const char *path, int baud)
{
    const speed_t speed = speedCode(baud);
    if (speed == 0) {
        std::fprintf(stderr, "%d baud: not a supported line speed (1200 to 230400)\n", baud);
        failBaudRate();
    }
    const int descriptor = openRaw(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        reportOpenFailure(path);
        std::exit(1); // NOLINT(concurrency-mt-unsafe): the port is opened before any other thread runs
    }
    if (setBaudRate(descriptor, speed) != 0) {
        closeSerialPort(descriptor);
        failBaudRate();
    }
    return descriptor;
}

extern "C" void closeSerialPort(int descriptor)
{
    if (descriptor < 0)
        return;
    ioctl(descriptor, TIOCNXCL);
    close(descriptor);
}

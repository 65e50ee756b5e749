// SPDX-License-Identifier: MIT
#include "line.h"
#include "serial.h"
#include "support/pty_peer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

termios attributesOf(const std::string &path)
{
    const int probe = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios attributes{};
    tcgetattr(probe, &attributes);
    close(probe);
    return attributes;
}

// The flags the port setup must leave as the device had them.
constexpr tcflag_t kKeptInput = IGNBRK | PARMRK | INLCR | IGNCR | IXOFF | IXANY;
constexpr tcflag_t kKeptControl = CSTOPB | CLOCAL | CREAD | HUPCL | CRTSCTS;

} // namespace

TEST(OpenSerialPort, LeavesThePortRawAtTheSpeedAndKeepsTheOtherFlags)
{
    PtyPeer line;
    termios before{};
    {
        const int setup = open(line.path().c_str(), O_RDWR | O_NOCTTY);
        tcgetattr(setup, &before);
        before.c_iflag |= kKeptInput | BRKINT | ICRNL | INPCK | ISTRIP | IXON;
        before.c_lflag |= ECHO | ICANON | IEXTEN | ISIG | ECHONL;
        before.c_cflag |= PARENB | CSTOPB | CLOCAL | CRTSCTS;
        before.c_oflag |= OPOST;
        tcsetattr(setup, TCSANOW, &before);
        tcgetattr(setup, &before);
        close(setup);
    }
    line.send({'s', 't', 'a', 'l', 'e', 0x04}); // input that waited for no one, ended by EOF
    for (int waited = 0; line.unread() == 0 && waited < 1000; ++waited)
        usleep(1000);
    ASSERT_GT(line.unread(), 0);

    const int port = openSerialPort(line.path().c_str(), 9600);
    ASSERT_GE(port, 0);
    const termios after = attributesOf(line.path());

    EXPECT_EQ(after.c_lflag & (ECHO | ICANON | IEXTEN | ISIG), 0u);
    EXPECT_EQ(after.c_iflag & (BRKINT | ICRNL | INPCK | ISTRIP | IXON), 0u);
    EXPECT_EQ(after.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    EXPECT_EQ(after.c_cc[VMIN], 0);
    EXPECT_EQ(after.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B9600));

    EXPECT_EQ(after.c_iflag & kKeptInput, before.c_iflag & kKeptInput);
    EXPECT_EQ(after.c_cflag & kKeptControl, before.c_cflag & kKeptControl);
    EXPECT_EQ(after.c_lflag & ECHONL, before.c_lflag & ECHONL);

    const int flags = fcntl(port, F_GETFL);
    EXPECT_TRUE(flags & O_NONBLOCK);
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
    EXPECT_TRUE(fcntl(port, F_GETFD) & FD_CLOEXEC);
    uint8_t byte;
    // 0, not -1 with EAGAIN: with VMIN and VTIME 0 a read returns what is
    // there, and what waited before the open is gone.
    EXPECT_EQ(read(port, &byte, 1), 0);
    close(port);
}

TEST(OpenSerialPort, SetsEveryStandardSpeed)
{
    // Linux's own speed codes, written out rather than taken from termios.h.
    const std::pair<int, speed_t> kLinuxCodes[] = {{1200, 011},      {1800, 012},     {2400, 013},  {4800, 014},
                                                   {9600, 015},      {19200, 016},    {38400, 017}, {57600, 010001},
                                                   {115200, 010002}, {230400, 010003}};
    PtyPeer line;
    for (const auto &[baud, code] : kLinuxCodes) {
        const int port = openSerialPort(line.path().c_str(), baud);
        const termios attributes = attributesOf(line.path());
        EXPECT_EQ(cfgetospeed(&attributes), code) << baud;
        EXPECT_EQ(cfgetispeed(&attributes), code) << baud;
        close(port);
    }
}

TEST(OpenSerialPortDeathTest, RefusesWhatItCannotUse)
{
    EXPECT_EXIT(openSerialPort("/nonexistent/ttyS3", 9600), testing::ExitedWithCode(1),
                "^/nonexistent/ttyS3: No such file or directory\nunable to open port\n$");

    char plain[] = "/tmp/aimlink-plain-XXXXXX";
    const int file = mkstemp(plain);
    ASSERT_GE(file, 0);
    close(file);
    EXPECT_EXIT(openSerialPort(plain, 9600), testing::ExitedWithCode(1),
                std::string("^") + plain + ": Inappropriate ioctl for device\nunable to open port\n$");
    unlink(plain);

    PtyPeer line;
    EXPECT_EXIT(openSerialPort(line.path().c_str(), 12345), testing::ExitedWithCode(1),
                "^12345 baud: not a supported line speed \\(1200 to 230400\\)\nunable to set baud rate on port\n$");
}

TEST(OpenSerialPortDeathTest, RefusesAPortHeldByAnotherOpen)
{
    PtyPeer line;
    const int holder = open(line.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EXIT(openSerialPort(line.path().c_str(), 9600), testing::ExitedWithCode(1),
                "^" + line.path() + ": port is in use by another process\nunable to open port\n$");
    close(holder);
}

// A program started by a service manager leads a session without a terminal:
// were the port to become its controlling terminal, a hang-up on the line
// would end it with SIGHUP.
TEST(OpenSerialPortDeathTest, NeverBecomesTheControllingTerminal)
{
    PtyPeer line;
    EXPECT_EXIT(
        {
            setsid();
            const int port = openSerialPort(line.path().c_str(), 9600);
            std::exit(tcgetsid(port) == -1 ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
}

TEST(OpenRaw, ReportsTheCauseAndLeavesNothingOpen)
{
    errno = 0;
    EXPECT_EQ(openRaw("/nonexistent/ttyS3", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);

    PtyPeer line;
    const int first = openRaw(line.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(first, 0);
    EXPECT_EQ(openRaw(line.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), -1);
    EXPECT_TRUE(errno == EWOULDBLOCK || errno == EBUSY);
    close(first);
    const int again = openRaw(line.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(again, 0) << "closing gives the port back";
    close(again);
}

// A pty never keeps output queued, so the reason is tried alone; the rig
// holds a real UART's output with a three-wire cable.
TEST(HeldOutput, TheReasonNamesTheOptionThatSwitchesFlowControlOff)
{
    EXPECT_EQ(aimlink::heldOutputReason(7, true),
              "output held by hardware flow control (7 bytes never sent): check the cable's RTS/CTS or switch flow "
              "control off (--flow-control off)");
    EXPECT_EQ(aimlink::heldOutputReason(6, false), "output held by the driver (6 bytes never sent)");
}

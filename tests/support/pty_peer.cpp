// SPDX-License-Identifier: MIT
#include "pty_peer.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    path_ = ptsname(master_);
    interrupt_ = eventfd(0, EFD_CLOEXEC);
    // Holding the slave open keeps the line up between clients.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios attributes{};
    tcgetattr(slave_, &attributes);
    cfmakeraw(&attributes);
    tcsetattr(slave_, TCSANOW, &attributes);
}

PtyPeer::~PtyPeer()
{
    hangUp();
    close(interrupt_);
}

void PtyPeer::interrupt()
{
    const uint64_t one = 1;
    if (write(interrupt_, &one, sizeof one) != sizeof one)
        throw std::runtime_error("cannot interrupt the peer");
}

void PtyPeer::holdOutput(bool held)
{
    if (tcflow(slave_, held ? TCOOFF : TCOON) != 0)
        throw std::runtime_error("cannot hold the client's output");
}

int PtyPeer::unread() const
{
    int count = 0;
    if (ioctl(slave_, FIONREAD, &count) != 0)
        throw std::runtime_error("cannot count the client's unread input");
    return count;
}

std::optional<ByteVector> PtyPeer::readFrame(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto start = pending_.begin();
        while (start != pending_.end() && *start != 0xFF)
            ++start;
        pending_.erase(pending_.begin(), start);
        for (size_t i = 0; i < pending_.size(); ++i) {
            if (pending_[i] == 0xEF) {
                ByteVector frame(pending_.begin(), pending_.begin() + static_cast<long>(i) + 1);
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(i) + 1);
                return frame;
            }
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || master_ < 0)
            return std::nullopt;
        pollfd fds[2] = {{master_, POLLIN, 0}, {interrupt_, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0)
            continue;
        if (fds[1].revents != 0)
            return std::nullopt;
        uint8_t chunk[256];
        const ssize_t count = read(master_, chunk, sizeof chunk);
        if (count > 0)
            pending_.insert(pending_.end(), chunk, chunk + count);
    }
}

int PtyPeer::countFrames(std::chrono::milliseconds period)
{
    const auto deadline = std::chrono::steady_clock::now() + period;
    int frames = 0;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readFrame(left))
            return frames;
        ++frames;
    }
}

void PtyPeer::send(const ByteVector &bytes)
{
    if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("short write to the pseudo-terminal");
}

void PtyPeer::hangUp()
{
    if (master_ >= 0)
        close(master_);
    if (slave_ >= 0)
        close(slave_);
    master_ = slave_ = -1;
}

namespace {
ByteVector withFields(ByteVector head, const char *first, const char *second)
{
    head.insert(head.end(), first, first + std::strlen(first));
    head.insert(head.end(), second, second + std::strlen(second));
    head.push_back(0xEF);
    return head;
}
} // namespace

ByteVector ackReply() { return {0xFE, 0x30, 0x30, 0x30, 0x30, 0xEF}; }
ByteVector rejectReply() { return {0xFE, 0x30, 0x30, 0x31, 0x30, 0xEF}; }
ByteVector positionReply(const char *panField, const char *tiltField)
{
    return withFields({0xFE, 0x30, 0x30, 0x30, 0x30}, panField, tiltField);
}

ByteVector initFrame() { return {0xFF, 0x30, 0x30, 0x00, 0x90, 0x30, 0xEF}; }
ByteVector homeFrame() { return {0xFF, 0x30, 0x30, 0x00, 0x57, 0xEF}; }
ByteVector pollFrame() { return {0xFF, 0x30, 0x30, 0x00, 0x63, 0xEF}; }
ByteVector moveFrame(const char *panField, const char *tiltField)
{
    return withFields({0xFF, 0x30, 0x30, 0x00, 0x62}, panField, tiltField);
}

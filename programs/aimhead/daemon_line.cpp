// SPDX-License-Identifier: MIT
#include "daemon_line.h"

#include <cerrno>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace aimhead {
namespace {

// The daemon's longest line is a reply of a few hundred bytes.
constexpr size_t kMaxLine = 65536;

} // namespace

DaemonLine::~DaemonLine() { close(); }

void DaemonLine::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    buffered_.clear();
}

int DaemonLine::connect(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return ENAMETOOLONG;
    path.copy(address.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return errno;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    close();
    fd_ = fd;
    return 0;
}

int DaemonLine::send(const std::string &text)
{
    const std::string line = text + "\n";
    const ssize_t sent = ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == static_cast<ssize_t>(line.size()))
        return 0;
    return sent < 0 ? errno : EAGAIN;
}

DaemonLine::Read DaemonLine::next(Clock::time_point until, std::string &line, int &error)
{
    for (;;) {
        if (const size_t newline = buffered_.find('\n'); newline != std::string::npos) {
            line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return Read::Line;
        }
        if (buffered_.size() > kMaxLine)
            return Read::Overlong;
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(timeLeft(until).count())) <= 0)
            return Read::TimedOut; // or a signal came, which the caller looks at
        char chunk[4096];
        const ssize_t count = recv(fd_, chunk, sizeof chunk, 0);
        if (count > 0)
            buffered_.append(chunk, static_cast<size_t>(count));
        else if (count == 0 || errno == ECONNRESET)
            return Read::Closed;
        else if (errno != EAGAIN && errno != EINTR) {
            error = errno;
            return Read::Failed;
        }
    }
}

} // namespace aimhead

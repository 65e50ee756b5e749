// SPDX-License-Identifier: MIT
// aimhead's end of the daemon's local socket as lines of text: connecting,
// sending a line whole, and reading the next line within a bound. It knows
// nothing of what the lines mean, which server_head.cpp reads from them.
#ifndef AIMHEAD_DAEMON_LINE_H
#define AIMHEAD_DAEMON_LINE_H

#include "head.h"

#include <string>

namespace aimhead {

class DaemonLine {
public:
    enum class Read { Line, TimedOut, Closed, Overlong, Failed };

    DaemonLine() = default;
    ~DaemonLine();
    DaemonLine(const DaemonLine &) = delete;
    DaemonLine &operator=(const DaemonLine &) = delete;

    // 0, or the errno of the failure.
    int connect(const std::string &path);
    bool connected() const { return fd_ >= 0; }
    void close();
    // The whole line and its newline, or nothing: a request is far smaller
    // than a socket's buffer. 0, or the errno (EAGAIN for a partial send).
    int send(const std::string &text);
    // The next line without its newline, waiting until `until` at most
    // (TimedOut also when a signal cut the wait short). On Failed, error
    // holds the errno.
    Read next(Clock::time_point until, std::string &line, int &error);

private:
    int fd_ = -1;
    std::string buffered_;
};

} // namespace aimhead

#endif

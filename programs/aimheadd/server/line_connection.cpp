// SPDX-License-Identifier: MIT
#include "line_connection.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace aimheadd {

LineConnection::LineConnection(EventLoop &loop, int fd, Callbacks callbacks)
    : loop_(loop), fd_(fd), callbacks_(std::move(callbacks))
{
    loop_.watch(fd_, EPOLLIN | EPOLLRDHUP, [this](uint32_t events) { onReady(events); });
}

LineConnection::~LineConnection()
{
    if (fd_ >= 0) {
        loop_.forget(fd_);
        ::close(fd_);
    }
}

void LineConnection::send(std::string_view text)
{
    if (fd_ < 0 || closing_)
        return;
    if (output_.size() - written_ + text.size() > kMaxQueuedBytes) {
        end("its replies were not read (over " + std::to_string(kMaxQueuedBytes / 1024) + " KiB queued)");
        return;
    }
    const bool idle = written_ == output_.size();
    output_.append(text);
    if (idle)
        flush();
}

void LineConnection::close(const std::string &reason)
{
    if (fd_ < 0)
        return;
    closing_ = true;
    if (written_ == output_.size() || !reason.empty())
        end(reason);
}

uint32_t LineConnection::interest() const
{
    return (inputEnded_ ? 0U : EPOLLIN | EPOLLRDHUP) | (written_ < output_.size() ? EPOLLOUT : 0U);
}

void LineConnection::onReady(uint32_t events)
{
    if (events & (EPOLLHUP | EPOLLERR)) {
        end({});
        return;
    }
    if (events & EPOLLOUT)
        flush();
    if (fd_ >= 0 && !inputEnded_ && (events & (EPOLLIN | EPOLLRDHUP)))
        readInput();
}

void LineConnection::readInput()
{
    char chunk[4096];
    const ssize_t count = recv(fd_, chunk, sizeof chunk, 0);
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (count < 0) {
        end(aimlink::errorText(errno));
        return;
    }
    if (count == 0) {
        inputEnded_ = true;
        loop_.change(fd_, interest());
        if (callbacks_.inputEnded)
            callbacks_.inputEnded();
        else
            close();
        return;
    }
    input_.append(chunk, static_cast<size_t>(count));
    cutLines();
}

void LineConnection::cutLines()
{
    const std::string tooLong = "a line over " + std::to_string(kMaxLineBytes) + " bytes";
    size_t start = 0;
    // The callback may close this connection; stop cutting lines then.
    for (size_t newline = input_.find('\n'); newline != std::string::npos && fd_ >= 0 && !closing_;
         newline = input_.find('\n', start)) {
        std::string_view line(input_.data() + start, newline - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.size() > kMaxLineBytes) {
            end(tooLong);
            return;
        }
        start = newline + 1;
        callbacks_.line(line);
    }
    if (fd_ < 0 || closing_)
        return;
    input_.erase(0, start);
    // One byte of room for the carriage return of a line not yet complete.
    if (input_.size() > kMaxLineBytes + 1)
        end(tooLong);
}

void LineConnection::flush()
{
    while (written_ < output_.size()) {
        const ssize_t count = ::send(fd_, output_.data() + written_, output_.size() - written_, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN) {
            loop_.change(fd_, interest());
            return;
        }
        if (count < 0) {
            end(aimlink::errorText(errno));
            return;
        }
        written_ += static_cast<size_t>(count);
    }
    output_.clear();
    written_ = 0;
    loop_.change(fd_, interest());
    if (closing_)
        end({});
}

void LineConnection::end(const std::string &reason)
{
    if (fd_ < 0)
        return;
    loop_.forget(fd_);
    ::close(fd_);
    fd_ = -1;
    output_.clear();
    written_ = 0;
    if (callbacks_.closed)
        callbacks_.closed(reason);
}

} // namespace aimheadd

// SPDX-License-Identifier: MIT
// A client connection that speaks in lines, on a non-blocking stream
// socket. Input is cut at newlines; a line longer than the limit closes the
// connection. Output is queued without blocking; a client whose queue grows
// beyond its bound (it does not read) is disconnected, so it can never hold
// up the daemon or the other clients.
#ifndef AIMHEADD_LINE_CONNECTION_H
#define AIMHEADD_LINE_CONNECTION_H

#include "event_loop.h"

#include <functional>
#include <string>
#include <string_view>

namespace aimheadd {

constexpr size_t kMaxLineBytes = 4096;
constexpr size_t kMaxQueuedBytes = size_t{64} * 1024;

class LineConnection {
public:
    struct Callbacks {
        std::function<void(std::string_view line)> line;
        // When the client has shut down its sending side; replies still go
        // out. Without it, the connection closes once its replies are out.
        std::function<void()> inputEnded;
        // Once, when the connection ends; reason is empty for an orderly end.
        std::function<void(const std::string &reason)> closed;
    };

    // Takes ownership of fd.
    LineConnection(EventLoop &loop, int fd, Callbacks callbacks);
    ~LineConnection();
    LineConnection(const LineConnection &) = delete;
    LineConnection &operator=(const LineConnection &) = delete;

    void send(std::string_view text);
    // Ends the connection once what is queued has been written (or at once).
    void close(const std::string &reason = {});

private:
    void onReady(uint32_t events);
    void readInput();
    void cutLines();
    uint32_t interest() const;
    void flush();
    void end(const std::string &reason);

    EventLoop &loop_;
    int fd_;
    Callbacks callbacks_;
    std::string input_;
    std::string output_;
    size_t written_ = 0;
    bool closing_ = false;
    bool inputEnded_ = false;
};

} // namespace aimheadd

#endif

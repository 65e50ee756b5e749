// SPDX-License-Identifier: MIT
// The listening sockets: the local socket for JSON clients and the TCP
// port for rotator clients, and the loop side that accepts on them.
#ifndef AIMHEADD_SOCKETS_H
#define AIMHEADD_SOCKETS_H

#include "event_loop.h"

#include <cstdint>
#include <functional>
#include <string>

namespace aimheadd {

// A listening unix socket at path with mode 0660 and the group of the
// device, its directory made if missing. Replaces a socket left by a daemon
// that is gone; refuses one that a live daemon answers on. Throws
// std::runtime_error naming the path and the reason.
int listenLocal(const std::string &path, const std::string &device);

// "[ADDR:]PORT" in its parts: ADDR defaults to 127.0.0.1 and loses the
// brackets of an IPv6 address.
struct HostAndPort {
    std::string host;
    std::string port;
};
HostAndPort splitAddress(const std::string &where);

// A listening TCP socket on "[ADDR:]PORT" (ADDR defaults to 127.0.0.1;
// [v6] in brackets; port 0 picks a free one) and what it is bound to.
// Throws std::runtime_error naming what and the reason.
struct TcpListening {
    int fd = -1;
    uint16_t port = 0;
    bool loopback = false;
    bool ipv6 = false;
    std::string hostAndPort; // as a URL writes it: "[::1]:8080"
};
TcpListening listenTcp(const std::string &what, const std::string &where);

// Accepts connections as they come and hands each, non-blocking, to accepted.
class Listener {
public:
    Listener(EventLoop &loop, int fd, std::function<void(int client)> accepted);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

private:
    EventLoop &loop_;
    int fd_;
    std::function<void(int)> accepted_;
};

// "pid P, uid U" of a local peer, or the address and port of a TCP one.
std::string peerName(int fd);

} // namespace aimheadd

#endif

// The listening sockets: the local socket for JSON clients and the TCP
// port for rotator clients, and the loop side that accepts on them.
#ifndef AIMHEADD_SOCKETS_H
#define AIMHEADD_SOCKETS_H

#include "event_loop.h"

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
// [v6] in brackets). Throws std::runtime_error naming it and the reason.
int listenTcp(const std::string &where);

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

// SPDX-License-Identifier: MIT
// Who is at the other end of a TCP connection from this machine's loopback.
// The kernel knows the socket at the other end, and its owner: its socket
// diagnostics (NETLINK_SOCK_DIAG) answer for one exact connection, and its
// table in /proc/net where they are not answered.
#ifndef AIMHEADD_PEER_USER_H
#define AIMHEADD_PEER_USER_H

#include <cstdint>
#include <optional>
#include <string>

#include <sys/socket.h>
#include <sys/types.h>

namespace aimheadd {

// True for 127.0.0.0/8, ::1 and ::ffff:127.0.0.0/104.
bool isLoopback(const sockaddr *address);

// The uid owning the peer's socket of the connected TCP socket fd, when
// both ends are on loopback; nullopt otherwise or when the kernel cannot tell.
std::optional<uid_t> loopbackPeerUid(int fd);

// Why uid may not change what device points at, or nullopt when it may: root,
// the daemon's own user, the device's owner and the members of its group (as
// the user database lists them) may, as they may open the device.
std::optional<std::string> whyNotAllowed(uid_t uid, const std::string &device);

// An address block as "ADDR/BITS" (or a single "ADDR"), IPv4 or IPv6.
// Throws std::invalid_argument with the reason.
class Network {
public:
    explicit Network(const std::string &text);
    bool contains(const sockaddr *address) const;

private:
    int family_ = AF_UNSPEC;
    uint8_t bytes_[16]{};
    unsigned bits_ = 0;
};

} // namespace aimheadd

#endif

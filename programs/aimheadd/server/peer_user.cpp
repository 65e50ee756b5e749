// SPDX-License-Identifier: MIT
#include "peer_user.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/time.h>
#include <unistd.h>

namespace aimheadd {

namespace {

// An IPv4 peer of an IPv6 socket is reported as ::ffff:a.b.c.d; the peer's
// own socket is an IPv4 one, and the kernel files it under that family.
struct Endpoint {
    int family = AF_UNSPEC;
    uint16_t port = 0; // network order
    uint32_t address[4]{};
};

Endpoint endpointOf(const sockaddr_storage &storage)
{
    Endpoint endpoint;
    if (storage.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(storage);
        endpoint = {AF_INET, v4.sin_port, {v4.sin_addr.s_addr}};
    } else if (storage.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(storage);
        endpoint.port = v6.sin6_port;
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            endpoint.family = AF_INET;
            std::memcpy(endpoint.address, v6.sin6_addr.s6_addr + 12, 4);
        } else {
            endpoint.family = AF_INET6;
            std::memcpy(endpoint.address, v6.sin6_addr.s6_addr, 16);
        }
    }
    return endpoint;
}

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

// The peer's socket has our remote end as its source and ours as its
// destination.
DiagRequest requestFor(const Endpoint &local, const Endpoint &remote)
{
    DiagRequest request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.body.sdiag_family = static_cast<uint8_t>(remote.family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0U;
    request.body.id.idiag_sport = remote.port;
    request.body.id.idiag_dport = local.port;
    std::memcpy(request.body.id.idiag_src, remote.address, sizeof remote.address);
    std::memcpy(request.body.id.idiag_dst, local.address, sizeof local.address);
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return request;
}

std::optional<uid_t> askKernel(const DiagRequest &request)
{
    const int diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diag < 0)
        return std::nullopt;
    // The kernel answers at once; the bound only guards against a kernel without the module.
    const timeval wait{1, 0};
    setsockopt(diag, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    std::optional<uid_t> uid;
    alignas(nlmsghdr) char answer[1024];
    if (sendto(diag, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof request)) {
        const ssize_t got = recv(diag, answer, sizeof answer, 0);
        const auto *header = reinterpret_cast<const nlmsghdr *>(answer);
        if (got >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(inet_diag_msg))) && NLMSG_OK(header, got) &&
            header->nlmsg_type == SOCK_DIAG_BY_FAMILY)
            uid = static_cast<const inet_diag_msg *>(NLMSG_DATA(header))->idiag_uid;
    }
    close(diag);
    return uid;
}

// As /proc/net/tcp writes an endpoint: each address word as the number it
// is in memory, then the port in host order.
std::string procEndpoint(const Endpoint &endpoint)
{
    std::string text;
    char word[9];
    for (int each = 0; each < (endpoint.family == AF_INET ? 1 : 4); ++each) {
        std::snprintf(word, sizeof word, "%08X", endpoint.address[each]);
        text += word;
    }
    char port[6];
    std::snprintf(port, sizeof port, ":%04X", ntohs(endpoint.port));
    return text + port;
}

// Where the socket diagnostics are not answered (an emulator passes the
// netlink family through untranslated), the kernel's table of TCP sockets
// names the same owner.
std::optional<uid_t> askProcTable(const Endpoint &local, const Endpoint &remote)
{
    std::ifstream table(remote.family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6");
    const std::string source = procEndpoint(remote);
    const std::string destination = procEndpoint(local);
    std::string line;
    std::getline(table, line); // the column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, from, to, state, queues, timer, retransmits;
        unsigned long uid = 0;
        if (fields >> slot >> from >> to >> state >> queues >> timer >> retransmits >> uid && from == source &&
            to == destination)
            return static_cast<uid_t>(uid);
    }
    return std::nullopt;
}

bool inGroupOf(const passwd &user, gid_t group)
{
    if (user.pw_gid == group)
        return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) < 0)
            return false;
    }
    groups.resize(static_cast<size_t>(count));
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

// An IPv4 address on an IPv6 socket is matched as the IPv4 address it is.
std::pair<int, const uint8_t *> familyAndBytes(const sockaddr *address)
{
    if (address->sa_family == AF_INET)
        return {AF_INET, reinterpret_cast<const uint8_t *>(&reinterpret_cast<const sockaddr_in *>(address)->sin_addr)};
    if (address->sa_family != AF_INET6)
        return {AF_UNSPEC, nullptr};
    const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6))
        return {AF_INET, v6.s6_addr + 12};
    return {AF_INET6, v6.s6_addr};
}

} // namespace

std::optional<std::string> whyNotAllowed(uid_t uid, const std::string &device)
{
    if (uid == 0 || uid == geteuid())
        return std::nullopt;
    struct stat status {};
    if (stat(device.c_str(), &status) != 0)
        return "cannot tell who may use " + device + ": " + aimlink::errorText(errno);
    if (status.st_uid == uid)
        return std::nullopt;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *user = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &user) == 0 && user != nullptr &&
        inGroupOf(*user, status.st_gid))
        return std::nullopt;
    return "uid " + std::to_string(uid) + " may not use " + device + " (not root, the daemon's user or in group " +
           std::to_string(status.st_gid) + ")";
}

Network::Network(const std::string &text)
{
    const size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    if (inet_pton(AF_INET, address.c_str(), bytes_) == 1)
        family_ = AF_INET;
    else if (inet_pton(AF_INET6, address.c_str(), bytes_) == 1)
        family_ = AF_INET6;
    else
        throw std::invalid_argument("'" + address + "' is not a numeric address");
    const unsigned most = family_ == AF_INET ? 32 : 128;
    bits_ = most;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        char *end = nullptr;
        const unsigned long parsed = std::strtoul(bits.c_str(), &end, 10);
        if (bits.empty() || *end != '\0' || parsed > most)
            throw std::invalid_argument("the prefix length must be a number from 0 to " + std::to_string(most));
        bits_ = static_cast<unsigned>(parsed);
    }
}

bool Network::contains(const sockaddr *address) const
{
    const auto [family, bytes] = familyAndBytes(address);
    if (family != family_)
        return false;
    const unsigned whole = bits_ / 8;
    if (std::memcmp(bytes, bytes_, whole) != 0)
        return false;
    const unsigned rest = bits_ % 8;
    const auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return rest == 0 || (bytes[whole] & mask) == (bytes_[whole] & mask);
}

bool isLoopback(const sockaddr *address)
{
    if (address->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr) >> 24) == 127;
    if (address->sa_family != AF_INET6)
        return false;
    const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

std::optional<uid_t> loopbackPeerUid(int fd)
{
    sockaddr_storage local{};
    sockaddr_storage remote{};
    socklen_t localLength = sizeof local;
    socklen_t remoteLength = sizeof remote;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLength) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr *>(&remote), &remoteLength) != 0 ||
        !isLoopback(reinterpret_cast<sockaddr *>(&remote)) || !isLoopback(reinterpret_cast<sockaddr *>(&local)))
        return std::nullopt;
    const Endpoint ours = endpointOf(local);
    const Endpoint theirs = endpointOf(remote);
    if (ours.family != theirs.family)
        return std::nullopt;
    if (const auto uid = askKernel(requestFor(ours, theirs)))
        return uid;
    return askProcTable(ours, theirs);
}

} // namespace aimheadd

// SPDX-License-Identifier: MIT
#include "client_registry.h"

#include "log.h"

#include <netdb.h>
#include <sys/socket.h>

namespace aimheadd {

namespace {

// One refusal line a second at most: a flood must not fill the journal.
constexpr std::chrono::seconds kRefusalLogInterval(1);

} // namespace

bool ClientCounts::admit(const std::string &peer, std::size_t clients)
{
    std::size_t &fromPeer = perPeer_[peer];
    if (clients < limits_.maxClients && fromPeer < limits_.maxPerPeer) {
        ++fromPeer;
        return true;
    }
    if (fromPeer == 0)
        perPeer_.erase(peer);
    ++refusedUnlogged_;
    const auto now = Clock::now();
    if (now - lastRefusalLogged_ >= kRefusalLogInterval) {
        const std::string why = clients >= limits_.maxClients
                                    ? std::to_string(limits_.maxClients) + " clients already"
                                    : std::to_string(limits_.maxPerPeer) + " clients from " + peer + " already";
        logLine(Priority::Warning, surface_ + ": refused " + std::to_string(refusedUnlogged_) +
                                       (refusedUnlogged_ == 1 ? " client" : " clients") + " (" + why + ")");
        lastRefusalLogged_ = now;
        refusedUnlogged_ = 0;
    }
    return false;
}

void ClientCounts::left(const std::string &peer)
{
    const auto found = perPeer_.find(peer);
    if (found != perPeer_.end() && --found->second == 0)
        perPeer_.erase(found);
}

std::string peerKey(int fd)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 && credentials.pid > 0)
        return "uid " + std::to_string(credentials.uid);
    sockaddr_storage address{};
    length = sizeof address;
    char host[NI_MAXHOST] = "?";
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        getnameinfo(reinterpret_cast<sockaddr *>(&address), length, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    return host;
}

} // namespace aimheadd

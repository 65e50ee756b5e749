// SPDX-License-Identifier: MIT
// The clients of one surface (the local socket, the rotator port), by
// number. Each surface caps its clients in all and per peer (address, or
// user on the local socket), so that a flood on one never takes the
// descriptors another surface or the device's reopen needs; a client over
// a cap is closed at once with a log line, rate-limited so that a flood does
// not fill the journal.
#ifndef AIMHEADD_CLIENT_REGISTRY_H
#define AIMHEADD_CLIENT_REGISTRY_H

#include "event_loop.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <unistd.h>

namespace aimheadd {

struct ClientLimits {
    std::size_t maxClients = 64;
    std::size_t maxPerPeer = 16;
};

// What every surface's client has; a surface's own client type adds to it.
struct RegisteredClient {
    uint64_t number = 0;
    std::string name; // as in "rotator client 3 (127.0.0.1:4711)"
    std::string peer; // what the per-peer cap counts by
};

// The bookkeeping without the client type: numbers, counts, refusals.
class ClientCounts {
public:
    ClientCounts(std::string surface, ClientLimits limits) : surface_(std::move(surface)), limits_(limits) {}
    // The peer's key and whether it may come in; logs a refusal.
    bool admit(const std::string &peer, std::size_t clients);
    void left(const std::string &peer);

private:
    std::string surface_;
    ClientLimits limits_;
    std::map<std::string, std::size_t> perPeer_;
    Clock::time_point lastRefusalLogged_{};
    std::size_t refusedUnlogged_ = 0;
};

// "uid U" of a local peer, or the numeric address of a TCP one.
std::string peerKey(int fd);

template <class Client> class ClientRegistry {
public:
    ClientRegistry(std::string surface, ClientLimits limits) : counts_(std::move(surface), limits) {}

    // A new client for fd named prefix + number + peer, or nullptr when a
    // cap refuses it; fd is then closed.
    Client *admit(int fd, const std::string &prefix, const std::string &peerName)
    {
        const std::string peer = peerKey(fd);
        if (!counts_.admit(peer, clients_.size())) {
            close(fd);
            return nullptr;
        }
        auto client = std::make_unique<Client>();
        client->number = next_++;
        client->name = prefix + std::to_string(client->number) + " (" + peerName + ")";
        client->peer = peer;
        Client *added = client.get();
        clients_.emplace(added->number, std::move(client));
        return added;
    }

    void remove(uint64_t number)
    {
        const auto found = clients_.find(number);
        if (found == clients_.end())
            return;
        counts_.left(found->second->peer);
        clients_.erase(found);
    }

    Client *find(uint64_t number)
    {
        const auto found = clients_.find(number);
        return found == clients_.end() ? nullptr : found->second.get();
    }
    std::map<uint64_t, std::unique_ptr<Client>> &all() { return clients_; }

private:
    ClientCounts counts_;
    uint64_t next_ = 1;
    std::map<uint64_t, std::unique_ptr<Client>> clients_;
};

} // namespace aimheadd

#endif

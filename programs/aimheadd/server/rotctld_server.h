// SPDX-License-Identifier: MIT
// The rotator protocol's side of the daemon: a TCP listener that rotctl and
// satellite trackers talk to as they would to Hamlib's rotctld.
#ifndef AIMHEADD_ROTCTLD_SERVER_H
#define AIMHEADD_ROTCTLD_SERVER_H

#include "client_registry.h"
#include "head_service.h"
#include "line_connection.h"
#include "peer_user.h"
#include "rotctld_protocol.h"
#include "sockets.h"

#include <map>
#include <memory>
#include <vector>

namespace aimheadd {

class RotctldServer {
public:
    // Changes are taken from loopback clients whose user may use the
    // device, and from clients beyond loopback in one of allowed: the
    // protocol has no authentication of its own. Reads are open to all.
    RotctldServer(EventLoop &loop, HeadService &head, int listenFd, std::vector<Network> allowed = {});
    RotctldServer(const RotctldServer &) = delete;
    RotctldServer &operator=(const RotctldServer &) = delete;

private:
    struct Client : RegisteredClient {
        std::optional<std::string> whyNoChanges; // nullopt when the client may change the head
        bool toldWhy = false;
        std::unique_ptr<LineConnection> connection;
    };

    void accepted(int fd);
    void take(Client &client, std::string_view line);
    std::string answer(Client &client, const rotctld::Command &command);
    std::string moveTo(const Client &client, const aimlink_angles &target);
    std::optional<std::string> whyNoChanges(int fd) const;
    bool refusesChange(Client &client);

    EventLoop &loop_;
    HeadService &head_;
    std::vector<Network> allowed_;
    Listener listener_;
    ClientRegistry<Client> clients_;
};

} // namespace aimheadd

#endif

// The rotator protocol's side of the daemon: a TCP listener that rotctl and
// satellite trackers talk to as they would to Hamlib's rotctld.
#ifndef AIMHEADD_ROTCTLD_SERVER_H
#define AIMHEADD_ROTCTLD_SERVER_H

#include "head_service.h"
#include "line_connection.h"
#include "rotctld_protocol.h"
#include "sockets.h"

#include <map>
#include <memory>

namespace aimheadd {

class RotctldServer {
public:
    RotctldServer(EventLoop &loop, HeadService &head, int listenFd);
    RotctldServer(const RotctldServer &) = delete;
    RotctldServer &operator=(const RotctldServer &) = delete;

private:
    struct Client {
        uint64_t number = 0;
        std::string name;
        std::unique_ptr<LineConnection> connection;
    };

    void accepted(int fd);
    std::string answer(const Client &client, const rotctld::Command &command);
    std::string moveTo(const Client &client, const aimlink_angles &target);

    EventLoop &loop_;
    HeadService &head_;
    Listener listener_;
    uint64_t nextClient_ = 1;
    std::map<uint64_t, std::unique_ptr<Client>> clients_;
};

} // namespace aimheadd

#endif

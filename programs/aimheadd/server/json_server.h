// SPDX-License-Identifier: MIT
// The local socket's side of the daemon: one JSON request per line in, one
// reply per request and, for watchers, events out.
#ifndef AIMHEADD_JSON_SERVER_H
#define AIMHEADD_JSON_SERVER_H

#include "client_registry.h"
#include "head_service.h"
#include "json_protocol.h"
#include "line_connection.h"
#include "sockets.h"

#include <map>
#include <memory>
#include <optional>
#include <set>

namespace aimheadd {

class JsonServer {
public:
    JsonServer(EventLoop &loop, HeadService &head, int listenFd);
    ~JsonServer();
    JsonServer(const JsonServer &) = delete;
    JsonServer &operator=(const JsonServer &) = delete;

private:
    struct Client : RegisteredClient {
        std::unique_ptr<LineConnection> connection;
        std::optional<HeadService::SubscriptionId> watch;
        std::set<HeadService::WaitId> waits;
        bool inputEnded = false;
    };

    void accepted(int fd);
    void received(Client &client, std::string_view line);
    void closed(Client &client, const std::string &reason);
    void closeIfDone(Client &client);

    void handle(Client &client, const Json &id, const MoveRequest &move);
    void handle(Client &client, const Json &id, const HomeRequest &home);
    void handle(Client &client, const Json &id, const InitialiseRequest &initialise);
    void handle(Client &client, const Json &id, const GetRequest &get);
    void handle(Client &client, const Json &id, const WatchRequest &watch);
    void handle(Client &client, const Json &id, const VersionRequest &version);

    void answerCommand(Client &client, const Json &id,
                       const std::variant<HeadService::Accepted, HeadService::Refused> &result,
                       std::optional<int> waitMs);
    void answerArrival(uint64_t clientNumber, HeadService::WaitId wait, const Json &id,
                       const HeadService::WaitResult &result);
    void sendChange(Client &client, const HeadService::Change &change);

    EventLoop &loop_;
    HeadService &head_;
    Listener listener_;
    ClientRegistry<Client> clients_;
};

} // namespace aimheadd

#endif

// SPDX-License-Identifier: MIT
#include "json_server.h"

#include "log.h"

#ifndef AIMLINK_VERSION
#define AIMLINK_VERSION "unknown"
#endif

namespace aimheadd {

namespace {

// Room for every program of every user on the machine, yet far below the
// descriptors the daemon has.
constexpr ClientLimits kLocalLimits{256, 64};

std::string outcomeMessage(const HeadService::WaitResult &result)
{
    switch (result.outcome) {
    case HeadService::Outcome::Arrived:
        return "arrived";
    case HeadService::Outcome::Superseded:
        return "the target was replaced by " + result.detail;
    case HeadService::Outcome::TimedOut:
        return "the head did not reach the target in time";
    case HeadService::Outcome::LinkFailed:
        return "the link to the head failed: " + result.detail;
    }
    return {};
}

ErrorCode outcomeError(HeadService::Outcome outcome)
{
    switch (outcome) {
    case HeadService::Outcome::Superseded:
        return ErrorCode::Superseded;
    case HeadService::Outcome::TimedOut:
        return ErrorCode::Timeout;
    default:
        return ErrorCode::Link;
    }
}

} // namespace

JsonServer::JsonServer(EventLoop &loop, HeadService &head, int listenFd)
    : loop_(loop), head_(head), listener_(loop, listenFd, [this](int fd) { accepted(fd); }),
      clients_("local socket", kLocalLimits)
{
}

JsonServer::~JsonServer()
{
    for (auto &[number, client] : clients_.all()) {
        if (client->watch)
            head_.unsubscribe(*client->watch);
        for (const HeadService::WaitId wait : client->waits)
            head_.cancelWait(wait);
    }
}

void JsonServer::accepted(int fd)
{
    Client *admitted = clients_.admit(fd, "client ", peerName(fd));
    if (admitted == nullptr)
        return;
    Client &added = *admitted;
    LineConnection::Callbacks callbacks{[this, &added](std::string_view line) { received(added, line); },
                                        [this, &added] {
                                            added.inputEnded = true;
                                            closeIfDone(added);
                                        },
                                        [this, &added](const std::string &reason) { closed(added, reason); }};
    added.connection = std::make_unique<LineConnection>(loop_, fd, std::move(callbacks));
    logLine(Priority::Debug, added.name + " connected");
}

void JsonServer::received(Client &client, std::string_view line)
{
    auto parsed = parseRequest(line);
    if (const auto *error = std::get_if<RequestError>(&parsed)) {
        client.connection->send(errorReply(error->id, error->code, error->message));
        return;
    }
    const Request &request = std::get<Request>(parsed);
    std::visit([&](const auto &command) { handle(client, request.id, command); }, request.command);
}

void JsonServer::closed(Client &client, const std::string &reason)
{
    if (reason.empty())
        logLine(Priority::Debug, client.name + " disconnected");
    else
        logLine(Priority::Warning, client.name + " disconnected: " + reason);
    if (client.watch)
        head_.unsubscribe(*client.watch);
    for (const HeadService::WaitId wait : client.waits)
        head_.cancelWait(wait);
    client.watch.reset();
    client.waits.clear();
    // Freed after the current round: its connection is still on the stack.
    loop_.defer([this, number = client.number] { clients_.remove(number); });
}

// A client that sent its last request (socat at the end of its input) still
// gets its replies and, while it watches, the events.
void JsonServer::closeIfDone(Client &client)
{
    if (client.inputEnded && client.waits.empty() && !client.watch)
        client.connection->close();
}

void JsonServer::handle(Client &client, const Json &id, const MoveRequest &move)
{
    answerCommand(client, id, head_.move(client.name, move.pan, move.tilt), move.waitMs);
}

void JsonServer::handle(Client &client, const Json &id, const HomeRequest &home)
{
    answerCommand(client, id, head_.home(client.name), home.waitMs);
}

void JsonServer::handle(Client &client, const Json &id, const InitialiseRequest &)
{
    answerCommand(client, id, head_.initialise(client.name), std::nullopt);
}

void JsonServer::handle(Client &client, const Json &id, const GetRequest &)
{
    Json fields = stateFields(head_.state());
    fields["device"] = head_.device();
    client.connection->send(okReply(id, fields));
}

void JsonServer::handle(Client &client, const Json &id, const WatchRequest &watch)
{
    if (watch.enable && !client.watch)
        client.watch =
            head_.subscribe([this, &client](const HeadService::Change &change) { sendChange(client, change); });
    if (!watch.enable && client.watch) {
        head_.unsubscribe(*client.watch);
        client.watch.reset();
    }
    Json fields = stateFields(head_.state());
    fields["watching"] = watch.enable;
    client.connection->send(okReply(id, fields));
    closeIfDone(client);
}

void JsonServer::handle(Client &client, const Json &id, const VersionRequest &)
{
    client.connection->send(
        okReply(id, {{"version", AIMLINK_VERSION}, {"library", aimlink_version()}, {"protocol", kProtocolVersion}}));
}

void JsonServer::answerCommand(Client &client, const Json &id,
                               const std::variant<HeadService::Accepted, HeadService::Refused> &result,
                               std::optional<int> waitMs)
{
    if (const auto *refused = std::get_if<HeadService::Refused>(&result)) {
        client.connection->send(errorReply(id, ErrorCode::Link, refused->message, stateFields(head_.state())));
        return;
    }
    const auto &accepted = std::get<HeadService::Accepted>(result);
    if (!waitMs) {
        client.connection->send(okReply(id, {{"target", anglesJson(accepted.target)}, {"limited", accepted.limited}}));
        return;
    }
    // The wait id is known only once registered; the callback looks it up.
    auto wait = std::make_shared<HeadService::WaitId>(0);
    *wait = head_.waitForArrival(accepted.serial, std::chrono::milliseconds(*waitMs),
                                 [this, number = client.number, wait, id](const HeadService::WaitResult &done) {
                                     answerArrival(number, *wait, id, done);
                                 });
    client.waits.insert(*wait);
}

void JsonServer::answerArrival(uint64_t clientNumber, HeadService::WaitId wait, const Json &id,
                               const HeadService::WaitResult &result)
{
    Client *found = clients_.find(clientNumber);
    if (found == nullptr)
        return;
    Client &client = *found;
    client.waits.erase(wait);
    Json fields = stateFields(result.state);
    if (result.outcome == HeadService::Outcome::Arrived)
        client.connection->send(okReply(id, fields));
    else
        client.connection->send(errorReply(id, outcomeError(result.outcome), outcomeMessage(result), fields));
    closeIfDone(client);
}

void JsonServer::sendChange(Client &client, const HeadService::Change &change)
{
    if (change.link) {
        Json fields = {{"link", aimlink_link_name(change.state.link)}};
        if (!change.state.reason.empty())
            fields["reason"] = change.state.reason;
        client.connection->send(eventLine("link", fields));
    }
    if (change.position && change.state.position)
        client.connection->send(eventLine("position", anglesJson(change.state.position)));
    if (change.target)
        client.connection->send(
            eventLine("target", {{"target", anglesJson(change.state.target)}, {"owner", change.state.owner}}));
}

} // namespace aimheadd

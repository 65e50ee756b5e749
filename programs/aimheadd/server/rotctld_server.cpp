// SPDX-License-Identifier: MIT
#include "rotctld_server.h"

#include "log.h"
#include "text.h"

#include <algorithm>
#include <cerrno>

#include <sys/socket.h>

namespace aimheadd {

namespace {

template <class... Handlers> struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers> Overloaded(Handlers...) -> Overloaded<Handlers...>;

// A tracker or two per machine; a flood is refused long before the
// descriptors run out.
constexpr ClientLimits kRotatorLimits{64, 16};

bool connected(const HeadState &state)
{
    return state.link != AIMLINK_LINK_FAILED && state.link != AIMLINK_LINK_CLOSED;
}

} // namespace

RotctldServer::RotctldServer(EventLoop &loop, HeadService &head, int listenFd, std::vector<Network> allowed)
    : loop_(loop), head_(head), allowed_(std::move(allowed)),
      listener_(loop, listenFd, [this](int fd) { accepted(fd); }), clients_("rotator port", kRotatorLimits)
{
}

std::optional<std::string> RotctldServer::whyNoChanges(int fd) const
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return std::string("cannot tell who the client is: ") + aimlink::errorText(errno);
    const auto *address = reinterpret_cast<const sockaddr *>(&peer);
    if (isLoopback(address)) {
        const auto uid = loopbackPeerUid(fd);
        if (!uid)
            return std::string("the kernel does not tell whose the connection is");
        return whyNotAllowed(*uid, head_.device());
    }
    if (std::any_of(allowed_.begin(), allowed_.end(), [&](const Network &each) { return each.contains(address); }))
        return std::nullopt;
    return std::string("its address is beyond loopback and not in --rotctld-allow");
}

// The first refusal is logged with its reason; the client hears RPRT -1.
bool RotctldServer::refusesChange(Client &client)
{
    if (!client.whyNoChanges)
        return false;
    if (!client.toldWhy)
        logLine(Priority::Warning, client.name + ": changes refused: " + *client.whyNoChanges);
    client.toldWhy = true;
    return true;
}

void RotctldServer::accepted(int fd)
{
    Client *admitted = clients_.admit(fd, "rotator client ", peerName(fd));
    if (admitted == nullptr)
        return;
    Client &added = *admitted;
    added.whyNoChanges = whyNoChanges(fd);
    LineConnection::Callbacks callbacks{[this, &added](std::string_view line) { take(added, line); },
                                        {},
                                        [this, &added](const std::string &reason) {
                                            logLine(reason.empty() ? Priority::Debug : Priority::Warning,
                                                    added.name + " disconnected" +
                                                        (reason.empty() ? "" : ": " + reason));
                                            loop_.defer([this, number = added.number] { clients_.remove(number); });
                                        }};
    added.connection = std::make_unique<LineConnection>(loop_, fd, std::move(callbacks));
    logLine(Priority::Debug, added.name + " connected");
}

void RotctldServer::take(Client &client, std::string_view line)
{
    const auto extended = rotctld::extendedCommand(line);
    const rotctld::Command command = rotctld::parseCommand(extended ? extended->command : line);
    if (std::holds_alternative<rotctld::Quit>(command)) {
        client.connection->close();
        return;
    }
    const std::string reply = answer(client, command);
    client.connection->send(extended ? rotctld::extendedReply(*extended, command, reply) : reply);
}

std::string RotctldServer::answer(Client &client, const rotctld::Command &command)
{
    using namespace rotctld;
    const HeadState &state = head_.state();
    const bool change = std::holds_alternative<SetPosition>(command) || std::holds_alternative<Stop>(command) ||
                        std::holds_alternative<Park>(command);
    if (change && refusesChange(client))
        return report(kInvalid);
    return std::visit(
        Overloaded{[&](const SetPosition &set) {
                       const auto target = toHead({set.azimuth, set.elevation});
                       return target ? moveTo(client, *target) : report(kInvalid);
                   },
                   [&](const GetPosition &) {
                       return connected(state) && state.position ? positionReply(*state.position) : report(kIoError);
                   },
                   // The head has no stop frame: a move to where it last
                   // reported itself holds it there.
                   [&](const Stop &) {
                       return connected(state) && state.position ? moveTo(client, *state.position) : report(kIoError);
                   },
                   [&](const Park &) {
                       const auto homed = head_.home(client.name);
                       return report(std::holds_alternative<HeadService::Accepted>(homed) ? kOk : kIoError);
                   },
                   [&](const GetInfo &) { return std::string("aimhead pan-tilt head on ") + head_.device() + "\n"; },
                   [&](const DumpState &) { return dumpStateReply(); },
                   [&](const BadArguments &) { return report(kInvalid); },
                   [&](const auto &) { return report(kNotImplemented); }},
        command);
}

std::string RotctldServer::moveTo(const Client &client, const aimlink_angles &target)
{
    const auto moved = head_.move(client.name, target.pan, target.tilt);
    return rotctld::report(std::holds_alternative<HeadService::Accepted>(moved) ? rotctld::kOk : rotctld::kIoError);
}

} // namespace aimheadd

#include "rotctld_server.h"

#include "log.h"

namespace aimheadd {

namespace {

template <class... Handlers> struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers> Overloaded(Handlers...) -> Overloaded<Handlers...>;

bool connected(const HeadState &state)
{
    return state.link != AIMLINK_LINK_FAILED && state.link != AIMLINK_LINK_CLOSED;
}

} // namespace

RotctldServer::RotctldServer(EventLoop &loop, HeadService &head, int listenFd)
    : loop_(loop), head_(head), listener_(loop, listenFd, [this](int fd) { accepted(fd); })
{
}

void RotctldServer::accepted(int fd)
{
    auto client = std::make_unique<Client>();
    Client &added = *client;
    added.number = nextClient_++;
    added.name = "rotator client " + std::to_string(added.number) + " (" + peerName(fd) + ")";
    LineConnection::Callbacks callbacks{[this, &added](std::string_view line) {
                                            const rotctld::Command command = rotctld::parseCommand(line);
                                            if (std::holds_alternative<rotctld::Quit>(command))
                                                added.connection->close();
                                            else
                                                added.connection->send(answer(added, command));
                                        },
                                        {},
                                        [this, &added](const std::string &reason) {
                                            logLine(reason.empty() ? Priority::Debug : Priority::Warning,
                                                    added.name + " disconnected" +
                                                        (reason.empty() ? "" : ": " + reason));
                                            loop_.defer([this, number = added.number] { clients_.erase(number); });
                                        }};
    added.connection = std::make_unique<LineConnection>(loop_, fd, std::move(callbacks));
    clients_.emplace(added.number, std::move(client));
    logLine(Priority::Debug, added.name + " connected");
}

std::string RotctldServer::answer(const Client &client, const rotctld::Command &command)
{
    using namespace rotctld;
    const HeadState &state = head_.state();
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

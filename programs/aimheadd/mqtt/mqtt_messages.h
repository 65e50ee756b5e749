// SPDX-License-Identifier: MIT
// What travels on the broker, pure: the broker address and names checked
// before anything connects, the commands read from their payloads, and the
// state, result and Home Assistant payloads built from the head's state.
// No I/O, so every rule is tested alone.
#ifndef AIMHEADD_MQTT_MESSAGES_H
#define AIMHEADD_MQTT_MESSAGES_H

#include "head_state.h"
#include "json_protocol.h"

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace aimheadd::mqtt {

// A command's payload beyond this is refused unread.
constexpr std::size_t kMaxPayload = 4096;

struct BrokerAddress {
    std::string host;
    int port = 1883;
    bool tls = false;
    bool loopback = false; // the traffic stays on this machine
};

// "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]"; a message naming the URL
// and what is wrong with it otherwise.
std::variant<BrokerAddress, std::string> parseBrokerUrl(std::string_view url);

struct Credentials {
    std::string user;
    std::string password;
};
// The first line of a credentials file, "user:password".
std::optional<Credentials> parseCredentials(std::string_view text);

// 1 to 64 of letters, digits, '_' and '-': one topic level, safe anywhere.
bool validId(std::string_view id);
// Levels of valid ids joined by '/', as a prefix of topics.
bool validPrefix(std::string_view prefix);
// A stable id from the host and the device: "HOST-DEVICE", with every
// character an id may not hold turned into '_'.
std::string defaultId(std::string_view host, std::string_view device);

// The topics of one head under "PREFIX/ID/".
struct Topics {
    std::string base; // "PREFIX/ID/"
    std::string state() const { return base + "state"; }
    std::string availability() const { return base + "availability"; }
    std::string result() const { return base + "result"; }
    std::string presets() const { return base + "presets"; }
};

enum class CommandKind { Move, PanSet, TiltSet, Home, PresetRecall, PresetSave };

// The command a topic under base names, if any.
std::optional<CommandKind> commandFor(const Topics &topics, std::string_view topic);
const char *commandName(CommandKind kind);
// The topics to subscribe to for every command.
std::vector<std::string> commandTopics(const Topics &topics);

struct MoveTo {
    aimlink_angles angles;
};
struct PanTo {
    double azimuth;
};
struct TiltTo {
    double elevation;
};
struct GoHome {};
struct Recall {
    std::string name;
};
struct Save {
    std::string name;
};
using Command = std::variant<MoveTo, PanTo, TiltTo, GoHome, Recall, Save>;

struct Parsed {
    Json id;                                    // the client's "id", null when it gave none
    std::variant<Command, std::string> command; // or why it was refused
};

// Reads a payload: a JSON object, or for the one-value commands the bare
// value Home Assistant sends ("12.5", "door", "PRESS").
Parsed parseCommand(CommandKind kind, std::string_view payload);

// The state payload: the socket's get fields, and position and target as
// azimuth and elevation in degrees.
Json statePayload(const HeadState &state);

Json acceptedResult(const Json &id, CommandKind kind, const aimlink_angles &target, bool limited);
Json refusedResult(const Json &id, std::optional<CommandKind> kind, const std::string &reason);

Json presetsPayload(const std::map<std::string, aimlink_angles> &presets);

// Home Assistant's discovery: a retained config per entity, all of one
// device. An empty payload removes an entity (the preset select while there
// are no presets: Home Assistant refuses a select without options).
struct Discovery {
    std::string prefix; // "homeassistant"
    std::string id;     // the head's id
    Topics topics;
    std::string version; // the daemon's
    std::string webUrl;  // the web page, empty when off
};
std::vector<std::pair<std::string, std::string>> discoveryMessages(const Discovery &discovery,
                                                                   const std::vector<std::string> &presetNames);

} // namespace aimheadd::mqtt

#endif

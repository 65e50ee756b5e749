// SPDX-License-Identifier: MIT
#include "mqtt_messages.h"

#include "presets.h"
#include "rotctld_protocol.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace aimheadd::mqtt {

namespace {

constexpr std::size_t kMaxIdLength = 64;
constexpr char kPresetNameRule[] =
    "a preset name has 1 to 32 letters, digits, '-', '_' or '.', and no leading '-' or '.'";

bool idCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

std::optional<int> portNumber(std::string_view text)
{
    int port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

bool loopbackHost(const std::string &host)
{
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// Degrees rounded to hundredths: a count of the head is 2 mrad, about 0.11°.
double rounded(double degrees) { return std::round(degrees * 100.0) / 100.0; }

Json degreesJson(const std::optional<aimlink_angles> &angles)
{
    if (!angles)
        return nullptr;
    const rotctld::AzEl degrees = rotctld::toRotator(*angles);
    return {{"azimuth", rounded(degrees.azimuth)}, {"elevation", rounded(degrees.elevation)}};
}

// A whole number of milliradians that a frame can carry; the head limits
// it to the travel.
std::variant<int32_t, std::string> milliradians(const Json &object, const char *name)
{
    const auto found = object.find(name);
    if (found == object.end())
        return std::string(name) + " is missing";
    if (!found->is_number_integer())
        return std::string(name) + " must be a whole number of milliradians";
    constexpr int64_t kLow = std::numeric_limits<int16_t>::min();
    constexpr int64_t kHigh = std::numeric_limits<int16_t>::max();
    if (found->is_number_unsigned() ? found->get<uint64_t>() > static_cast<uint64_t>(kHigh)
                                    : found->get<int64_t>() < kLow || found->get<int64_t>() > kHigh)
        return std::string(name) + " must be from " + std::to_string(kLow) + " to " + std::to_string(kHigh) +
               " (milliradians)";
    return static_cast<int32_t>(found->get<int64_t>());
}

std::variant<double, std::string> degreesValue(const Json &value, const char *name)
{
    if (!value.is_number() || !std::isfinite(value.get<double>()))
        return std::string(name) + " must be a number of degrees";
    return value.get<double>();
}

// Azimuth and elevation checked against the travel, as the rotator port does.
std::variant<Command, std::string> moveInDegrees(const Json &object)
{
    const auto azimuth = degreesValue(object.value("azimuth", Json()), "azimuth");
    const auto elevation = degreesValue(object.value("elevation", Json()), "elevation");
    for (const auto *problem : {std::get_if<std::string>(&azimuth), std::get_if<std::string>(&elevation)})
        if (problem != nullptr)
            return *problem;
    const auto angles = rotctld::toHead({std::get<double>(azimuth), std::get<double>(elevation)});
    if (!angles)
        return std::string("azimuth and elevation must lie within the travel");
    return MoveTo{*angles};
}

std::variant<Command, std::string> moveCommand(const Json &object)
{
    if (object.contains("azimuth") || object.contains("elevation"))
        return moveInDegrees(object);
    const auto pan = milliradians(object, "pan");
    const auto tilt = milliradians(object, "tilt");
    for (const auto *problem : {std::get_if<std::string>(&pan), std::get_if<std::string>(&tilt)})
        if (problem != nullptr)
            return *problem;
    return MoveTo{{std::get<int32_t>(pan), std::get<int32_t>(tilt)}};
}

// The one value of a command: the bare payload, or "value" of an object.
Json singleValue(const Json &object, const char *key) { return object.value(key, Json()); }

std::variant<Command, std::string> presetCommand(CommandKind kind, const Json &name)
{
    if (!name.is_string() || !aimhead::validPresetName(name.get<std::string>()))
        return std::string(kPresetNameRule);
    if (kind == CommandKind::PresetSave)
        return Save{name.get<std::string>()};
    return Recall{name.get<std::string>()};
}

std::variant<Command, std::string> commandFromObject(CommandKind kind, const Json &object)
{
    switch (kind) {
    case CommandKind::Move:
        return moveCommand(object);
    case CommandKind::PanSet: {
        const auto azimuth = degreesValue(singleValue(object, "azimuth"), "azimuth");
        if (const auto *problem = std::get_if<std::string>(&azimuth))
            return *problem;
        return PanTo{std::get<double>(azimuth)};
    }
    case CommandKind::TiltSet: {
        const auto elevation = degreesValue(singleValue(object, "elevation"), "elevation");
        if (const auto *problem = std::get_if<std::string>(&elevation))
            return *problem;
        return TiltTo{std::get<double>(elevation)};
    }
    case CommandKind::Home:
        return GoHome{};
    case CommandKind::PresetRecall:
    case CommandKind::PresetSave:
        return presetCommand(kind, singleValue(object, "name"));
    }
    return std::string("unknown command");
}

// The bare payload as the object its command would take.
Json asObject(CommandKind kind, std::string_view payload)
{
    switch (kind) {
    case CommandKind::PanSet:
        return {{"azimuth", Json::parse(payload, nullptr, false)}};
    case CommandKind::TiltSet:
        return {{"elevation", Json::parse(payload, nullptr, false)}};
    case CommandKind::PresetRecall:
    case CommandKind::PresetSave:
        return {{"name", std::string(payload)}};
    default:
        return Json::object();
    }
}

} // namespace

std::variant<BrokerAddress, std::string> parseBrokerUrl(std::string_view url)
{
    BrokerAddress address;
    std::string_view rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        address.tls = true;
        address.port = 8883;
    } else {
        return "broker '" + std::string(url) + "': give mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    }
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    std::string_view host = rest;
    const auto bracket = rest.rfind(']');
    const auto colon = rest.rfind(':');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        const auto port = portNumber(rest.substr(colon + 1));
        if (!port)
            return "broker '" + std::string(url) + "': the port must be from 1 to 65535";
        address.port = *port;
        host = rest.substr(0, colon);
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty() || host.find_first_of("/@?# ") != std::string_view::npos)
        return "broker '" + std::string(url) + "': no host name";
    address.host = host;
    address.loopback = loopbackHost(address.host);
    return address;
}

std::optional<Credentials> parseCredentials(std::string_view text)
{
    const std::string_view line = text.substr(0, text.find_first_of("\r\n"));
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    return Credentials{std::string(line.substr(0, colon)), std::string(line.substr(colon + 1))};
}

bool validId(std::string_view id)
{
    if (id.empty() || id.size() > kMaxIdLength)
        return false;
    for (const char c : id)
        if (!idCharacter(c))
            return false;
    return true;
}

bool validPrefix(std::string_view prefix)
{
    for (std::size_t start = 0;;) {
        const auto slash = prefix.find('/', start);
        if (!validId(prefix.substr(start, slash - start)))
            return false;
        if (slash == std::string_view::npos)
            return true;
        start = slash + 1;
    }
}

std::string defaultId(std::string_view host, std::string_view device)
{
    const auto slash = device.rfind('/');
    std::string id = std::string(host) + "-" + std::string(device.substr(slash + 1));
    for (char &c : id)
        if (!idCharacter(c))
            c = '_';
    return id.substr(0, kMaxIdLength);
}

namespace {
const std::pair<CommandKind, const char *> kCommandTopics[] = {
    {CommandKind::Move, "move"},
    {CommandKind::PanSet, "pan/set"},
    {CommandKind::TiltSet, "tilt/set"},
    {CommandKind::Home, "home"},
    {CommandKind::PresetRecall, "preset/recall"},
    {CommandKind::PresetSave, "preset/save"},
};
} // namespace

std::optional<CommandKind> commandFor(const Topics &topics, std::string_view topic)
{
    if (topic.rfind(topics.base, 0) != 0)
        return std::nullopt;
    for (const auto &[kind, name] : kCommandTopics)
        if (topic.substr(topics.base.size()) == name)
            return kind;
    return std::nullopt;
}

const char *commandName(CommandKind kind)
{
    for (const auto &[each, name] : kCommandTopics)
        if (each == kind)
            return name;
    return "unknown";
}

std::vector<std::string> commandTopics(const Topics &topics)
{
    std::vector<std::string> all;
    for (const auto &[kind, name] : kCommandTopics)
        all.push_back(topics.base + name);
    return all;
}

Parsed parseCommand(CommandKind kind, std::string_view payload)
{
    if (payload.size() > kMaxPayload)
        return {nullptr, "the payload is over " + std::to_string(kMaxPayload) + " bytes"};
    const Json parsed = Json::parse(payload, nullptr, false);
    if (parsed.is_object()) {
        const Json id = parsed.value("id", Json());
        return {id, commandFromObject(kind, parsed)};
    }
    if (kind == CommandKind::Move)
        return {nullptr, "a move is a JSON object with pan and tilt, or azimuth and elevation"};
    return {nullptr, commandFromObject(kind, asObject(kind, payload))};
}

Json statePayload(const HeadState &state)
{
    Json payload = stateFields(state);
    payload["position_degrees"] = degreesJson(state.position);
    payload["target_degrees"] = degreesJson(state.target);
    return payload;
}

Json acceptedResult(const Json &id, CommandKind kind, const aimlink_angles &target, bool limited)
{
    return {{"id", id},
            {"command", commandName(kind)},
            {"ok", true},
            {"target", anglesJson(target)},
            {"target_degrees", degreesJson(target)},
            {"limited", limited}};
}

Json refusedResult(const Json &id, std::optional<CommandKind> kind, const std::string &reason)
{
    return {{"id", id}, {"command", kind ? Json(commandName(*kind)) : Json()}, {"ok", false}, {"reason", reason}};
}

Json presetsPayload(const std::map<std::string, aimlink_angles> &presets)
{
    Json list = Json::array();
    for (const auto &[name, view] : presets)
        list.push_back({{"name", name}, {"pan", view.pan}, {"tilt", view.tilt}});
    return {{"presets", list}};
}

} // namespace aimheadd::mqtt

// SPDX-License-Identifier: MIT
#include "json_protocol.h"

#include <limits>

namespace aimheadd {

namespace {

using Parsed = std::variant<Request, RequestError>;

// A whole number from the object, checked against [low, high]. Unsigned
// values are read as such: a huge one must not wrap into the range.
std::variant<int64_t, std::string> wholeNumber(const Json &object, const char *name, int64_t low, int64_t high)
{
    const auto found = object.find(name);
    if (found == object.end())
        return std::string(name) + " is missing";
    if (!found->is_number_integer())
        return std::string(name) + " must be a whole number";
    const bool fits = found->is_number_unsigned() ? found->get<uint64_t>() <= static_cast<uint64_t>(high)
                                                  : found->get<int64_t>() >= low && found->get<int64_t>() <= high;
    if (!fits)
        return std::string(name) + " must be from " + std::to_string(low) + " to " + std::to_string(high);
    return found->get<int64_t>();
}

RequestError refuse(const Json &id, ErrorCode code, std::string message) { return {id, code, std::move(message)}; }

// "wait": true (with an optional "timeout" in ms) asks for the reply on arrival.
std::variant<std::optional<int>, RequestError> waitOption(const Json &id, const Json &object)
{
    const auto wait = object.find("wait");
    if (wait == object.end() || (wait->is_boolean() && !wait->get<bool>()))
        return std::optional<int>();
    if (!wait->is_boolean())
        return refuse(id, ErrorCode::BadRequest, "wait must be true or false");
    if (!object.contains("timeout"))
        return std::optional<int>(kDefaultWaitMs);
    const auto timeout = wholeNumber(object, "timeout", 0, kMaxWaitMs);
    if (const auto *problem = std::get_if<std::string>(&timeout))
        return refuse(id, object["timeout"].is_number_integer() ? ErrorCode::OutOfRange : ErrorCode::BadRequest,
                      *problem + " (milliseconds)");
    return std::optional<int>(static_cast<int>(std::get<int64_t>(timeout)));
}

// An angle in milliradians: anything a 16-bit frame can carry; the head
// service limits it to the travel.
std::optional<RequestError> parseAngle(const Json &id, const Json &object, const char *name, int32_t &angle)
{
    constexpr int64_t kLow = std::numeric_limits<int16_t>::min();
    constexpr int64_t kHigh = std::numeric_limits<int16_t>::max();
    const auto value = wholeNumber(object, name, kLow, kHigh);
    if (const auto *problem = std::get_if<std::string>(&value)) {
        const bool number = object.contains(name) && object[name].is_number_integer();
        return refuse(id, number ? ErrorCode::OutOfRange : ErrorCode::BadRequest, *problem + " (milliradians)");
    }
    angle = static_cast<int32_t>(std::get<int64_t>(value));
    return std::nullopt;
}

Parsed parseMove(const Json &id, const Json &object)
{
    MoveRequest move;
    for (const auto &[name, angle] : {std::pair{"pan", &move.pan}, std::pair{"tilt", &move.tilt}}) {
        if (auto problem = parseAngle(id, object, name, *angle))
            return std::move(*problem);
    }
    auto wait = waitOption(id, object);
    if (auto *problem = std::get_if<RequestError>(&wait))
        return std::move(*problem);
    move.waitMs = std::get<std::optional<int>>(wait);
    return Request{id, move};
}

Parsed parseHome(const Json &id, const Json &object)
{
    auto wait = waitOption(id, object);
    if (auto *problem = std::get_if<RequestError>(&wait))
        return std::move(*problem);
    return Request{id, HomeRequest{std::get<std::optional<int>>(wait)}};
}

Parsed parseWatch(const Json &id, const Json &object)
{
    const auto enable = object.find("enable");
    if (enable != object.end() && !enable->is_boolean())
        return refuse(id, ErrorCode::BadRequest, "enable must be true or false");
    return Request{id, WatchRequest{enable == object.end() || enable->get<bool>()}};
}

Parsed parseCommand(const Json &id, const Json &object, const std::string &name)
{
    if (name == "move")
        return parseMove(id, object);
    if (name == "home")
        return parseHome(id, object);
    if (name == "initialise" || name == "initialize")
        return Request{id, InitialiseRequest{}};
    if (name == "get")
        return Request{id, GetRequest{}};
    if (name == "watch")
        return parseWatch(id, object);
    if (name == "version")
        return Request{id, VersionRequest{}};
    return refuse(id, ErrorCode::UnknownCommand, "unknown command '" + name + "'");
}

std::string line(const Json &object)
{
    // Invalid UTF-8 in an echoed id must not stop the reply.
    return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace

Parsed parseRequest(std::string_view text)
{
    // The JSON parser ends its input at a NUL byte: what follows would go
    // unseen, and a request with garbage after it would pass as whole.
    const bool hasNul = text.find('\0') != std::string_view::npos;
    const Json object = hasNul ? Json(nullptr) : Json::parse(text, nullptr, false);
    if (hasNul || object.is_discarded() || !object.is_object())
        return refuse(nullptr, ErrorCode::Malformed, "a request is one JSON object on one line");
    const auto id = object.find("id");
    if (id == object.end() || !(id->is_number() || id->is_string()))
        return refuse(nullptr, ErrorCode::BadRequest, "a request needs an id, a number or a string");
    const auto command = object.find("cmd");
    if (command == object.end() || !command->is_string())
        return refuse(*id, ErrorCode::BadRequest, "a request needs a cmd, a string");
    return parseCommand(*id, object, command->get<std::string>());
}

std::string okReply(const Json &id, const Json &fields)
{
    Json reply = {{"id", id}, {"ok", true}};
    reply.update(fields);
    return line(reply);
}

std::string errorReply(const Json &id, ErrorCode code, const std::string &message, const Json &fields)
{
    Json reply = {{"id", id}, {"ok", false}, {"error", errorName(code)}, {"message", message}};
    reply.update(fields);
    return line(reply);
}

std::string eventLine(std::string_view event, const Json &fields)
{
    Json object = {{"event", event}};
    object.update(fields);
    return line(object);
}

const char *errorName(ErrorCode code)
{
    switch (code) {
    case ErrorCode::Malformed:
        return "malformed";
    case ErrorCode::BadRequest:
        return "bad-request";
    case ErrorCode::UnknownCommand:
        return "unknown-command";
    case ErrorCode::OutOfRange:
        return "out-of-range";
    case ErrorCode::Superseded:
        return "superseded";
    case ErrorCode::Timeout:
        return "timeout";
    case ErrorCode::Link:
        return "link";
    }
    return "internal";
}

Json anglesJson(const std::optional<aimlink_angles> &angles)
{
    if (!angles)
        return nullptr;
    return {{"pan", angles->pan}, {"tilt", angles->tilt}};
}

Json stateFields(const HeadState &state)
{
    Json fields = {{"link", aimlink_link_name(state.link)},
                   {"position", anglesJson(state.position)},
                   {"target", anglesJson(state.target)}};
    if (state.target)
        fields["owner"] = state.owner;
    if (!state.reason.empty())
        fields["reason"] = state.reason;
    return fields;
}

} // namespace aimheadd

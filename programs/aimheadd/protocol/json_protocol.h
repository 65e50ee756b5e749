// SPDX-License-Identifier: MIT
// The local socket's protocol: one JSON object per line each way. Requests
// carry an "id" that the reply echoes; watchers also get unsolicited events,
// which carry "event" instead. Pure: no I/O, no head.
#ifndef AIMHEADD_JSON_PROTOCOL_H
#define AIMHEADD_JSON_PROTOCOL_H

#include "head_state.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

namespace aimheadd {

// Keys keep their order, so "id" and "ok" lead each reply.
using Json = nlohmann::ordered_json;

constexpr int kProtocolVersion = 1;
constexpr int kDefaultWaitMs = 30000;
constexpr int kMaxWaitMs = 3600000;

struct MoveRequest {
    int32_t pan = 0;
    int32_t tilt = 0;
    std::optional<int> waitMs; // set when the reply should wait for the arrival
};
struct HomeRequest {
    std::optional<int> waitMs;
};
struct InitialiseRequest {};
struct GetRequest {};
struct WatchRequest {
    bool enable = true;
};
struct VersionRequest {};

using Command = std::variant<MoveRequest, HomeRequest, InitialiseRequest, GetRequest, WatchRequest, VersionRequest>;

// Why a request was refused; the reply's "error" names it.
enum class ErrorCode {
    Malformed,      // not a JSON object
    BadRequest,     // no id, or a field of the wrong type
    UnknownCommand, // "cmd" names no request
    OutOfRange,     // a number beyond what the field takes
    Superseded,     // another move replaced the target this reply waited for
    Timeout,        // the wait ended before the head arrived
    Link,           // the head is not connected, or the link failed
};

struct Request {
    Json id;
    Command command;
};

struct RequestError {
    Json id; // null when the line had no usable id
    ErrorCode code;
    std::string message;
};

// Parses one line (without its newline).
std::variant<Request, RequestError> parseRequest(std::string_view text);

// The reply lines, each ending in a newline.
std::string okReply(const Json &id, const Json &fields = Json::object());
std::string errorReply(const Json &id, ErrorCode code, const std::string &message, const Json &fields = Json::object());
std::string eventLine(std::string_view event, const Json &fields);

const char *errorName(ErrorCode code);

// The head's state as reply fields: "link", "position", "target" and, when
// the link has failed, "reason".
Json stateFields(const HeadState &state);
Json anglesJson(const std::optional<aimlink_angles> &angles);

} // namespace aimheadd

#endif

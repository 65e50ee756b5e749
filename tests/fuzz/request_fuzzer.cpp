// SPDX-License-Identifier: MIT
// Feeds arbitrary lines to the daemon's two request parsers and checks what
// they promise: no crash; a request accepted carries only values the head
// service can take; every reply is one JSON object on one line that echoes
// the id; a rotator position accepted lies within the travel.
#include "json_protocol.h"
#include "rotctld_protocol.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace aimheadd;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void checkLine(const std::string &line, const Json &id)
{
    require(!line.empty() && line.back() == '\n' && line.find('\n') == line.size() - 1);
    const Json reply = Json::parse(line, nullptr, false);
    require(reply.is_object() && reply.contains("ok"));
    require(reply["id"] == id);
}

bool anAngle(int32_t angle) { return angle >= -32768 && angle <= 32767; }
bool aWait(const std::optional<int> &wait) { return !wait || (*wait >= 0 && *wait <= kMaxWaitMs); }

void checkJson(std::string_view text)
{
    const auto parsed = parseRequest(text);
    if (const auto *error = std::get_if<RequestError>(&parsed)) {
        require(!error->message.empty());
        checkLine(errorReply(error->id, error->code, error->message), error->id);
        return;
    }
    const Request &request = std::get<Request>(parsed);
    require(request.id.is_number() || request.id.is_string());
    if (const auto *move = std::get_if<MoveRequest>(&request.command))
        require(anAngle(move->pan) && anAngle(move->tilt) && aWait(move->waitMs));
    if (const auto *home = std::get_if<HomeRequest>(&request.command))
        require(aWait(home->waitMs));
    checkLine(okReply(request.id), request.id);
}

void checkRotator(std::string_view text)
{
    const auto command = rotctld::parseCommand(text);
    const auto *set = std::get_if<rotctld::SetPosition>(&command);
    if (set == nullptr)
        return;
    const auto head = rotctld::toHead({set->azimuth, set->elevation});
    if (head)
        require(head->pan >= AIMLINK_PAN_MIN && head->pan <= AIMLINK_PAN_MAX && head->tilt >= AIMLINK_TILT_MIN &&
                head->tilt <= AIMLINK_TILT_MAX);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    checkJson(text);
    checkRotator(text);
    return 0;
}

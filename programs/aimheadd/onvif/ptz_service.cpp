// SPDX-License-Identifier: MIT
// The PTZ service: moves, their status and the presets, on the one head the
// daemon shares with every other transport.
#include "onvif_device.h"

#include "presets.h"
#include "rotctld_protocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace aimheadd::onvif {
namespace {

constexpr char kNodeToken[] = "head";
constexpr char kConfigurationToken[] = "head_ptz";
constexpr std::chrono::seconds kShortestJog{1};
constexpr std::chrono::seconds kLongestJog{60};

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.5f", value);
    return text;
}

std::string range(const char *axis, double low, double high)
{
    return std::string("<tt:") + axis + "><tt:Min>" + number(low) + "</tt:Min><tt:Max>" + number(high) +
           "</tt:Max></tt:" + axis + ">";
}

std::string spaceXml(const char *element, Space space, double xLow, double xHigh, double yLow, double yHigh)
{
    return std::string("<tt:") + element + "><tt:URI>" + spaceUri(space) + "</tt:URI>" + range("XRange", xLow, xHigh) +
           range("YRange", yLow, yHigh) + "</tt:" + element + ">";
}

// Every space the head offers, in the order the schema lists them.
std::string supportedSpaces(bool fov)
{
    const rotctld::AzEl low = rotctld::toRotator({AIMLINK_PAN_MIN, AIMLINK_TILT_MIN});
    const rotctld::AzEl high = rotctld::toRotator({AIMLINK_PAN_MAX, AIMLINK_TILT_MAX});
    const double panSpan = high.azimuth - low.azimuth;
    const double tiltSpan = high.elevation - low.elevation;
    return spaceXml("AbsolutePanTiltPositionSpace", Space::PositionGeneric, -1, 1, -1, 1) +
           spaceXml("AbsolutePanTiltPositionSpace", Space::PositionDegrees, low.azimuth, high.azimuth, low.elevation,
                    high.elevation) +
           spaceXml("RelativePanTiltTranslationSpace", Space::TranslationGeneric, -2, 2, -2, 2) +
           (fov ? spaceXml("RelativePanTiltTranslationSpace", Space::TranslationFov, -1, 1, -1, 1) : std::string()) +
           spaceXml("RelativePanTiltTranslationSpace", Space::TranslationDegrees, -panSpan, panSpan, -tiltSpan,
                    tiltSpan) +
           spaceXml("ContinuousPanTiltVelocitySpace", Space::VelocityGeneric, -1, 1, -1, 1) +
           "<tt:PanTiltSpeedSpace><tt:URI>" + spaceUri(Space::SpeedGeneric) + "</tt:URI>" + range("XRange", 0, 1) +
           "</tt:PanTiltSpeedSpace>";
}

} // namespace

std::string genericPanTilt(const aimlink_angles &angles)
{
    const Vector generic = genericPosition(angles);
    return "<tt:PanTilt x=\"" + number(generic.x) + "\" y=\"" + number(generic.y) + "\" space=\"" +
           spaceUri(Space::PositionGeneric) + "\"/>";
}

namespace {

std::string utcTime(std::chrono::system_clock::time_point now)
{
    const time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::optional<double> coordinate(pugi::xml_node vector, const char *axis)
{
    const pugi::xml_attribute value = attribute(vector, axis);
    if (!value)
        return std::nullopt;
    char *end = nullptr;
    const double parsed = std::strtod(value.value(), &end);
    if (end == value.value() || *end != '\0' || !std::isfinite(parsed))
        return std::nullopt;
    return parsed;
}

Vector vectorOr0(pugi::xml_node vector)
{
    return {coordinate(vector, "x").value_or(0), coordinate(vector, "y").value_or(0)};
}

Fault headFault(const std::string &reason) { return {false, {"ter:Action", "ter:NoStatus"}, reason}; }

std::string emptyResponse(const char *response) { return std::string("<tptz:") + response + "/>"; }

} // namespace

std::string OnvifDevice::nodeXml(const char *element) const
{
    return std::string("<tptz:") + element + " token=\"" + kNodeToken +
           "\" FixedHomePosition=\"true\" GeoMove=\"false\"><tt:Name>" + kNodeToken +
           "</tt:Name><tt:SupportedPTZSpaces>" + supportedSpaces(options_.fov.has_value()) +
           "</tt:SupportedPTZSpaces><tt:MaximumNumberOfPresets>" + std::to_string(kMaximumPresetCount) +
           "</tt:MaximumNumberOfPresets><tt:HomeSupported>true</tt:HomeSupported></tptz:" + element + ">";
}

std::string OnvifDevice::configurationXml(const char *element) const
{
    return std::string("<") + element + " token=\"" + kConfigurationToken + "\"><tt:Name>" + kConfigurationToken +
           "</tt:Name><tt:UseCount>1</tt:UseCount><tt:NodeToken>" + kNodeToken +
           "</tt:NodeToken><tt:DefaultAbsolutePantTiltPositionSpace>" + spaceUri(Space::PositionGeneric) +
           "</tt:DefaultAbsolutePantTiltPositionSpace><tt:DefaultRelativePanTiltTranslationSpace>" +
           spaceUri(Space::TranslationGeneric) +
           "</tt:DefaultRelativePanTiltTranslationSpace><tt:DefaultContinuousPanTiltVelocitySpace>" +
           spaceUri(Space::VelocityGeneric) +
           "</tt:DefaultContinuousPanTiltVelocitySpace><tt:DefaultPTZSpeed><tt:PanTilt x=\"1\" y=\"1\" space=\"" +
           spaceUri(Space::SpeedGeneric) + "\"/></tt:DefaultPTZSpeed><tt:DefaultPTZTimeout>PT" +
           std::to_string(kDefaultJogTimeout.count()) + "S</tt:DefaultPTZTimeout><tt:PanTiltLimits>" +
           spaceXml("Range", Space::PositionGeneric, -1, 1, -1, 1) + "</tt:PanTiltLimits></" + element + ">";
}

OnvifDevice::Reply OnvifDevice::getNodes(const Call &)
{
    return "<tptz:GetNodesResponse>" + nodeXml("PTZNode") + "</tptz:GetNodesResponse>";
}

OnvifDevice::Reply OnvifDevice::getNode(const Call &call)
{
    if (text(child(call.soap.operation(), "NodeToken")) != kNodeToken)
        return invalidArgument("ter:NoEntity", "no such PTZ node; the head's node is \"head\"");
    return "<tptz:GetNodeResponse>" + nodeXml("PTZNode") + "</tptz:GetNodeResponse>";
}

OnvifDevice::Reply OnvifDevice::getConfigurations(const Call &)
{
    return "<tptz:GetConfigurationsResponse>" + configurationXml("tptz:PTZConfiguration") +
           "</tptz:GetConfigurationsResponse>";
}

OnvifDevice::Reply OnvifDevice::getConfiguration(const Call &call)
{
    if (text(child(call.soap.operation(), "PTZConfigurationToken")) != kConfigurationToken)
        return invalidArgument("ter:NoConfig", "no such PTZ configuration; the head's is \"head_ptz\"");
    return "<tptz:GetConfigurationResponse>" + configurationXml("tptz:PTZConfiguration") +
           "</tptz:GetConfigurationResponse>";
}

OnvifDevice::Reply OnvifDevice::getConfigurationOptions(const Call &)
{
    return "<tptz:GetConfigurationOptionsResponse><tptz:PTZConfigurationOptions><tt:Spaces>" +
           supportedSpaces(options_.fov.has_value()) + "</tt:Spaces><tt:PTZTimeout><tt:Min>PT" +
           std::to_string(kShortestJog.count()) + "S</tt:Min><tt:Max>PT" + std::to_string(kLongestJog.count()) +
           "S</tt:Max></tt:PTZTimeout></tptz:PTZConfigurationOptions></tptz:GetConfigurationOptionsResponse>";
}

std::string OnvifDevice::moveStatus() const
{
    const HeadState &state = head_.state();
    if (state.link != AIMLINK_LINK_UP)
        return "UNKNOWN";
    if (!state.position || !state.target)
        return "IDLE";
    // One step of the head is 2 mrad: closer than that it has arrived.
    const bool apart = std::abs(state.target->pan - state.position->pan) > 2 ||
                       std::abs(state.target->tilt - state.position->tilt) > 2;
    return apart ? "MOVING" : "IDLE";
}

OnvifDevice::Reply OnvifDevice::getStatus(const Call &)
{
    const HeadState &state = head_.state();
    const std::string position =
        state.position ? "<tt:Position>" + genericPanTilt(*state.position) + "</tt:Position>" : std::string();
    const std::string error = state.link == AIMLINK_LINK_UP || state.reason.empty()
                                  ? std::string()
                                  : "<tt:Error>" + xmlEscaped(state.reason) + "</tt:Error>";
    return "<tptz:GetStatusResponse><tptz:PTZStatus>" + position + "<tt:MoveStatus><tt:PanTilt>" + moveStatus() +
           "</tt:PanTilt></tt:MoveStatus>" + error + "<tt:UtcTime>" + utcTime(clock_()) +
           "</tt:UtcTime></tptz:PTZStatus></tptz:GetStatusResponse>";
}

OnvifDevice::Reply OnvifDevice::moved(const std::variant<HeadService::Accepted, HeadService::Refused> &result,
                                      const char *response)
{
    if (const auto *refused = std::get_if<HeadService::Refused>(&result))
        return headFault(refused->message);
    return emptyResponse(response);
}

OnvifDevice::Reply OnvifDevice::moveTo(const Call &call, const aimlink_angles &target, const char *response)
{
    cancelJog();
    return moved(head_.move(call.owner, target.pan, target.tilt), response);
}

std::optional<aimlink_angles> OnvifDevice::currentTarget() const
{
    const HeadState &state = head_.state();
    return state.target ? state.target : state.position;
}

OnvifDevice::Reply OnvifDevice::absoluteMove(const Call &call)
{
    const pugi::xml_node vector = child(child(call.soap.operation(), "Position"), "PanTilt");
    if (!vector)
        return emptyResponse("AbsoluteMoveResponse"); // zoom only: nothing for the head to do
    const auto x = coordinate(vector, "x");
    const auto y = coordinate(vector, "y");
    const Space space = absoluteSpace(attribute(vector, "space").value());
    const auto target = x && y ? absoluteTarget({*x, *y}, space) : std::nullopt;
    if (!target)
        return invalidArgument("ter:InvalidPosition", "the position lies outside " + spaceUri(space));
    return moveTo(call, *target, "AbsoluteMoveResponse");
}

OnvifDevice::Reply OnvifDevice::relativeMove(const Call &call)
{
    const pugi::xml_node vector = child(child(call.soap.operation(), "Translation"), "PanTilt");
    if (!vector)
        return emptyResponse("RelativeMoveResponse");
    const auto from = currentTarget();
    if (!from)
        return headFault(head_.device() + ": the head has not reported its position yet");
    const Space space = relativeSpace(attribute(vector, "space").value(), options_.fov.has_value());
    return moveTo(call, relativeTarget(*from, vectorOr0(vector), space, options_.fov), "RelativeMoveResponse");
}

static std::chrono::milliseconds jogTimeout(pugi::xml_node operation)
{
    const auto asked = parseDuration(text(child(operation, "Timeout")));
    if (!asked)
        return kDefaultJogTimeout;
    return std::clamp<std::chrono::milliseconds>(*asked, kShortestJog, kLongestJog);
}

OnvifDevice::Reply OnvifDevice::continuousMove(const Call &call)
{
    const Vector velocity = vectorOr0(child(child(call.soap.operation(), "Velocity"), "PanTilt"));
    if (velocity.x == 0 && velocity.y == 0)
        return standStill(call.owner, "ContinuousMoveResponse");
    const auto from = currentTarget();
    if (!from)
        return headFault(head_.device() + ": the head has not reported its position yet");
    const aimlink_angles target = continuousTarget(*from, velocity);
    Reply reply = moveTo(call, target, "ContinuousMoveResponse");
    if (std::holds_alternative<std::string>(reply))
        endJogAfter(jogTimeout(call.soap.operation()), call.owner, target);
    return reply;
}

// A jog ends by itself, so that a client that vanishes mid-jog never
// leaves the head driving into its limit; unless another move has taken
// over the head since.
void OnvifDevice::endJogAfter(std::chrono::milliseconds timeout, const std::string &owner, const aimlink_angles &target)
{
    jogTimer_ = loop_.after(timeout, [this, owner, target] {
        jogTimer_.reset();
        const HeadState &state = head_.state();
        if (state.owner == owner && state.target == target)
            standStill(owner, "StopResponse");
    });
}

void OnvifDevice::cancelJog()
{
    if (jogTimer_)
        loop_.cancel(*jogTimer_);
    jogTimer_.reset();
}

OnvifDevice::Reply OnvifDevice::standStill(const std::string &owner, const char *response)
{
    cancelJog();
    const HeadState &state = head_.state();
    if (!state.position)
        return headFault(head_.device() + ": the head has not reported its position yet");
    return moved(head_.move(owner, state.position->pan, state.position->tilt), response);
}

// Told by the body's element alone: ZoneMinder sends Stop with the
// ContinuousMove action.
OnvifDevice::Reply OnvifDevice::stop(const Call &call)
{
    if (text(child(call.soap.operation(), "PanTilt")) == "false")
        return emptyResponse("StopResponse"); // zoom only: the head has none
    return standStill(call.owner, "StopResponse");
}

OnvifDevice::Reply OnvifDevice::gotoHomePosition(const Call &call)
{
    cancelJog();
    return moved(head_.home(call.owner), "GotoHomePositionResponse");
}

OnvifDevice::Reply OnvifDevice::setHomePosition(const Call &)
{
    return Fault{false, {"ter:Action", "ter:CannotOverwriteHome"}, "the home position of the head is fixed"};
}

} // namespace aimheadd::onvif

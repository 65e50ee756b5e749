// SPDX-License-Identifier: MIT
#include "rotctld_protocol.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

namespace aimheadd::rotctld {

namespace {

constexpr double kMilliradiansPerDegree = 1000.0 * std::numbers::pi / 180.0;
constexpr int32_t kLevelTilt = 1571;

std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> found;
    constexpr std::string_view kSpace = " \t\r";
    for (size_t start = line.find_first_not_of(kSpace); start != std::string_view::npos;
         start = line.find_first_not_of(kSpace, start)) {
        const size_t end = std::min(line.find_first_of(kSpace, start), line.size());
        found.push_back(line.substr(start, end - start));
        start = end;
    }
    return found;
}

std::optional<double> degrees(std::string_view text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

Command setPosition(const std::vector<std::string_view> &arguments)
{
    if (arguments.size() != 3)
        return BadArguments{};
    const auto azimuth = degrees(arguments[1]);
    const auto elevation = degrees(arguments[2]);
    if (!azimuth || !elevation)
        return BadArguments{};
    return SetPosition{*azimuth, *elevation};
}

// One axis in milliradians, or nullopt beyond [low, high]. Half a
// milliradian of slack lets the limits printed in degrees round back in.
std::optional<int32_t> withinTravel(double milliradians, int32_t low, int32_t high)
{
    if (milliradians < low - 0.5 || milliradians > high + 0.5)
        return std::nullopt;
    return static_cast<int32_t>(std::clamp(std::lround(milliradians), long{low}, long{high}));
}

double toDegrees(int32_t milliradians) { return milliradians / kMilliradiansPerDegree; }

std::string_view longName(const Command &command)
{
    constexpr std::string_view kNames[] = {"set_pos", "get_pos", "stop", "park", "get_info", "dump_state", "quit"};
    return command.index() < std::size(kNames) ? kNames[command.index()] : std::string_view();
}

// The keys of the values a plain reply carries a line each; none for a
// reply whose lines are not values of their own, such as the state dump.
std::vector<std::string_view> valueKeys(const Command &command)
{
    if (std::holds_alternative<GetPosition>(command))
        return {"Azimuth", "Elevation"};
    if (std::holds_alternative<GetInfo>(command))
        return {"Info"};
    return {};
}

std::vector<std::string_view> lines(std::string_view text)
{
    std::vector<std::string_view> found;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        found.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return found;
}

} // namespace

std::optional<ExtendedCommand> extendedCommand(std::string_view line)
{
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return std::nullopt;
    const char mark = line[first];
    // '\\' starts a long name, '?' and '_' are commands, '#' a comment.
    if (!std::ispunct(static_cast<unsigned char>(mark)) || mark == '\\' || mark == '?' || mark == '_' || mark == '#')
        return std::nullopt;
    return ExtendedCommand{mark == '+' ? '\n' : mark, line.substr(first + 1)};
}

std::string extendedReply(const ExtendedCommand &extended, const Command &command, std::string_view plain)
{
    const char separator = extended.separator;
    std::string reply;
    const std::string_view name = longName(command);
    if (!name.empty()) {
        reply.append(name).append(":");
        const auto given = words(extended.command);
        for (size_t i = 1; i < given.size(); ++i)
            reply.append(" ").append(given[i]);
        reply += separator;
    }
    if (plain.starts_with("RPRT "))
        return reply.append(plain.substr(0, plain.size() - 1)) + "\n";
    const auto keys = valueKeys(command);
    const auto values = lines(plain);
    for (size_t i = 0; i < values.size(); ++i) {
        if (i < keys.size())
            reply.append(keys[i]).append(": ");
        reply.append(values[i]) += separator;
    }
    return reply + "RPRT 0\n";
}

Command parseCommand(std::string_view line)
{
    const auto arguments = words(line);
    if (arguments.empty())
        return Unknown{};
    const std::string_view name = arguments[0];
    if (name == "P" || name == "\\set_pos")
        return setPosition(arguments);
    if (name == "q" || name == "Q")
        return Quit{};
    // The rest take no arguments.
    const auto bare = [&](Command command) -> Command {
        return arguments.size() == 1 ? command : Command(BadArguments{});
    };
    if (name == "p" || name == "\\get_pos")
        return bare(GetPosition{});
    if (name == "S" || name == "\\stop")
        return bare(Stop{});
    if (name == "K" || name == "\\park")
        return bare(Park{});
    if (name == "_" || name == "\\get_info")
        return bare(GetInfo{});
    if (name == "\\dump_state")
        return bare(DumpState{});
    return Unknown{};
}

std::optional<aimlink_angles> toHead(const AzEl &degrees)
{
    const auto pan = withinTravel(degrees.azimuth * kMilliradiansPerDegree, AIMLINK_PAN_MIN, AIMLINK_PAN_MAX);
    const auto tilt =
        withinTravel(degrees.elevation * kMilliradiansPerDegree + kLevelTilt, AIMLINK_TILT_MIN, AIMLINK_TILT_MAX);
    if (!pan || !tilt)
        return std::nullopt;
    return aimlink_angles{*pan, *tilt};
}

AzEl toRotator(const aimlink_angles &angles) { return {toDegrees(angles.pan), toDegrees(angles.tilt - kLevelTilt)}; }

std::string report(int result) { return "RPRT " + std::to_string(result) + "\n"; }

std::string positionReply(const aimlink_angles &angles)
{
    const AzEl position = toRotator(angles);
    char text[64];
    std::snprintf(text, sizeof text, "%.6f\n%.6f\n", position.azimuth, position.elevation);
    return text;
}

std::string dumpStateReply()
{
    const AzEl low = toRotator({AIMLINK_PAN_MIN, AIMLINK_TILT_MIN});
    const AzEl high = toRotator({AIMLINK_PAN_MAX, AIMLINK_TILT_MAX});
    char text[256];
    // Protocol version 1, then the model number (0: none of Hamlib's own
    // backends), the limits and the kind of rotator.
    std::snprintf(text, sizeof text,
                  "1\n0\nmin_az=%.6f\nmax_az=%.6f\nmin_el=%.6f\nmax_el=%.6f\nsouth_zero=0\nrot_type=AzEl\ndone\n",
                  low.azimuth, high.azimuth, low.elevation, high.elevation);
    return text;
}

} // namespace aimheadd::rotctld

// SPDX-License-Identifier: MIT
// Reading the programs' command lines: angles, and the port's settings that
// aimhead, aimhead-jog and aimheadd all offer.
#ifndef AIMHEAD_ARGUMENTS_H
#define AIMHEAD_ARGUMENTS_H

#include "aimlink.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace aimhead {

// Whole decimal integers with an optional sign and nothing else, -32768 to
// 32767: a typo must not turn into a move.
std::optional<int16_t> parseAngle(std::string_view text);

// The port's settings given on a command line; those not given keep the
// library's defaults.
struct LineSettings {
    std::optional<int> baud;
    std::optional<int> replyTimeoutMs;
    std::optional<int> flowControl; // an aimlink_flow_control
    // The library's trace of every frame and reply: a setting of the
    // handle, not of the port, so any() leaves it out.
    bool trace = false;

    bool any() const { return baud || replyTimeoutMs || flowControl; }
};

// Each takes an option's value as typed, checked by the library's own
// setter, so that a bad value is refused before the port is opened. The
// result is empty when taken, else the line to show, naming the option.
// The option getopt_long has just refused, as the user typed it: "-x" of a
// short option (alone or in a group), else the word up to any '='.
std::string refusedOption(char **argv);

std::string takeBaud(std::string_view text, LineSettings &settings);
std::string takeReplyTimeout(std::string_view text, LineSettings &settings);
std::string takeFlowControl(std::string_view text, LineSettings &settings);

// Hands the settings and the trace to a handle before it is opened:
// AIMLINK_OK, or the library's refusal (which the take functions have
// already ruled out).
int applyLineSettings(aimlink_head *handle, const LineSettings &settings);

} // namespace aimhead

#endif

// SPDX-License-Identifier: MIT
// The rotator daemon protocol that Hamlib's rotctl and satellite trackers
// speak over TCP: one command per line, short ("P 10 20") or long
// ("\set_pos 10 20") form, answered with values or "RPRT N". Pure: parsing,
// the mapping between azimuth/elevation and pan/tilt, and the reply texts.
//
// Mapping: azimuth = pan and elevation = tilt - 1571 mrad (level), both in
// degrees; the limits are the head's travel.
#ifndef AIMHEADD_ROTCTLD_PROTOCOL_H
#define AIMHEADD_ROTCTLD_PROTOCOL_H

#include "aimlink.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace aimheadd::rotctld {

// Hamlib's result codes, as "RPRT N" carries them.
enum Result { kOk = 0, kInvalid = -1, kNotImplemented = -4, kIoError = -6 };

struct SetPosition {
    double azimuth;
    double elevation;
};
struct GetPosition {};
struct Stop {};
struct Park {};
struct GetInfo {};
struct DumpState {};
struct Quit {};
struct Unknown {};      // a command this daemon does not offer
struct BadArguments {}; // a known command with missing or unreadable arguments

using Command = std::variant<SetPosition, GetPosition, Stop, Park, GetInfo, DumpState, Quit, Unknown, BadArguments>;

Command parseCommand(std::string_view line);

struct AzEl {
    double azimuth;
    double elevation;
};

// Degrees to the head's angles in milliradians; nullopt when beyond the travel.
std::optional<aimlink_angles> toHead(const AzEl &degrees);
AzEl toRotator(const aimlink_angles &angles);

// A command in the extended form: a punctuation mark before it ('+' for
// records a line each, ';', '|', ',' and the like for records on one line
// ended by that mark), answered with its long name first, its values as
// "Key: value" and "RPRT N" last. nullopt for a plain command.
struct ExtendedCommand {
    char separator;
    std::string_view command; // without the mark
};
std::optional<ExtendedCommand> extendedCommand(std::string_view line);
// The plain reply to command, recast as the extended form answers it.
std::string extendedReply(const ExtendedCommand &extended, const Command &command, std::string_view plain);

std::string report(int result);                          // "RPRT N\n"
std::string positionReply(const aimlink_angles &angles); // azimuth and elevation, a line each
std::string dumpStateReply();                            // the limits, as clients ask on connect

} // namespace aimheadd::rotctld

#endif

// SPDX-License-Identifier: MIT
// Named views of a head, kept by the client because the head has none: a
// small JSON file, read whole and replaced whole.
//
//   {"presets": {"door": {"pan": 120, "tilt": 1571}, ...}}
//
// Angles are milliradians in the caller's frame, as aimlink_move() takes
// them. Shared by aimhead and any daemon that serves the same presets.
#ifndef AIMHEAD_PRESETS_H
#define AIMHEAD_PRESETS_H

#include "aimlink.h"

#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace aimhead {

// Each view by its name.
using Presets = std::map<std::string, aimlink_angles>;

// A file that cannot be read, parsed or replaced; what() names the path and
// the reason, ready for one line on standard error.
class PresetsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// $XDG_CONFIG_HOME/aimhead/presets.json, else ~/.config/aimhead/presets.json.
// Throws PresetsError when neither XDG_CONFIG_HOME nor HOME is set.
std::string defaultPresetsPath();

// 1 to 32 of letters, digits, '_', '-' and '.', not starting with '-' or
// '.': safe in a shell, a completion list and a file name.
bool validPresetName(std::string_view name);

// All presets in the file; none when it does not exist. A file that is not
// a presets file throws: it is never treated as empty, so it is never
// overwritten.
Presets loadPresets(const std::string &file);

// Loads the file, lets change edit the presets and, when change returns
// true, replaces the file atomically (a temporary file in the same directory,
// synced, then renamed), creating the directory if needed. All of it holds an
// exclusive lock on the directory, so programs saving at the same moment each
// keep what they saved. A lock held elsewhere is waited for at most
// kPresetsLockWait. Returns what change returned.
bool updatePresets(const std::string &file, const std::function<bool(Presets &)> &change);

// Creates the file's directory and any missing parents, as a save does, and
// returns it: for a program that watches the directory before anything was
// saved. Throws PresetsError naming the part that cannot be made.
std::string createPresetsDirectory(const std::string &file);

inline constexpr std::chrono::milliseconds kPresetsLockWait{3000};

} // namespace aimhead

#endif

// SPDX-License-Identifier: MIT
// The presets aimhead keeps, as the daemon's web page reads and adds to them:
// the same file, the same names, the same checks and the same lock, so one
// writer at a time among the daemon's threads and every other program.
#ifndef AIMHEADD_PRESET_STORE_H
#define AIMHEADD_PRESET_STORE_H

#include "presets.h"

#include <string>

namespace aimheadd {

class PresetStore {
public:
    using Presets = aimhead::Presets;

    // An empty path: there is no file to use, and every call says so.
    explicit PresetStore(std::string path) : path_(std::move(path)) {}

    // Both throw aimhead::PresetsError (a std::runtime_error) naming the file
    // and the reason.
    Presets load() const;
    void save(const std::string &name, const aimlink_angles &view);
    // False when there is no preset of that name.
    bool remove(const std::string &name);

private:
    void checkPath() const;

    std::string path_;
};

} // namespace aimheadd

#endif

// SPDX-License-Identifier: MIT
#include "preset_store.h"

#include "presets.h"

namespace aimheadd {

void PresetStore::checkPath() const
{
    if (path_.empty())
        throw aimhead::PresetsError("presets: neither XDG_CONFIG_HOME nor HOME names a directory; "
                                    "start the daemon with --presets FILE");
}

PresetStore::Presets PresetStore::load() const
{
    checkPath();
    return aimhead::loadPresets(path_);
}

void PresetStore::save(const std::string &name, const aimlink_angles &view)
{
    checkPath();
    aimhead::updatePresets(path_, [&](aimhead::Presets &presets) {
        presets[name] = view;
        return true;
    });
}

bool PresetStore::remove(const std::string &name)
{
    checkPath();
    return aimhead::updatePresets(path_, [&](aimhead::Presets &presets) { return presets.erase(name) > 0; });
}

} // namespace aimheadd

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
    Presets views;
    for (const auto &[name, preset] : aimhead::loadPresets(path_))
        views[name] = {preset.pan, preset.tilt};
    return views;
}

void PresetStore::save(const std::string &name, const aimlink_angles &view)
{
    checkPath();
    aimhead::updatePresets(path_, [&](aimhead::Presets &presets) {
        presets[name] = {view.pan, view.tilt};
        return true;
    });
}

} // namespace aimheadd

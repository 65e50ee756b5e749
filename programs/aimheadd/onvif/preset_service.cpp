// SPDX-License-Identifier: MIT
// The PTZ presets: the store aimhead and the web page share, under its name
// rule and its lock. A preset's token is its name.
#include "onvif_device.h"

#include "presets.h"

namespace aimheadd::onvif {
namespace {

Fault storeFault(const std::exception &error) { return {false, {"ter:Action", "ter:PresetStore"}, error.what()}; }

Fault noToken(const std::string &token) { return invalidArgument("ter:NoToken", "no preset named \"" + token + "\""); }

std::string presetXml(const std::string &name, const aimlink_angles &view)
{
    const std::string shown = xmlEscaped(name);
    return "<tptz:Preset token=\"" + shown + "\"><tt:Name>" + shown + "</tt:Name><tt:PTZPosition>" +
           genericPanTilt(view) + "</tt:PTZPosition></tptz:Preset>";
}

// The first of preset1, preset2, ... not taken.
std::string freeName(const PresetStore::Presets &presets)
{
    for (int number = 1;; ++number)
        if (std::string name = "preset" + std::to_string(number); !presets.contains(name))
            return name;
}

} // namespace

OnvifDevice::Reply OnvifDevice::getPresets(const Call &)
{
    try {
        std::string presets;
        for (const auto &[name, view] : presets_.load())
            presets += presetXml(name, view);
        return "<tptz:GetPresetsResponse>" + presets + "</tptz:GetPresetsResponse>";
    } catch (const std::runtime_error &error) {
        return storeFault(error);
    }
}

OnvifDevice::Reply OnvifDevice::setPreset(const Call &call)
{
    const std::optional<aimlink_angles> position = head_.state().position;
    if (!position)
        return Fault{
            false, {"ter:Action", "ter:NoStatus"}, head_.device() + ": the head has not reported its position yet"};
    try {
        const PresetStore::Presets presets = presets_.load();
        std::string name = text(child(call.soap.operation(), "PresetName"));
        if (name.empty())
            name = text(child(call.soap.operation(), "PresetToken"));
        if (name.empty())
            name = freeName(presets);
        if (!aimhead::validPresetName(name))
            return invalidArgument("ter:InvalidPresetName",
                                   "preset names are 1 to 32 letters, digits, '_', '-' and '.', not starting "
                                   "with '-' or '.'");
        if (!presets.contains(name) && presets.size() >= kMaximumPresetCount)
            return Fault{false, {"ter:Action", "ter:TooManyPresets"}, "the head keeps at most 100 presets"};
        presets_.save(name, *position);
        return "<tptz:SetPresetResponse><tptz:PresetToken>" + xmlEscaped(name) +
               "</tptz:PresetToken></tptz:SetPresetResponse>";
    } catch (const std::runtime_error &error) {
        return storeFault(error);
    }
}

OnvifDevice::Reply OnvifDevice::gotoPreset(const Call &call)
{
    const std::string token = text(child(call.soap.operation(), "PresetToken"));
    try {
        const PresetStore::Presets presets = presets_.load();
        const auto found = presets.find(token);
        if (found == presets.end())
            return noToken(token);
        return moveTo(call, found->second, "GotoPresetResponse");
    } catch (const std::runtime_error &error) {
        return storeFault(error);
    }
}

OnvifDevice::Reply OnvifDevice::removePreset(const Call &call)
{
    const std::string token = text(child(call.soap.operation(), "PresetToken"));
    try {
        if (!presets_.remove(token))
            return noToken(token);
        return std::string("<tptz:RemovePresetResponse/>");
    } catch (const std::runtime_error &error) {
        return storeFault(error);
    }
}

} // namespace aimheadd::onvif

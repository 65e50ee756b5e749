// SPDX-License-Identifier: MIT
#include "ptz_space.h"

#include "rotctld_protocol.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace aimheadd::onvif {
namespace {

constexpr double kMilliradiansPerDegree = 1000.0 * std::numbers::pi / 180.0;
// The middle of the tilt travel and half its span: the generic space's
// origin and unit.
constexpr double kTiltMiddle = (AIMLINK_TILT_MIN + AIMLINK_TILT_MAX) / 2.0;
constexpr double kTiltHalfSpan = (AIMLINK_TILT_MAX - AIMLINK_TILT_MIN) / 2.0;
constexpr double kPanHalfSpan = AIMLINK_PAN_MAX;

int32_t limited(double milliradians, int32_t low, int32_t high)
{
    if (std::isnan(milliradians))
        return low + (high - low) / 2;
    return static_cast<int32_t>(std::clamp(std::lround(std::clamp(milliradians, -1e6, 1e6)), long{low}, long{high}));
}

aimlink_angles withinTravel(double pan, double tilt)
{
    return {limited(pan, AIMLINK_PAN_MIN, AIMLINK_PAN_MAX), limited(tilt, AIMLINK_TILT_MIN, AIMLINK_TILT_MAX)};
}

bool inUnitRange(double value) { return std::isfinite(value) && std::fabs(value) <= 1.0; }

} // namespace

std::string spaceUri(Space space)
{
    std::string base = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/";
    switch (space) {
    case Space::PositionGeneric:
        return base + "PositionGenericSpace";
    case Space::PositionDegrees:
        return base + "SphericalPositionSpaceDegrees";
    case Space::TranslationGeneric:
        return base + "TranslationGenericSpace";
    case Space::TranslationFov:
        return base + "TranslationSpaceFov";
    case Space::TranslationDegrees:
        return base + "SphericalTranslationSpaceDegrees";
    case Space::VelocityGeneric:
        return base + "VelocityGenericSpace";
    case Space::SpeedGeneric:
        return base + "GenericSpeedSpace";
    }
    return base;
}

Space absoluteSpace(std::string_view uri)
{
    return uri.ends_with("/SphericalPositionSpaceDegrees") ? Space::PositionDegrees : Space::PositionGeneric;
}

Space relativeSpace(std::string_view uri, bool fovConfigured)
{
    if (fovConfigured && uri.find("TranslationSpaceFov") != std::string_view::npos)
        return Space::TranslationFov;
    return uri.ends_with("/SphericalTranslationSpaceDegrees") ? Space::TranslationDegrees : Space::TranslationGeneric;
}

std::optional<aimlink_angles> absoluteTarget(const Vector &position, Space space)
{
    if (space == Space::PositionDegrees) {
        if (!std::isfinite(position.x) || !std::isfinite(position.y))
            return std::nullopt;
        return rotctld::toHead({position.x, position.y});
    }
    if (!inUnitRange(position.x) || !inUnitRange(position.y))
        return std::nullopt;
    return withinTravel(kPanHalfSpan * position.x, kTiltMiddle + kTiltHalfSpan * position.y);
}

Vector genericPosition(const aimlink_angles &angles)
{
    return {angles.pan / kPanHalfSpan, (angles.tilt - kTiltMiddle) / kTiltHalfSpan};
}

aimlink_angles relativeTarget(const aimlink_angles &from, const Vector &translation, Space space,
                              const std::optional<FieldOfView> &fov)
{
    Vector step{kPanHalfSpan * translation.x, kTiltHalfSpan * translation.y};
    if (space == Space::TranslationFov && fov)
        step = {translation.x * fov->horizontal / 2 * kMilliradiansPerDegree,
                translation.y * fov->vertical / 2 * kMilliradiansPerDegree};
    else if (space == Space::TranslationDegrees)
        step = {translation.x * kMilliradiansPerDegree, translation.y * kMilliradiansPerDegree};
    return withinTravel(from.pan + step.x, from.tilt + step.y);
}

aimlink_angles continuousTarget(const aimlink_angles &target, const Vector &velocity)
{
    const auto toward = [](double speed, int32_t kept, int32_t low, int32_t high) {
        if (!std::isfinite(speed) || speed == 0)
            return kept;
        return speed > 0 ? high : low;
    };
    return {toward(velocity.x, target.pan, AIMLINK_PAN_MIN, AIMLINK_PAN_MAX),
            toward(velocity.y, target.tilt, AIMLINK_TILT_MIN, AIMLINK_TILT_MAX)};
}

std::optional<std::chrono::milliseconds> parseDuration(std::string_view text)
{
    if (!text.starts_with("PT"))
        return std::nullopt;
    text.remove_prefix(2);
    double seconds = 0;
    while (!text.empty()) {
        size_t used = 0;
        double value = 0;
        try {
            value = std::stod(std::string(text), &used);
        } catch (const std::exception &) {
            return std::nullopt;
        }
        if (used >= text.size() || value < 0)
            return std::nullopt;
        const char unit = text[used];
        seconds += value * (unit == 'H' ? 3600 : unit == 'M' ? 60 : unit == 'S' ? 1 : std::nan(""));
        if (std::isnan(seconds))
            return std::nullopt;
        text.remove_prefix(used + 1);
    }
    return std::chrono::milliseconds(std::lround(std::min(seconds, 86400.0) * 1000));
}

} // namespace aimheadd::onvif

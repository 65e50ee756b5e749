// SPDX-License-Identifier: MIT
// The ONVIF coordinate spaces of the head and their mapping onto its travel
// (pan -1780..1780 mrad, tilt 1037..3171 mrad, level at 1571). The generic
// position space is the whole travel normalised to -1..1; the degrees spaces
// are the rotator protocol's azimuth and elevation. Pure, for the tests.
#ifndef AIMHEADD_ONVIF_PTZ_SPACE_H
#define AIMHEADD_ONVIF_PTZ_SPACE_H

#include "aimlink.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace aimheadd::onvif {

enum class Space {
    PositionGeneric,
    PositionDegrees,
    TranslationGeneric,
    TranslationFov,
    TranslationDegrees,
    VelocityGeneric,
    SpeedGeneric
};

std::string spaceUri(Space space);

struct Vector {
    double x = 0;
    double y = 0;
};

// The camera's field of view in degrees, for translations by a fraction of
// the picture (what autotracking sends).
struct FieldOfView {
    double horizontal;
    double vertical;
};

// The space a request names; an unknown or absent URI means the default of
// that kind of move, as clients that send none expect.
Space absoluteSpace(std::string_view uri);
Space relativeSpace(std::string_view uri, bool fovConfigured);

// Where an absolute move goes; nullopt when the position lies outside the
// advertised space.
std::optional<aimlink_angles> absoluteTarget(const Vector &position, Space space);
// The head's angles in the generic position space.
Vector genericPosition(const aimlink_angles &angles);
// from moved by translation, limited to the travel.
aimlink_angles relativeTarget(const aimlink_angles &from, const Vector &translation, Space space,
                              const std::optional<FieldOfView> &fov);
// A jog: each axis with a non-zero velocity heads for its limit in that
// direction, the other keeps its target.
aimlink_angles continuousTarget(const aimlink_angles &target, const Vector &velocity);

// An xs:duration such as "PT5S" or "PT1M0.5S"; nullopt when unreadable.
std::optional<std::chrono::milliseconds> parseDuration(std::string_view text);

} // namespace aimheadd::onvif

#endif

// SPDX-License-Identifier: MIT
// The coordinate spaces against the head's travel.
#include "ptz_space.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace aimheadd::onvif;

namespace {

void expectAngles(const std::optional<aimlink_angles> &angles, int32_t pan, int32_t tilt)
{
    ASSERT_TRUE(angles);
    EXPECT_EQ(angles->pan, pan);
    EXPECT_EQ(angles->tilt, tilt);
}

} // namespace

TEST(GenericPositionSpace, SpansTheWholeTravelWithHomeBelowTheMiddle)
{
    expectAngles(absoluteTarget({-1, -1}, Space::PositionGeneric), AIMLINK_PAN_MIN, AIMLINK_TILT_MIN);
    expectAngles(absoluteTarget({1, 1}, Space::PositionGeneric), AIMLINK_PAN_MAX, AIMLINK_TILT_MAX);
    expectAngles(absoluteTarget({0, 0}, Space::PositionGeneric), 0, 2104);
    expectAngles(absoluteTarget({0.5, -0.4995}, Space::PositionGeneric), 890, 1571);
    const Vector home = genericPosition({0, 1571});
    EXPECT_DOUBLE_EQ(home.x, 0);
    EXPECT_NEAR(home.y, -0.4995, 1e-4);
}

TEST(GenericPositionSpace, RefusesPositionsOutsideMinusOneToOne)
{
    EXPECT_FALSE(absoluteTarget({1.01, 0}, Space::PositionGeneric));
    EXPECT_FALSE(absoluteTarget({0, -1.5}, Space::PositionGeneric));
    EXPECT_FALSE(absoluteTarget({std::nan(""), 0}, Space::PositionGeneric));
}

TEST(DegreesPositionSpace, MapsAsTheRotatorProtocolAndRefusesBeyondTheTravel)
{
    expectAngles(absoluteTarget({0, 0}, Space::PositionDegrees), 0, 1571);
    expectAngles(absoluteTarget({101.99, 91.67}, Space::PositionDegrees), AIMLINK_PAN_MAX, AIMLINK_TILT_MAX);
    expectAngles(absoluteTarget({-101.99, -30.60}, Space::PositionDegrees), AIMLINK_PAN_MIN, AIMLINK_TILT_MIN);
    EXPECT_FALSE(absoluteTarget({103, 0}, Space::PositionDegrees));
    EXPECT_FALSE(absoluteTarget({0, -31}, Space::PositionDegrees));
}

TEST(TranslationSpaces, MoveFromTheTargetAndStopAtTheTravel)
{
    const aimlink_angles from{100, 1571};
    expectAngles(relativeTarget(from, {0.1, 0.1}, Space::TranslationGeneric, std::nullopt), 278, 1678);
    expectAngles(relativeTarget(from, {2, -2}, Space::TranslationGeneric, std::nullopt), AIMLINK_PAN_MAX,
                 AIMLINK_TILT_MIN);
    expectAngles(relativeTarget(from, {-10, 0}, Space::TranslationDegrees, std::nullopt), 100 - 175, 1571);
    // Half the picture of a 60 by 40 degree camera: 30 and 20 degrees.
    expectAngles(relativeTarget(from, {1, -1}, Space::TranslationFov, FieldOfView{60, 40}), 100 + 524, 1571 - 349);
}

TEST(TranslationSpaces, TreatAnUnknownOrUnconfiguredSpaceAsTheGenericOne)
{
    const std::string fov = spaceUri(Space::TranslationFov);
    EXPECT_EQ(relativeSpace(fov, true), Space::TranslationFov);
    EXPECT_EQ(relativeSpace(fov, false), Space::TranslationGeneric);
    EXPECT_EQ(relativeSpace(spaceUri(Space::PositionGeneric), true), Space::TranslationGeneric);
    EXPECT_EQ(relativeSpace(spaceUri(Space::TranslationDegrees), false), Space::TranslationDegrees);
    EXPECT_EQ(absoluteSpace("urn:whatever"), Space::PositionGeneric);
    EXPECT_EQ(absoluteSpace(spaceUri(Space::PositionDegrees)), Space::PositionDegrees);
}

TEST(VelocitySpace, DrivesEachMovingAxisToItsLimitAndKeepsTheOther)
{
    const aimlink_angles target{100, 2000};
    expectAngles(continuousTarget(target, {0.5, 0}), AIMLINK_PAN_MAX, 2000);
    expectAngles(continuousTarget(target, {0, -0.1}), 100, AIMLINK_TILT_MIN);
    expectAngles(continuousTarget(target, {-1, 1}), AIMLINK_PAN_MIN, AIMLINK_TILT_MAX);
}

TEST(Duration, ReadsSecondsMinutesAndFractionsAndRefusesOtherText)
{
    EXPECT_EQ(parseDuration("PT5S"), std::chrono::milliseconds(5000));
    EXPECT_EQ(parseDuration("PT1M0.5S"), std::chrono::milliseconds(60500));
    EXPECT_EQ(parseDuration("PT0.25S"), std::chrono::milliseconds(250));
    EXPECT_FALSE(parseDuration("5S"));
    EXPECT_FALSE(parseDuration("PT5"));
    EXPECT_FALSE(parseDuration("PT5X"));
    EXPECT_FALSE(parseDuration("PT-5S"));
}

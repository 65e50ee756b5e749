// SPDX-License-Identifier: MIT
// The broker address, the topic names and the command payloads, checked
// before anything reaches the broker or the head.
#include "mqtt_messages.h"

#include <gtest/gtest.h>

namespace aimheadd::mqtt {
namespace {

const Topics kTopics{"aimhead/door/"};

TEST(BrokerUrl, TakesHostAndPortAndKnowsLoopbackAndTls)
{
    const auto plain = std::get<BrokerAddress>(parseBrokerUrl("mqtt://127.0.0.1"));
    EXPECT_EQ(plain.host, "127.0.0.1");
    EXPECT_EQ(plain.port, 1883);
    EXPECT_TRUE(plain.loopback);
    EXPECT_FALSE(plain.tls);
    const auto secure = std::get<BrokerAddress>(parseBrokerUrl("mqtts://broker.lan:8884/"));
    EXPECT_EQ(secure.host, "broker.lan");
    EXPECT_EQ(secure.port, 8884);
    EXPECT_TRUE(secure.tls);
    EXPECT_FALSE(secure.loopback);
    EXPECT_EQ(std::get<BrokerAddress>(parseBrokerUrl("mqtts://10.0.0.2")).port, 8883);
    const auto six = std::get<BrokerAddress>(parseBrokerUrl("mqtt://[::1]:1884"));
    EXPECT_EQ(six.host, "::1");
    EXPECT_EQ(six.port, 1884);
    EXPECT_TRUE(six.loopback);
}

TEST(BrokerUrl, RefusesOtherSchemesPortsAndEmptyHostsNamingTheUrl)
{
    for (const char *url : {"http://127.0.0.1", "127.0.0.1", "mqtt://", "mqtt://:1883", "mqtt://host:0",
                            "mqtt://host:65536", "mqtt://host:12ab", "mqtt://user@host"}) {
        const auto parsed = parseBrokerUrl(url);
        ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << url;
        EXPECT_NE(std::get<std::string>(parsed).find(url), std::string::npos) << url;
    }
}

TEST(Credentials, AreUserAndPasswordOfTheFirstLine)
{
    const auto credentials = parseCredentials("head1:pass:word\nignored\n");
    ASSERT_TRUE(credentials);
    EXPECT_EQ(credentials->user, "head1");
    EXPECT_EQ(credentials->password, "pass:word");
    EXPECT_FALSE(parseCredentials("no colon here"));
    EXPECT_FALSE(parseCredentials(":password"));
    EXPECT_FALSE(parseCredentials(""));
}

TEST(Names, IdsAreOneSafeTopicLevelAndPrefixesSeveral)
{
    EXPECT_TRUE(validId("bench_1-a"));
    EXPECT_TRUE(validId(std::string(64, 'a')));
    for (const char *id : {"", "a/b", "a+", "#", "a b", "caf\xc3\xa9", "$SYS"})
        EXPECT_FALSE(validId(id)) << id;
    EXPECT_FALSE(validId(std::string(65, 'a')));
    EXPECT_TRUE(validPrefix("aimhead"));
    EXPECT_TRUE(validPrefix("site/lab-2"));
    for (const char *prefix : {"", "/aimhead", "aimhead/", "a//b", "a/+/b", "a/#"})
        EXPECT_FALSE(validPrefix(prefix)) << prefix;
}

TEST(Names, TheDefaultIdIsHostAndDeviceWithEveryOtherCharacterReplaced)
{
    EXPECT_EQ(defaultId("lab.example", "/dev/serial/by-id/usb-FTDI:1"), "lab_example-usb-FTDI_1");
    EXPECT_EQ(defaultId("door", "/dev/ttyUSB0"), "door-ttyUSB0");
    EXPECT_TRUE(validId(defaultId(std::string(100, 'h'), "/dev/ttyS3")));
}

TEST(Topics, NameEachCommandUnderTheHeadAndNoOther)
{
    EXPECT_EQ(commandFor(kTopics, "aimhead/door/move"), CommandKind::Move);
    EXPECT_EQ(commandFor(kTopics, "aimhead/door/pan/set"), CommandKind::PanSet);
    EXPECT_EQ(commandFor(kTopics, "aimhead/door/preset/save"), CommandKind::PresetSave);
    EXPECT_FALSE(commandFor(kTopics, "aimhead/gate/move"));
    EXPECT_FALSE(commandFor(kTopics, "aimhead/door/state"));
    EXPECT_FALSE(commandFor(kTopics, "aimhead/door/move/x"));
    EXPECT_EQ(commandTopics(kTopics).size(), 6U);
}

template <typename Wanted> Wanted command(CommandKind kind, std::string_view payload)
{
    const Parsed parsed = parseCommand(kind, payload);
    const auto *taken = std::get_if<Command>(&parsed.command);
    EXPECT_NE(taken, nullptr) << payload << ": " << std::get<std::string>(parsed.command);
    return taken != nullptr ? std::get<Wanted>(*taken) : Wanted{};
}

std::string refusal(CommandKind kind, std::string_view payload)
{
    const Parsed parsed = parseCommand(kind, payload);
    const auto *reason = std::get_if<std::string>(&parsed.command);
    EXPECT_NE(reason, nullptr) << payload;
    return reason != nullptr ? *reason : std::string();
}

TEST(Commands, MoveTakesMilliradiansOrDegreesAndTheClientsId)
{
    EXPECT_EQ(command<MoveTo>(CommandKind::Move, R"({"pan": -400, "tilt": 2000})").angles,
              (aimlink_angles{-400, 2000}));
    // Level, 90 degrees round: as the rotator port maps them.
    EXPECT_EQ(command<MoveTo>(CommandKind::Move, R"({"azimuth": 0, "elevation": 0})").angles,
              (aimlink_angles{0, 1571}));
    EXPECT_EQ(parseCommand(CommandKind::Move, R"({"pan": 0, "tilt": 1571, "id": "r-1"})").id, "r-1");
    EXPECT_TRUE(parseCommand(CommandKind::Move, R"({"pan": 0, "tilt": 1571})").id.is_null());
}

TEST(Commands, MoveRefusesWhatNoFrameCanCarryWithTheReason)
{
    EXPECT_NE(refusal(CommandKind::Move, "{oops").find("JSON object"), std::string::npos);
    EXPECT_NE(refusal(CommandKind::Move, "[1, 2]").find("JSON object"), std::string::npos);
    EXPECT_NE(refusal(CommandKind::Move, R"({"pan": 0})").find("tilt is missing"), std::string::npos);
    EXPECT_NE(refusal(CommandKind::Move, R"({"pan": 32768, "tilt": 0})").find("from -32768 to 32767"),
              std::string::npos);
    EXPECT_NE(refusal(CommandKind::Move, R"({"pan": 18446744073709551615, "tilt": 0})").find("from"),
              std::string::npos);
    EXPECT_NE(refusal(CommandKind::Move, R"({"pan": "1", "tilt": 0})").find("whole number"), std::string::npos);
    EXPECT_NE(refusal(CommandKind::Move, R"({"azimuth": 0, "elevation": 95})").find("travel"), std::string::npos);
    EXPECT_NE(refusal(CommandKind::Move, R"({"azimuth": 0})").find("elevation must be"), std::string::npos);
}

TEST(Commands, PayloadsOverTheLimitAreRefusedUnread)
{
    const std::string largest = R"({"pan": 0, "tilt": 1571})" + std::string(kMaxPayload - 24, ' ');
    ASSERT_EQ(largest.size(), kMaxPayload);
    EXPECT_TRUE(std::holds_alternative<Command>(parseCommand(CommandKind::Move, largest).command));
    EXPECT_NE(refusal(CommandKind::Move, largest + " ").find("over 4096 bytes"), std::string::npos);
}

TEST(Commands, OneValueCommandsTakeTheBareValueHomeAssistantSends)
{
    EXPECT_DOUBLE_EQ(command<PanTo>(CommandKind::PanSet, "12.5").azimuth, 12.5);
    EXPECT_DOUBLE_EQ(command<TiltTo>(CommandKind::TiltSet, R"({"elevation": -3, "id": 4})").elevation, -3.0);
    EXPECT_EQ(command<Recall>(CommandKind::PresetRecall, "door").name, "door");
    EXPECT_EQ(command<Save>(CommandKind::PresetSave, R"({"name": "gate.2"})").name, "gate.2");
    EXPECT_TRUE(std::holds_alternative<Command>(parseCommand(CommandKind::Home, "PRESS").command));
    EXPECT_NE(refusal(CommandKind::PanSet, "left").find("number of degrees"), std::string::npos);
    EXPECT_NE(refusal(CommandKind::PanSet, "nan").find("number of degrees"), std::string::npos);
    for (const char *name : {"", "-rm", ".hidden", "a/b", "a b", "../x", "thirty-three-characters-long-name"})
        EXPECT_NE(refusal(CommandKind::PresetSave, name).find("preset name"), std::string::npos) << name;
}

TEST(Payloads, StateIsTheGetFieldsWithDegreesBeside)
{
    HeadState state;
    state.link = AIMLINK_LINK_UP;
    state.position = aimlink_angles{0, 1571};
    state.target = aimlink_angles{400, 1999};
    state.owner = "mqtt";
    const Json payload = statePayload(state);
    EXPECT_EQ(payload["link"], "up");
    EXPECT_EQ(payload["position"], (Json{{"pan", 0}, {"tilt", 1571}}));
    EXPECT_EQ(payload["owner"], "mqtt");
    EXPECT_EQ(payload["position_degrees"], (Json{{"azimuth", 0.0}, {"elevation", 0.0}}));
    EXPECT_NEAR(payload["target_degrees"]["azimuth"].get<double>(), 22.92, 0.005);
    EXPECT_TRUE(statePayload(HeadState{}).at("position_degrees").is_null());
}

TEST(Payloads, ResultsSayAcceptedWithTheTargetOrRefusedWithTheReason)
{
    const Json accepted = acceptedResult(7, CommandKind::Move, {100, 1571}, true);
    EXPECT_EQ(accepted["id"], 7);
    EXPECT_EQ(accepted["command"], "move");
    EXPECT_EQ(accepted["ok"], true);
    EXPECT_EQ(accepted["limited"], true);
    EXPECT_EQ(accepted["target"], (Json{{"pan", 100}, {"tilt", 1571}}));
    const Json refused = refusedResult(nullptr, std::nullopt, "no");
    EXPECT_EQ(refused["ok"], false);
    EXPECT_EQ(refused["reason"], "no");
    EXPECT_TRUE(refused["command"].is_null());
}

TEST(Discovery, EveryEntityBelongsToTheOneDeviceAndTheSelectNeedsPresets)
{
    const Discovery discovery{"homeassistant", "door", kTopics, "1.2.3", "http://127.0.0.1:8080/"};
    const auto messages = discoveryMessages(discovery, {});
    ASSERT_EQ(messages.size(), 7U);
    for (const auto &[topic, payload] : messages) {
        ASSERT_EQ(topic.rfind("homeassistant/", 0), 0U) << topic;
        if (topic.find("/select/") != std::string::npos) {
            EXPECT_TRUE(payload.empty()); // removes the select while there are no presets
            continue;
        }
        const Json config = Json::parse(payload);
        EXPECT_EQ(config["device"]["identifiers"], Json::array({"aimhead_door"})) << topic;
        EXPECT_EQ(config["device"]["configuration_url"], "http://127.0.0.1:8080/");
        EXPECT_EQ(config["availability"][0]["topic"], "aimhead/door/availability");
    }
    const auto withPresets = discoveryMessages(discovery, {"door", "gate"});
    const Json select = Json::parse(withPresets.back().second);
    EXPECT_EQ(select["options"], Json::array({"door", "gate"}));
    EXPECT_EQ(select["command_topic"], "aimhead/door/preset/recall");
}

TEST(Discovery, TheAxesRangeOverTheTravelInDegrees)
{
    const auto messages = discoveryMessages({"ha", "door", kTopics, "1", ""}, {});
    const Json pan = Json::parse(messages[0].second);
    const Json tilt = Json::parse(messages[1].second);
    EXPECT_NEAR(pan["min"].get<double>(), -101.99, 0.01);
    EXPECT_NEAR(pan["max"].get<double>(), 101.99, 0.01);
    EXPECT_NEAR(tilt["min"].get<double>(), -30.60, 0.01);
    EXPECT_NEAR(tilt["max"].get<double>(), 91.67, 0.01);
    EXPECT_FALSE(pan["device"].contains("configuration_url"));
}

} // namespace
} // namespace aimheadd::mqtt

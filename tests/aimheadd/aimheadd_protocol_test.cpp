// SPDX-License-Identifier: MIT
// The daemon's two request languages, without a daemon: JSON lines on the
// local socket and the rotator protocol, with its angle mapping.
#include "json_protocol.h"
#include "rotctld_protocol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>

using namespace aimheadd;

namespace {

Request accepted(const std::string &line)
{
    auto parsed = parseRequest(line);
    EXPECT_TRUE(std::holds_alternative<Request>(parsed)) << line;
    return std::holds_alternative<Request>(parsed) ? std::get<Request>(parsed) : Request{};
}

RequestError refused(const std::string &line)
{
    auto parsed = parseRequest(line);
    EXPECT_TRUE(std::holds_alternative<RequestError>(parsed)) << line;
    return std::holds_alternative<RequestError>(parsed) ? std::get<RequestError>(parsed) : RequestError{};
}

template <class Kind> Kind command(const std::string &line)
{
    const Request request = accepted(line);
    EXPECT_TRUE(std::holds_alternative<Kind>(request.command)) << line;
    return std::holds_alternative<Kind>(request.command) ? std::get<Kind>(request.command) : Kind{};
}

} // namespace

TEST(JsonRequest, ReadsEveryCommandWithItsFields)
{
    const auto move = command<MoveRequest>(R"({"id":1,"cmd":"move","pan":-1000,"tilt":2500})");
    EXPECT_EQ(move.pan, -1000);
    EXPECT_EQ(move.tilt, 2500);
    EXPECT_FALSE(move.waitMs);
    EXPECT_EQ(command<MoveRequest>(R"({"id":1,"cmd":"move","pan":0,"tilt":0,"wait":true})").waitMs, kDefaultWaitMs);
    EXPECT_EQ(command<MoveRequest>(R"({"id":1,"cmd":"move","pan":0,"tilt":0,"wait":true,"timeout":250})").waitMs, 250);
    EXPECT_FALSE(command<MoveRequest>(R"({"id":1,"cmd":"move","pan":0,"tilt":0,"wait":false})").waitMs);
    EXPECT_EQ(command<HomeRequest>(R"({"id":1,"cmd":"home","wait":true,"timeout":0})").waitMs, 0);
    EXPECT_FALSE(command<HomeRequest>(R"({"id":1,"cmd":"home"})").waitMs);
    command<InitialiseRequest>(R"({"id":1,"cmd":"initialise"})");
    command<GetRequest>(R"({"id":1,"cmd":"get"})");
    EXPECT_TRUE(command<WatchRequest>(R"({"id":1,"cmd":"watch"})").enable);
    EXPECT_FALSE(command<WatchRequest>(R"({"id":1,"cmd":"watch","enable":false})").enable);
    command<VersionRequest>(R"({"id":1,"cmd":"version"})");
}

TEST(JsonRequest, KeepsTheIdAsGivenForTheReply)
{
    EXPECT_EQ(accepted(R"({"id":"tracker-7","cmd":"get"})").id, "tracker-7");
    EXPECT_EQ(accepted(R"({"cmd":"get","id":42})").id, 42);
    EXPECT_EQ(refused(R"({"id":9,"cmd":"dance"})").id, 9);
    EXPECT_EQ(refused(R"({"id":"x","cmd":"move","pan":40000,"tilt":0})").id, "x");
}

TEST(JsonRequest, RefusesALineThatIsNotOneObject)
{
    for (const char *line : {"", "move 1 2", "{", "[]", "42", "null", R"("id")", R"({"id":1,"cmd":"get"} {})"}) {
        const RequestError error = refused(line);
        EXPECT_EQ(error.code, ErrorCode::Malformed) << line;
        EXPECT_TRUE(error.id.is_null()) << line;
    }
}

TEST(JsonRequest, RefusesANulByteAndWhatFollowsIt)
{
    using namespace std::string_literals;
    for (const std::string &line :
         {R"({"id":1,"cmd":"move","pan":0,"tilt":1571})"s + '\0' + "garbage", R"({"id":1,"cmd":"get"})"s + '\0', "\0"s,
          R"({"id":"a)"s + '\0' + R"(","cmd":"get"})"})
        EXPECT_EQ(refused(line).code, ErrorCode::Malformed) << line.size();
    EXPECT_EQ(refused(R"({"id":1,"cmd":"get"}garbage)").code, ErrorCode::Malformed);
}

TEST(JsonRequest, NeedsAnIdAndACommand)
{
    EXPECT_EQ(refused(R"({"cmd":"get"})").code, ErrorCode::BadRequest);
    EXPECT_EQ(refused(R"({"id":{"a":1},"cmd":"get"})").code, ErrorCode::BadRequest);
    EXPECT_EQ(refused(R"({"id":null,"cmd":"get"})").code, ErrorCode::BadRequest);
    EXPECT_EQ(refused(R"({"id":1})").code, ErrorCode::BadRequest);
    EXPECT_EQ(refused(R"({"id":1,"cmd":7})").code, ErrorCode::BadRequest);
    const RequestError unknown = refused(R"({"id":1,"cmd":"dance"})");
    EXPECT_EQ(unknown.code, ErrorCode::UnknownCommand);
    EXPECT_NE(unknown.message.find("dance"), std::string::npos);
}

TEST(JsonRequest, TakesAnglesAFrameCanCarryAndNoOthers)
{
    EXPECT_EQ(command<MoveRequest>(R"({"id":1,"cmd":"move","pan":-32768,"tilt":32767})").pan, -32768);
    for (const char *numbers : {R"("pan":32768,"tilt":0)", R"("pan":0,"tilt":-32769)",
                                R"("pan":18446744073709551615,"tilt":0)", R"("pan":-9223372036854775808,"tilt":0)"})
        EXPECT_EQ(refused(std::string(R"({"id":1,"cmd":"move",)") + numbers + "}").code, ErrorCode::OutOfRange)
            << numbers;
    for (const char *fields :
         {R"("pan":1.5,"tilt":0)", R"("pan":"100","tilt":0)", R"("pan":0)", R"("tilt":0)", R"("pan":0,"tilt":true)"})
        EXPECT_EQ(refused(std::string(R"({"id":1,"cmd":"move",)") + fields + "}").code, ErrorCode::BadRequest)
            << fields;
}

TEST(JsonRequest, BoundsTheWait)
{
    const std::string move = R"({"id":1,"cmd":"move","pan":0,"tilt":0,)";
    EXPECT_EQ(refused(move + R"("wait":true,"timeout":-1})").code, ErrorCode::OutOfRange);
    EXPECT_EQ(refused(move + R"("wait":true,"timeout":3600001})").code, ErrorCode::OutOfRange);
    EXPECT_EQ(refused(move + R"("wait":true,"timeout":"soon"})").code, ErrorCode::BadRequest);
    EXPECT_EQ(refused(move + R"("wait":"yes"})").code, ErrorCode::BadRequest);
    EXPECT_EQ(refused(R"({"id":1,"cmd":"watch","enable":1})").code, ErrorCode::BadRequest);
}

TEST(JsonReply, IsOneObjectOnOneLine)
{
    const std::string ok = okReply("a", {{"target", anglesJson(aimlink_angles{10, 1571})}});
    ASSERT_EQ(ok.back(), '\n');
    EXPECT_EQ(ok.find('\n'), ok.size() - 1);
    const Json okObject = Json::parse(ok);
    EXPECT_EQ(okObject["id"], "a");
    EXPECT_EQ(okObject["ok"], true);
    EXPECT_EQ(okObject["target"]["pan"], 10);

    const Json error = Json::parse(errorReply(3, ErrorCode::Superseded, "replaced\nby someone"));
    EXPECT_EQ(error["id"], 3);
    EXPECT_EQ(error["ok"], false);
    EXPECT_EQ(error["error"], "superseded");
    EXPECT_EQ(error["message"], "replaced\nby someone");

    const Json event = Json::parse(eventLine("position", anglesJson(aimlink_angles{-2, 1037})));
    EXPECT_EQ(event["event"], "position");
    EXPECT_EQ(event["tilt"], 1037);
    EXPECT_FALSE(event.contains("id"));
}

TEST(JsonReply, StatesWhatIsKnownAndNullForWhatIsNot)
{
    HeadState state;
    state.link = AIMLINK_LINK_WAITING;
    Json fields = stateFields(state);
    EXPECT_EQ(fields["link"], "waiting");
    EXPECT_TRUE(fields["position"].is_null());
    EXPECT_TRUE(fields["target"].is_null());
    EXPECT_FALSE(fields.contains("reason"));

    state = {AIMLINK_LINK_FAILED, aimlink_angles{4, 1571}, aimlink_angles{100, 2000}, "client 2", "/dev/x: hang-up"};
    fields = stateFields(state);
    EXPECT_EQ(fields["link"], "failed");
    EXPECT_EQ(fields["position"]["pan"], 4);
    EXPECT_EQ(fields["target"]["tilt"], 2000);
    EXPECT_EQ(fields["owner"], "client 2");
    EXPECT_EQ(fields["reason"], "/dev/x: hang-up");
}

TEST(RotatorCommand, ReadsShortAndLongForms)
{
    using namespace rotctld;
    for (const char *line : {"P 10 20", "\\set_pos 10 20", "P 10.000000 20.000000", "  P\t10 20\r"}) {
        const rotctld::Command parsed = parseCommand(line);
        ASSERT_TRUE(std::holds_alternative<SetPosition>(parsed)) << line;
        EXPECT_DOUBLE_EQ(std::get<SetPosition>(parsed).azimuth, 10);
        EXPECT_DOUBLE_EQ(std::get<SetPosition>(parsed).elevation, 20);
    }
    EXPECT_DOUBLE_EQ(std::get<SetPosition>(parseCommand("P -45.5 -1e1")).elevation, -10);
    EXPECT_TRUE(std::holds_alternative<GetPosition>(parseCommand("p")));
    EXPECT_TRUE(std::holds_alternative<GetPosition>(parseCommand("\\get_pos")));
    EXPECT_TRUE(std::holds_alternative<Stop>(parseCommand("S")));
    EXPECT_TRUE(std::holds_alternative<Stop>(parseCommand("\\stop")));
    EXPECT_TRUE(std::holds_alternative<Park>(parseCommand("K")));
    EXPECT_TRUE(std::holds_alternative<Park>(parseCommand("\\park")));
    EXPECT_TRUE(std::holds_alternative<GetInfo>(parseCommand("_")));
    EXPECT_TRUE(std::holds_alternative<GetInfo>(parseCommand("\\get_info")));
    EXPECT_TRUE(std::holds_alternative<DumpState>(parseCommand("\\dump_state")));
    EXPECT_TRUE(std::holds_alternative<Quit>(parseCommand("q")));
}

TEST(RotatorCommand, TellsUnknownCommandsFromBadArguments)
{
    using namespace rotctld;
    for (const char *line : {"P 10", "P 10 20 30", "P ten 20", "P nan 20", "P 10 inf", "P 0x10 2", "p 1", "K now"})
        EXPECT_TRUE(std::holds_alternative<BadArguments>(parseCommand(line))) << line;
    for (const char *line : {"", "X", "get_pos", "\\set_conf a b", "+\\get_pos", "1", "\\dump_caps"})
        EXPECT_TRUE(std::holds_alternative<Unknown>(parseCommand(line))) << line;
}

TEST(RotatorMapping, AzimuthIsPanAndElevationIsTiltAboveLevel)
{
    using namespace rotctld;
    const auto level = toHead({0, 0});
    ASSERT_TRUE(level);
    EXPECT_EQ(level->pan, 0);
    EXPECT_EQ(level->tilt, 1571);
    const auto turned = toHead({90, 45});
    ASSERT_TRUE(turned);
    EXPECT_EQ(turned->pan, 1571);
    EXPECT_EQ(turned->tilt, 1571 + 785);
    const AzEl back = toRotator({-1571, 1571 - 524});
    EXPECT_NEAR(back.azimuth, -90.0, 0.02);
    EXPECT_NEAR(back.elevation, -30.0, 0.03);
}

TEST(RotatorMapping, EveryAngleOfTheTravelSurvivesTheRoundTripThroughDegrees)
{
    using namespace rotctld;
    for (int32_t panAngle = AIMLINK_PAN_MIN; panAngle <= AIMLINK_PAN_MAX; ++panAngle) {
        const AzEl degrees = toRotator({panAngle, 2000});
        const auto head = toHead(degrees);
        ASSERT_TRUE(head) << panAngle;
        ASSERT_EQ(head->pan, panAngle);
    }
    for (int32_t tiltAngle = AIMLINK_TILT_MIN; tiltAngle <= AIMLINK_TILT_MAX; ++tiltAngle) {
        // Through the text the client sees, as it would type it back.
        std::istringstream reply(positionReply({0, tiltAngle}));
        double azimuth = 0, elevation = 0;
        reply >> azimuth >> elevation;
        const auto head = toHead({azimuth, elevation});
        ASSERT_TRUE(head) << tiltAngle;
        ASSERT_EQ(head->tilt, tiltAngle);
    }
}

TEST(RotatorMapping, TheLimitsClientsAreGivenAreTheTravel)
{
    using namespace rotctld;
    std::istringstream dump(dumpStateReply());
    std::string line;
    std::map<std::string, double> limits;
    std::getline(dump, line);
    EXPECT_EQ(line, "1"); // protocol version
    while (std::getline(dump, line) && line != "done")
        if (const size_t equals = line.find('='); line.rfind("min_", 0) == 0 || line.rfind("max_", 0) == 0)
            limits[line.substr(0, equals)] = std::stod(line.substr(equals + 1));
    ASSERT_EQ(line, "done");
    const auto low = toHead({limits["min_az"], limits["min_el"]});
    const auto high = toHead({limits["max_az"], limits["max_el"]});
    ASSERT_TRUE(low && high);
    EXPECT_EQ(low->pan, AIMLINK_PAN_MIN);
    EXPECT_EQ(low->tilt, AIMLINK_TILT_MIN);
    EXPECT_EQ(high->pan, AIMLINK_PAN_MAX);
    EXPECT_EQ(high->tilt, AIMLINK_TILT_MAX);
    EXPECT_FALSE(toHead({limits["max_az"] + 0.05, 0}));
    EXPECT_FALSE(toHead({limits["min_az"] - 0.05, 0}));
    EXPECT_FALSE(toHead({0, limits["max_el"] + 0.05}));
    EXPECT_FALSE(toHead({0, limits["min_el"] - 0.05}));
    EXPECT_FALSE(toHead({1e300, 0}));
}

TEST(RotatorReply, ReportsResultsAndPositionsAsRotctldDoes)
{
    using namespace rotctld;
    EXPECT_EQ(report(kOk), "RPRT 0\n");
    EXPECT_EQ(report(kInvalid), "RPRT -1\n");
    EXPECT_EQ(positionReply({0, 1571}), "0.000000\n0.000000\n");
}

TEST(RotatorReply, AnswersTheExtendedFormAsRotctldDoes)
{
    using namespace rotctld;
    const auto recast = [](std::string_view line, std::string_view plain) {
        const auto extended = extendedCommand(line);
        EXPECT_TRUE(extended) << line;
        return extended ? extendedReply(*extended, parseCommand(extended->command), plain) : std::string();
    };
    EXPECT_EQ(recast("+\\get_pos", "90.000000\n45.000000\n"),
              "get_pos:\nAzimuth: 90.000000\nElevation: 45.000000\nRPRT 0\n");
    EXPECT_EQ(recast(";\\get_pos", "90.000000\n45.000000\n"),
              "get_pos:;Azimuth: 90.000000;Elevation: 45.000000;RPRT 0\n");
    EXPECT_EQ(recast("|p", "90.000000\n45.000000\n"), "get_pos:|Azimuth: 90.000000|Elevation: 45.000000|RPRT 0\n");
    EXPECT_EQ(recast("+P 90 45", report(kOk)), "set_pos: 90 45\nRPRT 0\n");
    EXPECT_EQ(recast("|\\set_pos 135 22.5", report(kOk)), "set_pos: 135 22.5|RPRT 0\n");
    EXPECT_EQ(recast("+K", report(kIoError)), "park:\nRPRT -6\n");
    EXPECT_EQ(recast(",_", "aimhead\n"), "get_info:,Info: aimhead,RPRT 0\n");
    for (const char *plain : {"P 10 20", "\\get_pos", "_", "?", "#", ""})
        EXPECT_FALSE(extendedCommand(plain)) << plain;
}

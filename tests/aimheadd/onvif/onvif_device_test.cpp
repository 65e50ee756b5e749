// SPDX-License-Identifier: MIT
// The ONVIF services answering requests as the HTTP port hands them over,
// on a head service driving the simulator.
#include "onvif_device.h"
#include "presets.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace aimheadd;
using namespace aimheadd::onvif;
using std::chrono::milliseconds;

namespace {

constexpr char kPtz[] = "http://www.onvif.org/ver20/ptz/wsdl";
constexpr char kMedia[] = "http://www.onvif.org/ver10/media/wsdl";
constexpr char kDevice[] = "http://www.onvif.org/ver10/device/wsdl";

std::string temporaryDirectory()
{
    char pattern[] = "/tmp/onvif-device-XXXXXX";
    return mkdtemp(pattern);
}

std::string soap12(const std::string &body, const std::string &header = "")
{
    return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Header>" + header +
           "</s:Header><s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string operation(const char *ns, const std::string &name, const std::string &inner = "")
{
    return "<" + name + " xmlns=\"" + ns + "\" xmlns:tt=\"http://www.onvif.org/ver10/schema\">" + inner + "</" + name +
           ">";
}

// The reply's document and the first element of its body.
struct Answer {
    int status;
    std::shared_ptr<pugi::xml_document> document;
    pugi::xml_node body() const
    {
        return child(document->document_element(), "Body").find_child([](pugi::xml_node node) {
            return node.type() == pugi::node_element;
        });
    }
    pugi::xml_node first(const std::string &local) const
    {
        return document->select_node(("//*[local-name()='" + local + "']").c_str()).node();
    }
    std::string faultSubcode() const
    {
        std::string last;
        for (const auto &node : document->select_nodes("//*[local-name()='Subcode']/*[local-name()='Value']"))
            last = text(node.node());
        return last;
    }
};

class OnvifDeviceTest : public ::testing::Test {
protected:
    OnvifDeviceTest() : directory_(temporaryDirectory()), presets_(directory_ + "/presets.json") {}
    ~OnvifDeviceTest() override { std::filesystem::remove_all(directory_); }

    void start(DeviceOptions options = {})
    {
        head_.start();
        ASSERT_TRUE(runUntil([&] { return head_.state().position.has_value(); }, milliseconds(5000)));
        options.hostName = "testhost";
        device_ = std::make_unique<OnvifDevice>(loop_, head_, presets_, std::move(options));
    }

    // Runs the loop until done says so, at most for timeout.
    bool runUntil(const std::function<bool()> &done, milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            const auto tick = loop_.after(milliseconds(20), [this] { loop_.stop(); });
            loop_.run();
            loop_.cancel(tick);
        }
        return done();
    }

    Answer ask(const std::string &body, const std::string &host = "127.0.0.1:8000")
    {
        HttpRequest request;
        request.method = "POST";
        request.path = "/onvif/PTZ";
        request.host = host;
        request.body = body;
        request.peerAddress = "127.0.0.1";
        request.loopback = true;
        const HttpResponse response = device_->handle(request);
        auto document = std::make_shared<pugi::xml_document>();
        EXPECT_TRUE(document->load_string(response.body.c_str())) << response.body;
        return {response.status, document};
    }
    Answer ptz(const std::string &name, const std::string &inner = "")
    {
        return ask(soap12(operation(kPtz, name, "<ProfileToken>aimhead</ProfileToken>" + inner)));
    }

    Simulator simulator_{{"--latency", "1"}}; // 1 rad/s: a jog takes seconds to reach a limit
    EventLoop loop_;
    HeadService head_{loop_, {simulator_.device(), true, {}}};
    std::string directory_;
    PresetStore presets_;
    std::unique_ptr<OnvifDevice> device_;
};

} // namespace

TEST_F(OnvifDeviceTest, ListsDeviceMediaAndPtzServicesAtTheHostTheRequestCameTo)
{
    start();
    const Answer answer = ask(soap12(operation(kDevice, "GetServices", "<IncludeCapability>true</IncludeCapability>")),
                              "camera.local:8080");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.document->select_nodes("//*[local-name()='Service']").size(), 3u);
    EXPECT_EQ(text(answer.first("XAddr")), "http://camera.local:8080/onvif/device_service");
    EXPECT_STREQ(attribute(answer.first("Capabilities").first_child(), "MoveStatus").value(), "");
    const auto ptzCapabilities = answer.document->select_node("//*[local-name()='Capabilities'][@MoveStatus]");
    EXPECT_STREQ(ptzCapabilities.node().attribute("MoveStatus").value(), "true");
}

TEST_F(OnvifDeviceTest, AnswersSoap11InKindAndUnknownOperationsAsNotImplemented)
{
    start();
    HttpRequest request;
    request.method = "POST";
    request.host = "127.0.0.1:8000";
    request.body = "<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"><e:Body>" +
                   operation(kDevice, "GetSystemDateAndTime") + "</e:Body></e:Envelope>";
    const HttpResponse response = device_->handle(request);
    EXPECT_EQ(response.status, 200);
    EXPECT_NE(response.body.find(kSoap11Namespace), std::string::npos);
    EXPECT_EQ(response.contentType, "text/xml; charset=utf-8");
    const Answer unknown = ask(soap12(operation(kDevice, "SystemReboot")));
    EXPECT_EQ(unknown.status, 500);
    EXPECT_EQ(unknown.faultSubcode(), "ter:ActionNotSupported");
    EXPECT_EQ(text(unknown.first("Text")), "Optional Action Not Implemented");
}

TEST_F(OnvifDeviceTest, OffersOneH264ProfileWithItsVideoSourceAndPtzConfiguration)
{
    DeviceOptions options;
    options.streamUri = "rtsp://cam/live?a=1&b=2";
    options.video = {1280, 720, 30};
    start(options);
    const Answer profiles = ask(soap12(operation(kMedia, "GetProfiles")));
    EXPECT_EQ(text(profiles.first("Encoding")), "H264");
    EXPECT_EQ(text(profiles.first("SourceToken")), "camera");
    EXPECT_EQ(text(profiles.first("FrameRateLimit")), "30");
    EXPECT_NE(text(profiles.first("DefaultContinuousPanTiltVelocitySpace")).find("VelocityGenericSpace"),
              std::string::npos);
    const Answer sources = ask(soap12(operation(kMedia, "GetVideoSources")));
    EXPECT_STREQ(sources.first("VideoSources").attribute("token").value(), "camera");
    const Answer uri = ask(soap12(operation(kMedia, "GetStreamUri", "<ProfileToken>aimhead</ProfileToken>")));
    EXPECT_EQ(text(uri.first("Uri")), "rtsp://cam/live?a=1&b=2");
    const Answer snapshot = ask(soap12(operation(kMedia, "GetSnapshotUri")));
    EXPECT_EQ(snapshot.status, 500);
    EXPECT_NE(text(snapshot.first("Text")).find("--onvif-snapshot-uri"), std::string::npos);
}

TEST_F(OnvifDeviceTest, OffersTheFieldOfViewSpaceOnlyWhenTheFieldOfViewIsGiven)
{
    DeviceOptions options;
    options.fov = FieldOfView{60, 40};
    start(options);
    const Answer answer = ptz("GetConfigurationOptions");
    EXPECT_EQ(answer.document->select_nodes("//*[local-name()='URI'][contains(., 'TranslationSpaceFov')]").size(), 1u);
    EXPECT_EQ(text(answer.first("Min")), "-1.00000");
    EXPECT_EQ(text(answer.document->select_node("//*[local-name()='PTZTimeout']/*[local-name()='Max']").node()),
              "PT60S");
    device_.reset();
    device_ = std::make_unique<OnvifDevice>(loop_, head_, presets_, DeviceOptions{});
    EXPECT_EQ(ptz("GetNodes").document->select_nodes("//*[contains(., 'TranslationSpaceFov')]").size(), 0u);
}

TEST_F(OnvifDeviceTest, MovesAbsolutelyAndReportsTheArrivalInGetStatus)
{
    start();
    const Answer moved = ptz("AbsoluteMove", "<Position><tt:PanTilt x=\"0.5\" y=\"-0.4995\"/><tt:Zoom x=\"0\"/>"
                                             "</Position><Speed><tt:PanTilt x=\"1\" y=\"1\"/></Speed>");
    EXPECT_EQ(moved.status, 200);
    EXPECT_EQ(localName(moved.body().name()), "AbsoluteMoveResponse");
    EXPECT_EQ(head_.state().target, (aimlink_angles{890, 1571}));
    ASSERT_TRUE(runUntil([&] { return head_.state().position == head_.state().target; }, milliseconds(3000)));
    const Answer status = ptz("GetStatus");
    EXPECT_STREQ(status.first("PanTilt").attribute("x").value(), "0.50000");
    EXPECT_STREQ(status.first("PanTilt").attribute("y").value(), "-0.49953");
    EXPECT_EQ(text(status.first("MoveStatus").first_child()), "IDLE");
}

TEST_F(OnvifDeviceTest, RefusesAnAbsolutePositionOutsideItsSpaceWithoutMoving)
{
    start();
    const auto before = head_.state().target;
    const Answer refused = ptz("AbsoluteMove", "<Position><tt:PanTilt x=\"1.2\" y=\"0\"/></Position>");
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.faultSubcode(), "ter:InvalidPosition");
    EXPECT_EQ(head_.state().target, before);
}

TEST_F(OnvifDeviceTest, JogsTowardTheLimitAndStandsStillByItselfAfterTheTimeout)
{
    start();
    const Answer jog = ptz("ContinuousMove", "<Velocity><tt:PanTilt x=\"0.5\" y=\"0\"/><tt:Zoom x=\"0\"/></Velocity>"
                                             "<Timeout>PT1S</Timeout>");
    EXPECT_EQ(jog.status, 200);
    EXPECT_EQ(head_.state().target->pan, AIMLINK_PAN_MAX);
    EXPECT_EQ(text(ptz("GetStatus").first("MoveStatus").first_child()), "MOVING");
    // At 1 rad/s the limit is 1.78 s away: the timeout stops the head short of it.
    ASSERT_TRUE(runUntil([&] { return head_.state().target->pan < AIMLINK_PAN_MAX; }, milliseconds(1600)));
    ASSERT_TRUE(runUntil([&] { return head_.state().position == head_.state().target; }, milliseconds(2000)));
    EXPECT_LT(head_.state().position->pan, AIMLINK_PAN_MAX - 300);
    EXPECT_GT(head_.state().position->pan, 500);
}

TEST_F(OnvifDeviceTest, StopsAJogAtTheLastReportedPositionWhateverTheSoapAction)
{
    start();
    ptz("ContinuousMove", "<Velocity><tt:PanTilt x=\"-1\" y=\"0.5\"/></Velocity>");
    EXPECT_EQ(head_.state().target, (aimlink_angles{AIMLINK_PAN_MIN, AIMLINK_TILT_MAX}));
    runUntil([] { return false; }, milliseconds(300));
    const auto before = head_.state().position;
    ASSERT_TRUE(before);
    const Answer stopped = ptz("Stop", "<PanTilt>true</PanTilt><Zoom>false</Zoom>");
    EXPECT_EQ(localName(stopped.body().name()), "StopResponse");
    // The target is the last report when the stop came: the one read above
    // or a later one on the way, never the limit. The head may report a
    // little beyond it before the stop frame reaches it, then comes back.
    const auto stopAt = head_.state().target;
    ASSERT_TRUE(stopAt);
    EXPECT_LE(stopAt->pan, before->pan);
    EXPECT_GE(stopAt->tilt, before->tilt);
    EXPECT_GT(stopAt->pan, AIMLINK_PAN_MIN + 1000);
    ASSERT_TRUE(runUntil([&] { return text(ptz("GetStatus").first("MoveStatus").first_child()) == "IDLE"; },
                         milliseconds(2000)));
    EXPECT_EQ(head_.state().position, stopAt) << "stands where it was stopped";
}

TEST_F(OnvifDeviceTest, MovesRelativelyFromTheTargetInTheFieldOfViewAndGoesHome)
{
    DeviceOptions options;
    options.fov = FieldOfView{60, 40};
    start(options);
    ptz("RelativeMove",
        "<Translation><tt:PanTilt x=\"1\" y=\"0\" space=\"" + spaceUri(Space::TranslationFov) + "\"/></Translation>");
    EXPECT_EQ(head_.state().target, (aimlink_angles{524, 1571}));
    ptz("RelativeMove", "<Translation><tt:PanTilt x=\"0\" y=\"-2\"/></Translation>");
    EXPECT_EQ(head_.state().target, (aimlink_angles{524, AIMLINK_TILT_MIN}));
    const Answer home = ptz("GotoHomePosition");
    EXPECT_EQ(localName(home.body().name()), "GotoHomePositionResponse");
    EXPECT_EQ(head_.state().target, (aimlink_angles{0, 1571}));
    EXPECT_EQ(ptz("SetHomePosition").faultSubcode(), "ter:CannotOverwriteHome");
}

TEST_F(OnvifDeviceTest, KeepsPresetsInTheStoreAimheadReadsUnderItsNameRule)
{
    start();
    const Answer named = ptz("SetPreset", "<PresetName>door</PresetName>");
    EXPECT_EQ(text(named.first("PresetToken")), "door");
    const Answer picked = ptz("SetPreset");
    EXPECT_EQ(text(picked.first("PresetToken")), "preset1");
    EXPECT_EQ(aimhead::loadPresets(directory_ + "/presets.json").at("door"), (aimlink_angles{0, 1571}));
    EXPECT_EQ(ptz("SetPreset", "<PresetName>bad name</PresetName>").faultSubcode(), "ter:InvalidPresetName");
    EXPECT_EQ(ptz("GetPresets").document->select_nodes("//*[local-name()='Preset']").size(), 2u);

    ptz("AbsoluteMove", "<Position><tt:PanTilt x=\"0.2\" y=\"0\"/></Position>");
    ptz("GotoPreset", "<PresetToken>door</PresetToken>");
    EXPECT_EQ(head_.state().target, (aimlink_angles{0, 1571}));
    EXPECT_EQ(ptz("GotoPreset", "<PresetToken>nowhere</PresetToken>").faultSubcode(), "ter:NoToken");
    EXPECT_EQ(ptz("RemovePreset", "<PresetToken>door</PresetToken>").status, 200);
    EXPECT_EQ(ptz("RemovePreset", "<PresetToken>door</PresetToken>").faultSubcode(), "ter:NoToken");
    EXPECT_FALSE(aimhead::loadPresets(directory_ + "/presets.json").contains("door"));
}

class SignedInOnvifDeviceTest : public OnvifDeviceTest {
protected:
    void SetUp() override
    {
        DeviceOptions options;
        options.credentials = Credentials{"admin", "secret"};
        start(options);
    }
    std::string header(const std::string &password, const std::string &nonce)
    {
        const time_t now = time(nullptr);
        char created[32];
        std::strftime(created, sizeof created, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
        return "<Security xmlns=\"http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0."
               "xsd\"><UsernameToken><Username>admin</Username><Password Type=\"http://docs.oasis-open.org/wss/2004/"
               "01/oasis-200401-wss-username-token-profile-1.0#PasswordDigest\">" +
               passwordDigest(nonce, created, password) + "</Password><Nonce>" + base64(nonce) + "</Nonce><Created>" +
               created + "</Created></UsernameToken></Security>";
    }
    static std::string base64(const std::string &twelveBytes)
    {
        static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string out;
        for (size_t at = 0; at + 2 < twelveBytes.size(); at += 3) {
            const unsigned triple = static_cast<unsigned>(static_cast<unsigned char>(twelveBytes[at])) << 16U |
                                    static_cast<unsigned>(static_cast<unsigned char>(twelveBytes[at + 1])) << 8U |
                                    static_cast<unsigned>(static_cast<unsigned char>(twelveBytes[at + 2]));
            for (int shift = 18; shift >= 0; shift -= 6)
                out += digits[(triple >> shift) & 63];
        }
        return out;
    }
};

TEST_F(SignedInOnvifDeviceTest, AnswersOnlyTheFourOpenOperationsBeforeSigningIn)
{
    for (const char *open : {"GetSystemDateAndTime", "GetCapabilities", "GetServices", "GetServiceCapabilities"})
        EXPECT_EQ(ask(soap12(operation(kDevice, open))).status, 200) << open;
    EXPECT_EQ(ask(soap12(operation(kPtz, "GetServiceCapabilities"))).status, 200);
    const Answer refused = ask(soap12(operation(kMedia, "GetProfiles")));
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.faultSubcode(), "ter:NotAuthorized");
    EXPECT_EQ(text(refused.first("Text")), "Sender not Authorized");
    EXPECT_EQ(ptz("AbsoluteMove", "<Position><tt:PanTilt x=\"0.5\" y=\"0\"/></Position>").status, 400);
    EXPECT_NE(head_.state().target->pan, 890);
}

TEST_F(SignedInOnvifDeviceTest, MovesOnARightDigestAndRefusesAWrongOneAndAReplay)
{
    const std::string move = operation(kPtz, "AbsoluteMove",
                                       "<ProfileToken>aimhead</ProfileToken><Position><tt:PanTilt x=\"0.5\" "
                                       "y=\"0\"/></Position>");
    EXPECT_EQ(ask(soap12(move, header("wrong", "twelve bytes"))).faultSubcode(), "ter:NotAuthorized");
    const std::string signedMove = soap12(move, header("secret", "twelve bytes"));
    EXPECT_EQ(ask(signedMove).status, 200);
    EXPECT_EQ(head_.state().target->pan, 890);
    const std::string home = operation(kPtz, "GotoHomePosition", "<ProfileToken>aimhead</ProfileToken>");
    EXPECT_EQ(ask(soap12(home, header("secret", "other nonce!"))).status, 200);
    EXPECT_EQ(ask(signedMove).faultSubcode(), "ter:NotAuthorized");
    EXPECT_EQ(head_.state().target->pan, 0);
}

// SPDX-License-Identifier: MIT
// The media service: one profile for the camera on the head. The head has
// no video of its own; the profile describes the user's stream of it.
#include "onvif_device.h"

namespace aimheadd::onvif {
namespace {

constexpr char kProfileToken[] = "aimhead";
constexpr char kVideoSourceToken[] = "camera";

std::string resolution(const VideoMode &video)
{
    return "<tt:Width>" + std::to_string(video.width) + "</tt:Width><tt:Height>" + std::to_string(video.height) +
           "</tt:Height>";
}

std::string videoSourceConfiguration(const VideoMode &video)
{
    return std::string("<tt:VideoSourceConfiguration token=\"camera_source\"><tt:Name>camera</tt:Name>"
                       "<tt:UseCount>1</tt:UseCount><tt:SourceToken>") +
           kVideoSourceToken + "</tt:SourceToken><tt:Bounds x=\"0\" y=\"0\" width=\"" + std::to_string(video.width) +
           "\" height=\"" + std::to_string(video.height) + "\"/></tt:VideoSourceConfiguration>";
}

// H264, since clients such as Home Assistant refuse a profile without it.
std::string videoEncoderConfiguration(const VideoMode &video)
{
    return "<tt:VideoEncoderConfiguration token=\"camera_h264\"><tt:Name>h264</tt:Name><tt:UseCount>1</tt:UseCount>"
           "<tt:Encoding>H264</tt:Encoding><tt:Resolution>" +
           resolution(video) + "</tt:Resolution><tt:Quality>5</tt:Quality><tt:RateControl><tt:FrameRateLimit>" +
           std::to_string(video.fps) +
           "</tt:FrameRateLimit><tt:EncodingInterval>1</tt:EncodingInterval><tt:BitrateLimit>4096"
           "</tt:BitrateLimit></tt:RateControl><tt:H264><tt:GovLength>" +
           std::to_string(video.fps * 2) +
           "</tt:GovLength><tt:H264Profile>Main</tt:H264Profile></tt:H264><tt:Multicast><tt:Address><tt:Type>IPv4"
           "</tt:Type><tt:IPv4Address>0.0.0.0</tt:IPv4Address></tt:Address><tt:Port>0</tt:Port><tt:TTL>0</tt:TTL>"
           "<tt:AutoStart>false</tt:AutoStart></tt:Multicast><tt:SessionTimeout>PT60S</tt:SessionTimeout>"
           "</tt:VideoEncoderConfiguration>";
}

std::string mediaUri(const std::string &uri, const char *response)
{
    return std::string("<trt:") + response + "><trt:MediaUri><tt:Uri>" + xmlEscaped(uri) +
           "</tt:Uri><tt:InvalidAfterConnect>false</tt:InvalidAfterConnect><tt:InvalidAfterReboot>false"
           "</tt:InvalidAfterReboot><tt:Timeout>PT0S</tt:Timeout></trt:MediaUri></trt:" +
           response + ">";
}

Fault notConfigured(const std::string &what, const std::string &option)
{
    return {false,
            {"ter:Action", "ter:IncompleteConfiguration"},
            "no " + what + " is configured for the camera on the head; start aimheadd with " + option};
}

} // namespace

std::string OnvifDevice::profileXml(const char *element) const
{
    return std::string("<trt:") + element + " token=\"" + kProfileToken + "\" fixed=\"true\"><tt:Name>" +
           kProfileToken + "</tt:Name>" + videoSourceConfiguration(options_.video) +
           videoEncoderConfiguration(options_.video) + configurationXml("tt:PTZConfiguration") + "</trt:" + element +
           ">";
}

OnvifDevice::Reply OnvifDevice::getProfiles(const Call &)
{
    return "<trt:GetProfilesResponse>" + profileXml("Profiles") + "</trt:GetProfilesResponse>";
}

OnvifDevice::Reply OnvifDevice::getProfile(const Call &call)
{
    if (text(child(call.soap.operation(), "ProfileToken")) != kProfileToken)
        return invalidArgument("ter:NoProfile", "no such profile; the head's profile is \"aimhead\"");
    return "<trt:GetProfileResponse>" + profileXml("Profile") + "</trt:GetProfileResponse>";
}

OnvifDevice::Reply OnvifDevice::getVideoSources(const Call &)
{
    return std::string("<trt:GetVideoSourcesResponse><trt:VideoSources token=\"") + kVideoSourceToken +
           "\"><tt:Framerate>" + std::to_string(options_.video.fps) + "</tt:Framerate><tt:Resolution>" +
           resolution(options_.video) + "</tt:Resolution></trt:VideoSources></trt:GetVideoSourcesResponse>";
}

OnvifDevice::Reply OnvifDevice::getStreamUri(const Call &)
{
    if (options_.streamUri.empty())
        return notConfigured("stream", "--onvif-stream-uri URI");
    return mediaUri(options_.streamUri, "GetStreamUriResponse");
}

OnvifDevice::Reply OnvifDevice::getSnapshotUri(const Call &)
{
    if (options_.snapshotUri.empty())
        return notConfigured("snapshot", "--onvif-snapshot-uri URI");
    return mediaUri(options_.snapshotUri, "GetSnapshotUriResponse");
}

} // namespace aimheadd::onvif

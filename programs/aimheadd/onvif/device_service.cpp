// SPDX-License-Identifier: MIT
// The device service: who the device is, its clock and where its services are.
#include "onvif_device.h"

#include <cstdio>
#include <ctime>

#ifndef AIMLINK_VERSION
#define AIMLINK_VERSION "unknown"
#endif

namespace aimheadd::onvif {
namespace {

std::string element(const char *name, const std::string &value)
{
    return std::string("<") + name + ">" + value + "</" + name + ">";
}

std::string utcDateTime(std::chrono::system_clock::time_point now)
{
    const time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    return "<tt:UTCDateTime><tt:Time>" + element("tt:Hour", std::to_string(utc.tm_hour)) +
           element("tt:Minute", std::to_string(utc.tm_min)) + element("tt:Second", std::to_string(utc.tm_sec)) +
           "</tt:Time><tt:Date>" + element("tt:Year", std::to_string(utc.tm_year + 1900)) +
           element("tt:Month", std::to_string(utc.tm_mon + 1)) + element("tt:Day", std::to_string(utc.tm_mday)) +
           "</tt:Date></tt:UTCDateTime>";
}

std::string service(const char *ns, const std::string &address, const std::string &capabilities)
{
    return std::string("<tds:Service><tds:Namespace>") + ns + "</tds:Namespace><tds:XAddr>" + address + "</tds:XAddr>" +
           capabilities +
           "<tds:Version><tt:Major>2</tt:Major><tt:Minor>60</tt:Minor>"
           "</tds:Version></tds:Service>";
}

constexpr char kDeviceCapabilities[] =
    "<tds:Capabilities><tds:Network IPFilter=\"false\" ZeroConfiguration=\"false\" IPVersion6=\"false\" "
    "DynDNS=\"false\"/><tds:Security UsernameToken=\"true\" HttpDigest=\"false\" TLS1.2=\"false\"/>"
    "<tds:System DiscoveryResolve=\"false\" DiscoveryBye=\"false\" RemoteDiscovery=\"false\" "
    "SystemBackup=\"false\" SystemLogging=\"false\" FirmwareUpgrade=\"false\"/></tds:Capabilities>";
constexpr char kMediaCapabilities[] =
    "<trt:Capabilities SnapshotUri=\"%s\" Rotation=\"false\"><trt:ProfileCapabilities MaximumNumberOfProfiles=\"1\"/>"
    "<trt:StreamingCapabilities RTPMulticast=\"false\" RTP_TCP=\"true\" RTP_RTSP_TCP=\"true\"/></trt:Capabilities>";
constexpr char kPtzCapabilities[] =
    "<tptz:Capabilities EFlip=\"false\" Reverse=\"false\" GetCompatibleConfigurations=\"false\" "
    "MoveStatus=\"true\" StatusPosition=\"true\"/>";

std::string mediaCapabilities(bool snapshot)
{
    char text[sizeof kMediaCapabilities + 8];
    std::snprintf(text, sizeof text, kMediaCapabilities, snapshot ? "true" : "false");
    return text;
}

} // namespace

OnvifDevice::Reply OnvifDevice::getSystemDateAndTime(const Call &)
{
    return "<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime><tt:DateTimeType>Manual</tt:DateTimeType>"
           "<tt:DaylightSavings>false</tt:DaylightSavings><tt:TimeZone><tt:TZ>UTC0</tt:TZ></tt:TimeZone>" +
           utcDateTime(clock_()) + "</tds:SystemDateAndTime></tds:GetSystemDateAndTimeResponse>";
}

OnvifDevice::Reply OnvifDevice::getCapabilities(const Call &call)
{
    const std::string address = serviceAddress(call);
    return "<tds:GetCapabilitiesResponse><tds:Capabilities><tt:Device>" + element("tt:XAddr", address) +
           "</tt:Device><tt:Media>" + element("tt:XAddr", address) +
           "<tt:StreamingCapabilities><tt:RTPMulticast>false</tt:RTPMulticast><tt:RTP_TCP>true</tt:RTP_TCP>"
           "<tt:RTP_RTSP_TCP>true</tt:RTP_RTSP_TCP></tt:StreamingCapabilities></tt:Media><tt:PTZ>" +
           element("tt:XAddr", address) + "</tt:PTZ></tds:Capabilities></tds:GetCapabilitiesResponse>";
}

OnvifDevice::Reply OnvifDevice::getServices(const Call &call)
{
    const bool withCapabilities = text(child(call.soap.operation(), "IncludeCapability")) == "true";
    const std::string address = serviceAddress(call);
    const auto capabilities = [&](const std::string &inner) {
        return withCapabilities ? "<tds:Capabilities>" + inner + "</tds:Capabilities>" : std::string();
    };
    return "<tds:GetServicesResponse>" +
           service("http://www.onvif.org/ver10/device/wsdl", address, capabilities(kDeviceCapabilities)) +
           service("http://www.onvif.org/ver10/media/wsdl", address,
                   capabilities(mediaCapabilities(!options_.snapshotUri.empty()))) +
           service("http://www.onvif.org/ver20/ptz/wsdl", address, capabilities(kPtzCapabilities)) +
           "</tds:GetServicesResponse>";
}

OnvifDevice::Reply OnvifDevice::getDeviceServiceCapabilities(const Call &)
{
    return std::string("<tds:GetServiceCapabilitiesResponse>") + kDeviceCapabilities +
           "</tds:GetServiceCapabilitiesResponse>";
}

OnvifDevice::Reply OnvifDevice::getMediaServiceCapabilities(const Call &)
{
    return "<trt:GetServiceCapabilitiesResponse>" + mediaCapabilities(!options_.snapshotUri.empty()) +
           "</trt:GetServiceCapabilitiesResponse>";
}

OnvifDevice::Reply OnvifDevice::getPtzServiceCapabilities(const Call &)
{
    return std::string("<tptz:GetServiceCapabilitiesResponse>") + kPtzCapabilities +
           "</tptz:GetServiceCapabilitiesResponse>";
}

// Stable for one head on one machine, and different for two heads on it.
std::string OnvifDevice::serialNumber() const { return options_.hostName + ":" + head_.device(); }

OnvifDevice::Reply OnvifDevice::getDeviceInformation(const Call &)
{
    return "<tds:GetDeviceInformationResponse>" + element("tds:Manufacturer", "aimlink") +
           element("tds:Model", "aimheadd pan-tilt head") + element("tds:FirmwareVersion", AIMLINK_VERSION) +
           element("tds:SerialNumber", xmlEscaped(serialNumber())) + element("tds:HardwareId", "aimhead") +
           "</tds:GetDeviceInformationResponse>";
}

// None: a MAC address would give every head on this machine the same
// identity, so clients fall back to the serial number.
OnvifDevice::Reply OnvifDevice::getNetworkInterfaces(const Call &)
{
    return std::string("<tds:GetNetworkInterfacesResponse/>");
}

const std::vector<std::string> &scopeUris()
{
    static const std::vector<std::string> scopes = {
        "onvif://www.onvif.org/type/ptz", "onvif://www.onvif.org/type/video_encoder",
        "onvif://www.onvif.org/Profile/Streaming", "onvif://www.onvif.org/name/aimhead",
        "onvif://www.onvif.org/hardware/aimhead"};
    return scopes;
}

OnvifDevice::Reply OnvifDevice::getScopes(const Call &)
{
    std::string scopes;
    for (const std::string &scope : scopeUris())
        scopes += "<tds:Scopes><tt:ScopeDef>Fixed</tt:ScopeDef><tt:ScopeItem>" + scope + "</tt:ScopeItem></tds:Scopes>";
    return "<tds:GetScopesResponse>" + scopes + "</tds:GetScopesResponse>";
}

} // namespace aimheadd::onvif

// SPDX-License-Identifier: MIT
#include "onvif_device.h"

#include "log.h"
#include "text.h"

#include <cstdio>

namespace aimheadd::onvif {
namespace {

constexpr std::string_view kDevice = "http://www.onvif.org/ver10/device/wsdl";
constexpr std::string_view kMedia = "http://www.onvif.org/ver10/media/wsdl";
constexpr std::string_view kPtz = "http://www.onvif.org/ver20/ptz/wsdl";

HttpResponse soapResponse(SoapVersion version, int status, std::string body)
{
    HttpResponse response;
    response.status = status;
    response.contentType =
        version == SoapVersion::Soap12 ? "application/soap+xml; charset=utf-8" : "text/xml; charset=utf-8";
    response.body = std::move(body);
    return response;
}

HttpResponse faultResponse(SoapVersion version, const Fault &fault)
{
    return soapResponse(version, fault.httpStatus(), faultEnvelope(version, fault));
}

} // namespace

struct OnvifDevice::Operation {
    std::string_view ns;
    std::string_view name;
    bool beforeSignIn; // answered without a UsernameToken: what clients ask before they sign in
    Reply (OnvifDevice::*handler)(const Call &);
};

const OnvifDevice::Operation *OnvifDevice::find(const std::string &ns, const std::string &name)
{
    static const Operation operations[] = {
        {kDevice, "GetSystemDateAndTime", true, &OnvifDevice::getSystemDateAndTime},
        {kDevice, "GetCapabilities", true, &OnvifDevice::getCapabilities},
        {kDevice, "GetServices", true, &OnvifDevice::getServices},
        {kDevice, "GetServiceCapabilities", true, &OnvifDevice::getDeviceServiceCapabilities},
        {kDevice, "GetDeviceInformation", false, &OnvifDevice::getDeviceInformation},
        {kDevice, "GetNetworkInterfaces", false, &OnvifDevice::getNetworkInterfaces},
        {kDevice, "GetScopes", false, &OnvifDevice::getScopes},
        {kMedia, "GetServiceCapabilities", true, &OnvifDevice::getMediaServiceCapabilities},
        {kMedia, "GetProfiles", false, &OnvifDevice::getProfiles},
        {kMedia, "GetProfile", false, &OnvifDevice::getProfile},
        {kMedia, "GetVideoSources", false, &OnvifDevice::getVideoSources},
        {kMedia, "GetStreamUri", false, &OnvifDevice::getStreamUri},
        {kMedia, "GetSnapshotUri", false, &OnvifDevice::getSnapshotUri},
        {kPtz, "GetServiceCapabilities", true, &OnvifDevice::getPtzServiceCapabilities},
        {kPtz, "GetNodes", false, &OnvifDevice::getNodes},
        {kPtz, "GetNode", false, &OnvifDevice::getNode},
        {kPtz, "GetConfigurations", false, &OnvifDevice::getConfigurations},
        {kPtz, "GetConfiguration", false, &OnvifDevice::getConfiguration},
        {kPtz, "GetConfigurationOptions", false, &OnvifDevice::getConfigurationOptions},
        {kPtz, "GetStatus", false, &OnvifDevice::getStatus},
        {kPtz, "AbsoluteMove", false, &OnvifDevice::absoluteMove},
        {kPtz, "RelativeMove", false, &OnvifDevice::relativeMove},
        {kPtz, "ContinuousMove", false, &OnvifDevice::continuousMove},
        {kPtz, "Stop", false, &OnvifDevice::stop},
        {kPtz, "GotoHomePosition", false, &OnvifDevice::gotoHomePosition},
        {kPtz, "SetHomePosition", false, &OnvifDevice::setHomePosition},
        {kPtz, "GetPresets", false, &OnvifDevice::getPresets},
        {kPtz, "SetPreset", false, &OnvifDevice::setPreset},
        {kPtz, "GotoPreset", false, &OnvifDevice::gotoPreset},
        {kPtz, "RemovePreset", false, &OnvifDevice::removePreset},
    };
    for (const Operation &operation : operations)
        if (operation.ns == ns && operation.name == name)
            return &operation;
    return nullptr;
}

std::optional<VideoMode> parseVideoMode(const std::string &text)
{
    VideoMode mode;
    char end = 0;
    if (std::sscanf(text.c_str(), "%5ux%5u@%3u%c", &mode.width, &mode.height, &mode.fps, &end) != 3 ||
        mode.width == 0 || mode.height == 0 || mode.fps == 0 || mode.width > 16384 || mode.height > 16384 ||
        mode.fps > 240)
        return std::nullopt;
    return mode;
}

std::optional<FieldOfView> parseFieldOfView(const std::string &text)
{
    FieldOfView fov{};
    char end = 0;
    if (std::sscanf(text.c_str(), "%lf,%lf%c", &fov.horizontal, &fov.vertical, &end) != 2 ||
        !(fov.horizontal > 0 && fov.horizontal <= 360) || !(fov.vertical > 0 && fov.vertical <= 360))
        return std::nullopt;
    return fov;
}

OnvifDevice::OnvifDevice(EventLoop &loop, HeadService &head, PresetStore &presets, DeviceOptions options,
                         SystemClock clock)
    : loop_(loop), head_(head), presets_(presets), options_(std::move(options)), clock_(std::move(clock))
{
    if (options_.credentials)
        checker_.emplace(*options_.credentials);
}

OnvifDevice::~OnvifDevice() { cancelJog(); }

std::optional<Fault> OnvifDevice::refusal(const Operation &operation, const Call &call)
{
    if (operation.beforeSignIn || !checker_)
        return std::nullopt;
    const auto verdict = checker_->check(call.soap.token(), clock_());
    if (verdict == TokenChecker::Verdict::Accepted)
        return std::nullopt;
    // The reason only: never the password, the digest or the nonce.
    logLine(Priority::Warning, "onvif: client " + call.http.peerAddress + " refused for " +
                                   std::string(operation.name) + ": " + TokenChecker::describe(verdict));
    return notAuthorized();
}

HttpResponse OnvifDevice::handle(const HttpRequest &request)
{
    if (request.method != "POST")
        return soapResponse(SoapVersion::Soap12, 405,
                            faultEnvelope(SoapVersion::Soap12, {true, {}, "ONVIF requests are SOAP over POST"}));
    const auto parsed = SoapRequest::parse(request.body);
    if (const auto *fault = std::get_if<Fault>(&parsed))
        return faultResponse(SoapVersion::Soap12, *fault);
    const SoapRequest &soap = std::get<SoapRequest>(parsed);
    const Call call{request, soap, "onvif " + request.peerAddress};
    const Operation *operation = find(soap.operationNamespace(), soap.operationName());
    if (operation == nullptr) {
        logLine(Priority::Debug, "onvif: client " + request.peerAddress + " asked for " + "'" +
                                     aimlink::escaped(soap.operationName()) + "', not offered");
        return faultResponse(soap.version(), actionNotSupported());
    }
    if (const auto fault = refusal(*operation, call))
        return faultResponse(soap.version(), *fault);
    const Reply reply = (this->*operation->handler)(call);
    if (const auto *fault = std::get_if<Fault>(&reply))
        return faultResponse(soap.version(), *fault);
    return soapResponse(soap.version(), 200, envelope(soap.version(), std::get<std::string>(reply)));
}

// Every service answers at every path; the path clients know best.
std::string OnvifDevice::serviceAddress(const Call &call) const
{
    return "http://" + xmlEscaped(call.http.host) + "/onvif/device_service";
}

} // namespace aimheadd::onvif

// SPDX-License-Identifier: MIT
// The head as an ONVIF PTZ camera: device, media and PTZ services answering
// SOAP requests. A request is dispatched on its body's first element
// (namespace and name) alone, never on the path or the SOAP action, since
// clients disagree on both; every service answers at every path. Runs on
// the event loop's thread, as the HTTP listener calls it.
#ifndef AIMHEADD_ONVIF_DEVICE_H
#define AIMHEADD_ONVIF_DEVICE_H

#include "event_loop.h"
#include "head_service.h"
#include "http_listener.h"
#include "preset_store.h"
#include "ptz_space.h"
#include "soap.h"
#include "username_token.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace aimheadd::onvif {

struct VideoMode {
    unsigned width = 1920;
    unsigned height = 1080;
    unsigned fps = 25;
};

// "1920x1080@25"; nullopt when not of that form or out of reason.
std::optional<VideoMode> parseVideoMode(const std::string &text);
// "62.2,48.8" in degrees, each above 0 and at most 360.
std::optional<FieldOfView> parseFieldOfView(const std::string &text);

struct DeviceOptions {
    std::string hostName;  // this machine, for the serial number and the scopes
    std::string streamUri; // the user's stream of the camera on the head; empty: none
    std::string snapshotUri;
    VideoMode video;
    std::optional<FieldOfView> fov;
    std::optional<Credentials> credentials; // none: every request is answered (loopback only)
};

inline constexpr std::chrono::seconds kDefaultJogTimeout{5};
inline constexpr std::size_t kMaximumPresetCount = 100;

// The device's scopes as URIs, for GetScopes and WS-Discovery.
const std::vector<std::string> &scopeUris();

// A position as a PanTilt element in the generic position space.
std::string genericPanTilt(const aimlink_angles &angles);

class OnvifDevice {
public:
    using Reply = std::variant<std::string, Fault>;
    using SystemClock = std::function<std::chrono::system_clock::time_point()>;

    OnvifDevice(EventLoop &loop, HeadService &head, PresetStore &presets, DeviceOptions options,
                SystemClock clock = std::chrono::system_clock::now);
    ~OnvifDevice();
    OnvifDevice(const OnvifDevice &) = delete;
    OnvifDevice &operator=(const OnvifDevice &) = delete;

    HttpResponse handle(const HttpRequest &request);

    // The request being answered, for the handlers.
    struct Call {
        const HttpRequest &http;
        const SoapRequest &soap;
        std::string owner; // names the client in the head's log
    };

private:
    struct Operation;
    static const Operation *find(const std::string &ns, const std::string &name);
    std::optional<Fault> refusal(const Operation &operation, const Call &call);
    std::string serviceAddress(const Call &call) const;

    // Device service.
    Reply getSystemDateAndTime(const Call &call);
    Reply getCapabilities(const Call &call);
    Reply getServices(const Call &call);
    Reply getDeviceServiceCapabilities(const Call &call);
    Reply getDeviceInformation(const Call &call);
    Reply getNetworkInterfaces(const Call &call);
    Reply getScopes(const Call &call);
    std::string serialNumber() const;

    // Media service.
    Reply getProfiles(const Call &call);
    Reply getProfile(const Call &call);
    Reply getVideoSources(const Call &call);
    Reply getStreamUri(const Call &call);
    Reply getSnapshotUri(const Call &call);
    Reply getMediaServiceCapabilities(const Call &call);
    std::string profileXml(const char *element) const;

    // PTZ service.
    Reply getPtzServiceCapabilities(const Call &call);
    Reply getNodes(const Call &call);
    Reply getNode(const Call &call);
    Reply getConfigurations(const Call &call);
    Reply getConfiguration(const Call &call);
    Reply getConfigurationOptions(const Call &call);
    Reply getStatus(const Call &call);
    Reply absoluteMove(const Call &call);
    Reply relativeMove(const Call &call);
    Reply continuousMove(const Call &call);
    Reply stop(const Call &call);
    Reply gotoHomePosition(const Call &call);
    Reply setHomePosition(const Call &call);
    Reply getPresets(const Call &call);
    Reply setPreset(const Call &call);
    Reply gotoPreset(const Call &call);
    Reply removePreset(const Call &call);
    Reply moved(const std::variant<HeadService::Accepted, HeadService::Refused> &result, const char *response);
    Reply moveTo(const Call &call, const aimlink_angles &target, const char *response);
    Reply standStill(const std::string &owner, const char *response);
    void endJogAfter(std::chrono::milliseconds timeout, const std::string &owner, const aimlink_angles &target);
    void cancelJog();
    std::optional<aimlink_angles> currentTarget() const;
    std::string nodeXml(const char *element) const;
    std::string configurationXml(const char *element) const;
    std::string moveStatus() const;

    EventLoop &loop_;
    HeadService &head_;
    PresetStore &presets_;
    DeviceOptions options_;
    SystemClock clock_;
    std::optional<TokenChecker> checker_;
    std::optional<EventLoop::TimerId> jogTimer_;
};

} // namespace aimheadd::onvif

#endif

// SPDX-License-Identifier: MIT
// The --onvif options of aimheadd, checked as they are read, and the ONVIF
// port they start: the device's services on an HTTP listener of their own.
#ifndef AIMHEADD_ONVIF_OPTIONS_H
#define AIMHEADD_ONVIF_OPTIONS_H

#include "discovery.h"
#include "event_loop.h"
#include "head_service.h"
#include "http_listener.h"
#include "onvif_device.h"
#include "preset_store.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace aimheadd::onvif {

enum class Option { Address, Host, StreamUri, SnapshotUri, Video, FieldOfView, Credentials, Discovery };

struct Settings {
    std::optional<std::string> where; // [ADDR:]PORT; none: no ONVIF port
    std::vector<std::string> hosts;   // further names the Host header may carry
    std::string streamUri;
    std::string snapshotUri;
    VideoMode video;
    std::optional<FieldOfView> fov;
    std::optional<Credentials> credentials;
    bool discovery = false;
    std::vector<std::string> given; // the options given, for checkSettings
};

// Takes one option's value into settings; when it is refused, the line to
// show, naming the option and the reason.
std::optional<std::string> takeOption(Option option, const std::string &value, Settings &settings);
// After every option: an --onvif-* option without --onvif, named.
std::optional<std::string> checkSettings(const Settings &settings);

// Bodies beyond this are refused with 413: real requests stay under 2 KiB.
inline constexpr std::size_t kMaxRequestBody = 16384;

// The ONVIF device answering on its own port, and announced by
// WS-Discovery when asked. Throws std::runtime_error naming the address and
// the reason, as when the port is taken or reaches beyond loopback without
// credentials.
class OnvifPort {
public:
    OnvifPort(EventLoop &loop, HeadService &head, const std::string &presetsPath, const Settings &settings);
    // "http://127.0.0.1:8000/onvif/device_service"
    std::string deviceUrl() const;

private:
    PresetStore presets_;
    OnvifDevice device_;
    HttpListener listener_;
    std::unique_ptr<Discovery> discovery_;
};

} // namespace aimheadd::onvif

#endif

// SPDX-License-Identifier: MIT
// WS-Discovery for the ONVIF device, off unless asked for: a unicast
// ProbeMatch to a well-formed Probe for a video transmitter or a device,
// Hello when it starts and Bye when it stops, on UDP 3702 of the multicast
// group 239.255.255.250. Replies are rate-limited, so that spoofed probes
// cannot turn the daemon into an amplifier.
#ifndef AIMHEADD_ONVIF_DISCOVERY_H
#define AIMHEADD_ONVIF_DISCOVERY_H

#include "event_loop.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace aimheadd::onvif {

inline constexpr uint16_t kDiscoveryPort = 3702;
inline constexpr unsigned kMaxProbeMatchesPerSecond = 10;

// "urn:uuid:..." derived from the head's serial number: the same head keeps it.
std::string endpointReference(const std::string &serialNumber);

// The ProbeMatches for datagram, or nullopt when it is not a well-formed
// Probe whose Types (none, or any of them) this device is.
std::optional<std::string> probeMatch(std::string_view datagram, const std::string &endpoint, const std::string &xaddr);
std::string helloMessage(const std::string &endpoint, const std::string &xaddr);
std::string byeMessage(const std::string &endpoint);

class Discovery {
public:
    // xaddrHost: the host in the device's address, empty when the port is
    // bound to every address: then the address each probe came to. Throws
    // std::runtime_error naming the port and the reason.
    Discovery(EventLoop &loop, std::string endpoint, std::string xaddrHost, uint16_t port);
    ~Discovery();
    Discovery(const Discovery &) = delete;
    Discovery &operator=(const Discovery &) = delete;

private:
    void readable();
    bool withinRate();
    std::string xaddr(const std::string &host) const;
    void announce(const std::string &message) const;

    EventLoop &loop_;
    std::string endpoint_;
    std::string xaddrHost_;
    uint16_t port_;
    int fd_ = -1;
    std::chrono::steady_clock::time_point windowStart_{};
    unsigned repliesInWindow_ = 0;
};

} // namespace aimheadd::onvif

#endif

// SPDX-License-Identifier: MIT
// aimheadd's command line: one option table for the parser and --help, and
// every value checked before anything is opened.
#ifndef AIMHEADD_DAEMON_OPTIONS_H
#define AIMHEADD_DAEMON_OPTIONS_H

#include "arguments.h"
#include "onvif_options.h"
#include "peer_user.h"

#include <optional>
#include <string>
#include <vector>

namespace aimheadd {

enum ExitStatus {
    kStopped = 0,
    kFailure = 1,
    kBadCommandLine = 2,
    kSocketFailed = 3,
    kRotatorPortFailed = 4,
    kWebFailed = 5,
    kMqttFailed = 6,
    kOnvifFailed = 7
};

struct Options {
    std::string device;
    std::string socket;
    std::optional<std::string> rotctld;
    std::vector<Network> rotctldAllowed;
    std::optional<std::string> http;
    std::string httpTokenFile;
    std::vector<std::string> httpHosts;
    std::string presets;
    std::optional<std::string> mqtt;
    std::string mqttCa;
    std::string mqttCredentials;
    std::string mqttId;
    std::string mqttPrefix = "aimhead";
    std::string mqttDiscoveryPrefix = "homeassistant";
    bool mqttDiscovery = true;
    onvif::Settings onvif;
    bool initialise = true;
    aimhead::LineSettings line;
    bool verbose = false;
};

// Fills options; returns an exit status when the program should end now:
// after --help or --version, or after one line naming a bad option.
std::optional<int> parseOptions(int argc, char **argv, Options &options);

} // namespace aimheadd

#endif

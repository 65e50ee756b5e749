// SPDX-License-Identifier: MIT
#include "daemon_options.h"

#include "daemon_socket.h"
#include "mqtt_messages.h"
#include "presets.h"

#include <cstdio>
#include <stdexcept>
#include <utility>
#include <variant>

#include <getopt.h>

#ifndef AIMLINK_VERSION
#define AIMLINK_VERSION "unknown"
#endif

namespace aimheadd {

namespace {

constexpr char kUsage[] =
    "Usage: aimheadd [options]\n"
    "Owns the pan-tilt camera head and shares it with many programs at once.\n"
    "\n"
    "Options:\n"
    "  -d, --device PATH       serial device of the head (default: AIMLINK_DEVICE, else /dev/ttyS3)\n"
    "  -s, --socket PATH       local socket (default: $XDG_RUNTIME_DIR/aimhead/socket,\n"
    "                          else /run/aimhead/socket)\n"
    "  --rotctld [ADDR:]PORT   also speak Hamlib's rotator protocol on TCP (off by default;\n"
    "                          ADDR defaults to 127.0.0.1; PORT to 4533 when none is given)\n"
    "  --rotctld-allow ADDR/BITS  take changes on the rotator port from clients beyond\n"
    "                          loopback in this block (repeatable); the protocol has no\n"
    "                          authentication of its own\n"
    "  --http [ADDR:]PORT      also serve the web page and its HTTP API (off by default;\n"
    "                          ADDR defaults to 127.0.0.1; beyond loopback, changes need a token)\n"
    "  --http-host NAME        a further name the web page may be reached by (repeatable);\n"
    "                          requests naming any other host are refused\n"
    "  --http-token-file FILE  take the web token from the first line of FILE instead of\n"
    "                          making one and keeping it in web-token beside the presets\n"
    "  --presets FILE          the preset file the web page uses (default:\n"
    "                          $XDG_CONFIG_HOME/aimhead/presets.json)\n"
    "  --mqtt URL              also put the head on an MQTT broker: mqtt://HOST[:PORT], or\n"
    "                          mqtts://HOST[:PORT] with --mqtt-ca\n"
    "  --mqtt-ca FILE          the CA certificate that signed the broker's\n"
    "  --mqtt-credentials FILE user:password for the broker, from a file of mode 0600 at most\n"
    "  --mqtt-id ID            the head's id in its topics (default: HOST-DEVICE; letters,\n"
    "                          digits, '_' and '-')\n"
    "  --mqtt-prefix P         the topics' prefix (default: aimhead): P/ID/state, P/ID/move, ...\n"
    "  --mqtt-discovery-prefix P  Home Assistant's discovery prefix (default: homeassistant)\n"
    "  --no-mqtt-discovery     publish no Home Assistant discovery\n"
    "  --onvif [ADDR:]PORT     also be an ONVIF PTZ camera (off by default; ADDR defaults to\n"
    "                          127.0.0.1; beyond loopback only with --onvif-credentials)\n"
    "  --onvif-host NAME       a further name the ONVIF port may be reached by (repeatable)\n"
    "  --onvif-stream-uri URI  the stream of the camera on the head, as rtsp://HOST:PORT/PATH\n"
    "  --onvif-snapshot-uri URI  a still image of that camera\n"
    "  --onvif-video WxH@FPS   that stream's size and rate (default 1920x1080@25)\n"
    "  --onvif-fov H,V         the camera's field of view in degrees, for autotracking\n"
    "  --onvif-credentials FILE  user:password that ONVIF clients sign in with, from a file\n"
    "                          of mode 0600 at most\n"
    "  --onvif-discovery       answer WS-Discovery probes on UDP 3702, with Hello and Bye\n"
    "  --no-initialise         do not send the initialise frame when the device is first opened\n"
    "  --baud N                the port's line speed (default 9600)\n"
    "  --reply-timeout MS      how long the head may take to answer a frame (default 1000)\n"
    "  --flow-control keep|off off switches RTS/CTS off, for three-wire cables; keep (the\n"
    "                          default) leaves the port as it is\n"
    "  -v, --verbose           also log every client's connect and command, and every\n"
    "                          frame written to the head and reply read (hex and meaning)\n"
    "  -h, --help              show this text\n"
    "  --version               show the version\n"
    "Runs until SIGINT or SIGTERM. Exit status: 0 after a signal, 1 on an internal failure,\n"
    "2 for bad options, 3 when the socket cannot be set up, 4 when the rotator port cannot,\n"
    "5 when the web server cannot, 6 when the MQTT client cannot, 7 when the ONVIF port cannot.\n";

int badOption(const std::string &message)
{
    std::fprintf(stderr, "aimheadd: %s (see aimheadd --help)\n", message.c_str());
    return kBadCommandLine;
}

// Every option once: its long name, whether it takes a value, and the key
// the parser switches on. Options without a short form take keys from 256.
enum OptionKey : int {
    kHelp = 'h',
    kDevice = 'd',
    kSocket = 's',
    kVerbose = 'v',
    kVersion = 256,
    kRotctld,
    kRotctldAllow,
    kHttp,
    kHttpTokenFile,
    kHttpHost,
    kPresets,
    kNoInitialise,
    kBaud,
    kReplyTimeout,
    kFlowControl,
    kMqtt,
    kMqttCa,
    kMqttCredentials,
    kMqttId,
    kMqttPrefix,
    kMqttDiscoveryPrefix,
    kNoMqttDiscovery,
    kOnvif, // the ONVIF options in the order of onvif::Option
    kOnvifHost,
    kOnvifStreamUri,
    kOnvifSnapshotUri,
    kOnvifVideo,
    kOnvifFov,
    kOnvifCredentials,
    kOnvifDiscovery,
};

constexpr char kShortOptions[] = ":hd:s:v";
const option kLongOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"device", required_argument, nullptr, kDevice},
    {"socket", required_argument, nullptr, kSocket},
    {"rotctld", optional_argument, nullptr, kRotctld},
    {"rotctld-allow", required_argument, nullptr, kRotctldAllow},
    {"http", required_argument, nullptr, kHttp},
    {"http-token-file", required_argument, nullptr, kHttpTokenFile},
    {"http-host", required_argument, nullptr, kHttpHost},
    {"presets", required_argument, nullptr, kPresets},
    {"no-initialise", no_argument, nullptr, kNoInitialise},
    {"no-initialize", no_argument, nullptr, kNoInitialise},
    {"baud", required_argument, nullptr, kBaud},
    {"reply-timeout", required_argument, nullptr, kReplyTimeout},
    {"flow-control", required_argument, nullptr, kFlowControl},
    {"mqtt", required_argument, nullptr, kMqtt},
    {"mqtt-ca", required_argument, nullptr, kMqttCa},
    {"mqtt-credentials", required_argument, nullptr, kMqttCredentials},
    {"mqtt-id", required_argument, nullptr, kMqttId},
    {"mqtt-prefix", required_argument, nullptr, kMqttPrefix},
    {"mqtt-discovery-prefix", required_argument, nullptr, kMqttDiscoveryPrefix},
    {"no-mqtt-discovery", no_argument, nullptr, kNoMqttDiscovery},
    {"onvif", required_argument, nullptr, kOnvif},
    {"onvif-host", required_argument, nullptr, kOnvifHost},
    {"onvif-stream-uri", required_argument, nullptr, kOnvifStreamUri},
    {"onvif-snapshot-uri", required_argument, nullptr, kOnvifSnapshotUri},
    {"onvif-video", required_argument, nullptr, kOnvifVideo},
    {"onvif-fov", required_argument, nullptr, kOnvifFov},
    {"onvif-credentials", required_argument, nullptr, kOnvifCredentials},
    {"onvif-discovery", no_argument, nullptr, kOnvifDiscovery},
    {"verbose", no_argument, nullptr, kVerbose},
    {nullptr, 0, nullptr, 0},
};

// The port's settings are checked by the library as they are read.
std::optional<int> refusedSetting(const std::string &refused)
{
    if (refused.empty())
        return std::nullopt;
    std::fprintf(stderr, "aimheadd: %s\n", refused.c_str());
    return kBadCommandLine;
}

// Sets one option; returns an exit status when the program should end now.
std::optional<int> takeOption(int key, int argc, char **argv, Options &options)
{
    switch (key) {
    case kHelp:
        std::fputs(kUsage, stdout);
        return kStopped;
    case kVersion:
        std::printf("aimheadd %s (aimlink %s)\n", AIMLINK_VERSION, aimlink_version());
        return kStopped;
    case kDevice:
        options.device = optarg;
        break;
    case kSocket:
        options.socket = optarg;
        break;
    case kRotctld:
        // The port may follow as the next word, as in "--rotctld 4533".
        if (optarg != nullptr)
            options.rotctld = optarg;
        else if (optind < argc && argv[optind][0] != '-')
            options.rotctld = argv[optind++];
        else
            options.rotctld = "4533";
        break;
    case kRotctldAllow:
        try {
            options.rotctldAllowed.emplace_back(optarg);
        } catch (const std::invalid_argument &error) {
            return badOption(std::string("--rotctld-allow ") + optarg + ": " + error.what());
        }
        break;
    case kHttp:
        options.http = optarg;
        break;
    case kHttpTokenFile:
        options.httpTokenFile = optarg;
        break;
    case kHttpHost:
        options.httpHosts.emplace_back(optarg);
        break;
    case kPresets:
        options.presets = optarg;
        break;
    case kNoInitialise:
        options.initialise = false;
        break;
    case kBaud:
        return refusedSetting(aimhead::takeBaud(optarg, options.line));
    case kReplyTimeout:
        return refusedSetting(aimhead::takeReplyTimeout(optarg, options.line));
    case kFlowControl:
        return refusedSetting(aimhead::takeFlowControl(optarg, options.line));
    case kMqtt:
        options.mqtt = optarg;
        break;
    case kMqttCa:
        options.mqttCa = optarg;
        break;
    case kMqttCredentials:
        options.mqttCredentials = optarg;
        break;
    case kMqttId:
        options.mqttId = optarg;
        break;
    case kMqttPrefix:
        options.mqttPrefix = optarg;
        break;
    case kMqttDiscoveryPrefix:
        options.mqttDiscoveryPrefix = optarg;
        break;
    case kNoMqttDiscovery:
        options.mqttDiscovery = false;
        break;
    case kOnvif:
    case kOnvifHost:
    case kOnvifStreamUri:
    case kOnvifSnapshotUri:
    case kOnvifVideo:
    case kOnvifFov:
    case kOnvifCredentials:
    case kOnvifDiscovery:
        if (const auto problem = onvif::takeOption(static_cast<onvif::Option>(key - kOnvif),
                                                   optarg != nullptr ? optarg : "", options.onvif))
            return badOption(*problem);
        break;
    case kVerbose:
        options.verbose = true;
        options.line.trace = true;
        break;
    case ':':
        return badOption(aimhead::refusedOption(argv) + " needs a value");
    default:
        return badOption("unknown option '" + aimhead::refusedOption(argv) + "'");
    }
    return std::nullopt;
}

// The broker's URL and the topics' names, checked before anything starts.
std::optional<std::string> checkMqttOptions(const Options &options)
{
    if (!options.mqtt)
        return std::nullopt;
    const auto url = mqtt::parseBrokerUrl(*options.mqtt);
    if (const auto *problem = std::get_if<std::string>(&url))
        return *problem;
    if (!options.mqttId.empty() && !mqtt::validId(options.mqttId))
        return "--mqtt-id '" + options.mqttId + "': 1 to 64 letters, digits, '_' or '-'";
    for (const auto &[name, prefix] : {std::pair{"--mqtt-prefix", &options.mqttPrefix},
                                       std::pair{"--mqtt-discovery-prefix", &options.mqttDiscoveryPrefix}})
        if (!mqtt::validPrefix(*prefix))
            return std::string(name) + " '" + *prefix + "': levels of letters, digits, '_' or '-', joined by '/'";
    return std::nullopt;
}

} // namespace

std::optional<int> parseOptions(int argc, char **argv, Options &options)
{
    opterr = 0;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): no thread runs yet
    for (int key; (key = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1;)
        if (const auto ended = takeOption(key, argc, argv, options))
            return ended;
    if (optind < argc)
        return badOption("unexpected argument '" + std::string(argv[optind]) + "'");
    if (const auto problem = checkMqttOptions(options))
        return badOption(*problem);
    if (const auto problem = onvif::checkSettings(options.onvif))
        return badOption(*problem);
    if (options.socket.empty())
        options.socket = aimhead::defaultSocketPath();
    if (options.presets.empty()) {
        try {
            options.presets = aimhead::defaultPresetsPath();
        } catch (const aimhead::PresetsError &) {
            // Left empty: the web page's presets then say what is missing.
        }
    }
    return std::nullopt;
}

} // namespace aimheadd

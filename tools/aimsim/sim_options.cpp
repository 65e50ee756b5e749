// SPDX-License-Identifier: MIT
#include "sim_options.h"

#include "arguments.h"

#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <getopt.h>

#ifndef AIMLINK_VERSION
#define AIMLINK_VERSION "unknown"
#endif

namespace aimsim {

namespace {

constexpr char kUsage[] = "Usage: aimsim [options]\n"
                          "Plays a pan-tilt camera head on a pseudo-terminal. Prints the terminal's path as the\n"
                          "first line on standard output, then answers frames until SIGINT or SIGTERM.\n"
                          "\n"
                          "Options:\n"
                          "  --link PATH         also make a symlink PATH to the terminal (removed on exit)\n"
                          "  --start PAN,TILT    starting position in camera counts (default 0,0)\n"
                          "  --speed N           travel speed in counts per second per axis, at most 1000000;\n"
                          "                      0 travels at once (default 500, 1 rad/s)\n"
                          "  --latency MS        delay before each reply in milliseconds (default 5)\n"
                          "  --baud N            the head's line speed (default 9600): replies take its byte\n"
                          "                      time, and frames sent at another speed go unanswered\n"
                          "  --trace             one line per frame each way on standard error, time-stamped\n"
                          "                      (seconds of the monotonic clock), decoded and in hex\n"
                          "Faults:\n"
                          "  --reject N          reject every Nth frame\n"
                          "  --split             send each reply in two pieces, 60 ms apart\n"
                          "  --noise             send a few stray bytes before each reply\n"
                          "  --corrupt N         put a non-hexadecimal digit into every Nth position reply\n"
                          "  --silent-after N    stop answering after N frames\n"
                          "  --hangup-after N    close the line after N frames\n"
                          "\n"
                          "  --help              show this text\n"
                          "  --version           show the version\n"
                          "Travel is limited to pan -890..890 and tilt -267..800 counts. Exit status: 0 after a\n"
                          "signal, 1 when the terminal cannot be set up, 2 for bad options.\n";

[[noreturn]] void badOption(const std::string &message)
{
    std::fprintf(stderr, "aimsim: %s (see aimsim --help)\n", message.c_str());
    std::exit(2);
}

int wholeNumber(std::string_view option, const char *text, int minimum, int maximum = INT_MAX)
{
    int value = 0;
    const std::string_view digits(text);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || value < minimum ||
        value > maximum)
        badOption(std::string(option) + " needs a whole number " +
                  (maximum == INT_MAX ? "of at least " + std::to_string(minimum)
                                      : "from " + std::to_string(minimum) + " to " + std::to_string(maximum)) +
                  ", got '" + text + "'");
    return value;
}

Position startPosition(const char *text)
{
    const std::string_view pair(text);
    const auto comma = pair.find(',');
    int values[2] = {0, 0};
    bool valid = comma != std::string_view::npos;
    for (int i = 0; valid && i < 2; ++i) {
        const std::string_view part = i == 0 ? pair.substr(0, comma) : pair.substr(comma + 1);
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), values[i]);
        valid = !part.empty() && error == std::errc() && end == part.data() + part.size();
    }
    if (!valid || values[0] < -kPanLimit || values[0] > kPanLimit || values[1] < kTiltMin || values[1] > kTiltMax)
        badOption(std::string("--start needs PAN,TILT in counts within the travel, got '") + text + "'");
    return {values[0], values[1]};
}

// Every option once: its long name, whether it takes a value, and the key
// the parser switches on (above the characters, since none has a short form).
enum OptionKey : int {
    kHelp = 256,
    kVersion,
    kLink,
    kStart,
    kSpeed,
    kLatency,
    kBaud,
    kTrace,
    kReject,
    kSplit,
    kNoise,
    kCorrupt,
    kSilentAfter,
    kHangupAfter,
};

const option kLongOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"link", required_argument, nullptr, kLink},
    {"start", required_argument, nullptr, kStart},
    {"speed", required_argument, nullptr, kSpeed},
    {"latency", required_argument, nullptr, kLatency},
    {"baud", required_argument, nullptr, kBaud},
    {"trace", no_argument, nullptr, kTrace},
    {"reject", required_argument, nullptr, kReject},
    {"split", no_argument, nullptr, kSplit},
    {"noise", no_argument, nullptr, kNoise},
    {"corrupt", required_argument, nullptr, kCorrupt},
    {"silent-after", required_argument, nullptr, kSilentAfter},
    {"hangup-after", required_argument, nullptr, kHangupAfter},
    {nullptr, 0, nullptr, 0},
};

// The speeds a client can set are the library's: a head at any other speed
// could never be reached.
int lineSpeed(const char *text)
{
    aimhead::LineSettings settings;
    if (const std::string refused = aimhead::takeBaud(text, settings); !refused.empty())
        badOption(refused);
    return *settings.baud;
}

void takeOption(int key, char **argv, Options &options)
{
    switch (key) {
    case kHelp:
        std::fputs(kUsage, stdout);
        std::exit(0);
    case kVersion:
        std::puts("aimsim " AIMLINK_VERSION);
        std::exit(0);
    case kLink:
        options.link = optarg;
        break;
    case kStart:
        options.start = startPosition(optarg);
        break;
    case kSpeed:
        options.speed = wholeNumber("--speed", optarg, 0, kFastestSpeed);
        break;
    case kLatency:
        options.latencyMs = wholeNumber("--latency", optarg, 0);
        break;
    case kBaud:
        options.baud = lineSpeed(optarg);
        break;
    case kTrace:
        options.trace = true;
        break;
    case kReject:
        options.rejectEvery = wholeNumber("--reject", optarg, 1);
        break;
    case kSplit:
        options.split = true;
        break;
    case kNoise:
        options.noise = true;
        break;
    case kCorrupt:
        options.corruptEvery = wholeNumber("--corrupt", optarg, 1);
        break;
    case kSilentAfter:
        options.silentAfter = wholeNumber("--silent-after", optarg, 0);
        break;
    case kHangupAfter:
        options.hangupAfter = wholeNumber("--hangup-after", optarg, 0);
        break;
    case ':':
        badOption(aimhead::refusedOption(argv) + " needs a value");
    default:
        badOption("unknown option '" + aimhead::refusedOption(argv) + "'");
    }
}

} // namespace

Options parseOptions(int argc, char **argv)
{
    Options options;
    opterr = 0;
    for (int key; (key = getopt_long(argc, argv, ":", kLongOptions, nullptr)) != -1;)
        takeOption(key, argv, options);
    if (optind < argc)
        badOption("unexpected argument '" + std::string(argv[optind]) + "'");
    return options;
}

} // namespace aimsim

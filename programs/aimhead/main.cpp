// aimhead: points the camera head, reports where it points, nudges it and
// keeps named views of it.
#include "arguments.h"
#include "head.h"
#include "jog.h"
#include "presets.h"
#include "server_head.h"
#include "signals.h"
#include "text.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#ifndef AIMLINK_VERSION
#define AIMLINK_VERSION "unknown"
#endif

namespace {

using namespace aimhead;
using nlohmann::json;

constexpr char kUsage[] = "Usage:\naimhead pan tilt [zoom]\npan and tilt are in thousandths of radians\n";

constexpr char kMoreUsage[] =
    "\n"
    "aimhead [options] get             print where the head points\n"
    "aimhead [options] home            send the head to its home position\n"
    "aimhead [options] by DPAN DTILT   move relative to where the head points\n"
    "aimhead [options] save NAME [PAN TILT]\n"
    "                                  keep where the head points (or PAN TILT) as NAME\n"
    "aimhead [options] goto NAME       move to a saved preset\n"
    "aimhead [options] presets         list the saved presets\n"
    "aimhead [options] forget NAME     remove a saved preset\n"
    "aimhead [options] jog             full-screen: arrows move, + - step, s save, h home, q quit\n"
    "\n"
    "Options:\n"
    "  -d DEVICE         the serial device (else AIMLINK_DEVICE, else /dev/ttyS3)\n"
    "  --server SOCKET   go through the daemon aimheadd at SOCKET instead of the port\n"
    "                    (else AIMHEAD_SERVER, unless -d is given); jog needs the port\n"
    "  --json            print results as JSON, for scripts\n"
    "  --no-initialise   do not initialise the head first (for heads that move when initialised)\n"
    "  -h, --help        show this text\n"
    "  --version         show the version\n"
    "\n"
    "Presets live in $XDG_CONFIG_HOME/aimhead/presets.json (else ~/.config/aimhead/).\n"
    "Exit status: 0 done, 1 the port or the head failed, 2 bad command line,\n"
    "3 the presets file cannot be used, 4 no such preset, 128+N ended by signal N.\n";

struct Options {
    std::string device;
    std::string server; // empty: the port itself
    bool json = false;
    bool initialise = true;
    std::vector<std::string_view> words;
    char **commandLine = nullptr; // as given, for a program that takes over
};

std::optional<int16_t> argument(const char *name, const char *unit, std::string_view text)
{
    const auto value = parseAngle(text);
    if (!value)
        std::fprintf(stderr, "aimhead: %s must be a whole number%s from -32768 to 32767, got %s\n", name, unit,
                     quoted(text).c_str());
    return value;
}

constexpr char kAngleUnit[] = " of milliradians";

int badCommandLine(const std::string &line)
{
    std::fprintf(stderr, "aimhead: %s (see aimhead --help)\n", line.c_str());
    return kBadCommandLine;
}

void printPosition(const Options &options, aimlink_angles position)
{
    if (options.json)
        std::printf("%s\n", json{{"pan", position.pan}, {"tilt", position.tilt}}.dump().c_str());
    else
        std::printf("%s\n", angles(position).c_str());
}

// The port, or the daemon when one was named. The daemon initialised the
// head once, so initialise has no meaning there.
std::unique_ptr<Head> makeHead(const Options &options, bool initialise)
{
    if (!options.server.empty())
        return std::make_unique<ServerHead>(options.server);
    return std::make_unique<DirectHead>(options.device, initialise);
}

// After a move: the report it ended on, for scripts that asked for JSON.
int finishMove(const Options &options, Head &head, int status)
{
    aimlink_angles reported{};
    if (status == kSuccess && options.json && head.lastPosition(reported))
        printPosition(options, reported);
    head.close();
    return status;
}

int moveTo(const Options &options, aimlink_angles target)
{
    const auto head = makeHead(options, options.initialise);
    int status = head->open();
    if (status == kSuccess)
        status = head->moveTo(target);
    return finishMove(options, *head, status);
}

// Opens the head and reads where it points.
int openAndRead(Head &head, aimlink_angles &reported)
{
    const int status = head.open();
    return status == kSuccess ? head.position(reported) : status;
}

int get(const Options &options)
{
    const auto head = makeHead(options, options.initialise);
    aimlink_angles reported{};
    const int status = openAndRead(*head, reported);
    if (status == kSuccess)
        printPosition(options, reported);
    head->close();
    return status;
}

int home(const Options &options)
{
    const auto head = makeHead(options, options.initialise);
    int status = head->open();
    if (status == kSuccess)
        status = head->home();
    return finishMove(options, *head, status);
}

int32_t clampedAngle(int32_t angle)
{
    return std::clamp<int32_t>(angle, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max());
}

int by(const Options &options, int16_t panStep, int16_t tiltStep)
{
    const auto head = makeHead(options, options.initialise);
    aimlink_angles reported{};
    int status = openAndRead(*head, reported);
    if (status == kSuccess)
        status = head->moveTo({clampedAngle(reported.pan + panStep), clampedAngle(reported.tilt + tiltStep)});
    return finishMove(options, *head, status);
}

// Runs a step on the presets file; its failures are one line and status 3.
template <typename Step> int withPresets(Step step)
{
    try {
        return step(defaultPresetsPath());
    } catch (const PresetsError &error) {
        std::fprintf(stderr, "aimhead: %s\n", error.what());
        return kPresetsFailed;
    }
}

bool checkName(std::string_view name)
{
    if (validPresetName(name))
        return true;
    badCommandLine("a preset name is 1 to 32 letters, digits, '_', '-' or '.', not starting with '-' or '.'; got " +
                   quoted(name));
    return false;
}

int noSuchPreset(const std::string &file, std::string_view name)
{
    std::fprintf(stderr, "aimhead: no preset named %s in %s\n", quoted(name).c_str(), escaped(file).c_str());
    return kNoSuchPreset;
}

int save(const Options &options, const std::string &name, std::optional<aimlink_angles> given)
{
    return withPresets([&](const std::string &file) {
        loadPresets(file); // a corrupt file fails here, before the head is touched
        aimlink_angles position{};
        if (given) {
            position = *given;
        } else {
            // Initialising would send the head home and lose the view being kept.
            const auto head = makeHead(options, false);
            const int status = openAndRead(*head, position);
            head->close();
            if (status != kSuccess)
                return status;
        }
        // Read again under the lock: another program may have saved meanwhile.
        updatePresets(file, [&](Presets &current) {
            current[name] = {position.pan, position.tilt};
            return true;
        });
        if (options.json)
            std::printf("%s\n", json{{"name", name}, {"pan", position.pan}, {"tilt", position.tilt}}.dump().c_str());
        return static_cast<int>(kSuccess);
    });
}

int gotoPreset(const Options &options, const std::string &name)
{
    return withPresets([&](const std::string &file) {
        const Presets presets = loadPresets(file);
        const auto found = presets.find(name);
        if (found == presets.end())
            return noSuchPreset(file, name);
        return moveTo(options, {found->second.pan, found->second.tilt});
    });
}

int listPresets(const Options &options)
{
    return withPresets([&](const std::string &file) {
        const Presets presets = loadPresets(file);
        json all = json::object();
        for (const auto &[name, preset] : presets) {
            if (options.json)
                all[name] = {{"pan", preset.pan}, {"tilt", preset.tilt}};
            else
                std::printf("%s %s\n", name.c_str(), angles({preset.pan, preset.tilt}).c_str());
        }
        if (options.json)
            std::printf("%s\n", all.dump().c_str());
        return static_cast<int>(kSuccess);
    });
}

int forget(const std::string &name)
{
    return withPresets([&](const std::string &file) {
        if (!updatePresets(file, [&](Presets &presets) { return presets.erase(name) != 0; }))
            return noSuchPreset(file, name);
        return static_cast<int>(kSuccess);
    });
}

// The original form: pan tilt [zoom], zoom accepted and ignored.
int legacyMove(const Options &options)
{
    const auto &words = options.words;
    const auto panAngle = argument("pan", kAngleUnit, words[0]);
    if (!panAngle)
        return kBadCommandLine;
    const auto tiltAngle = argument("tilt", kAngleUnit, words[1]);
    if (!tiltAngle)
        return kBadCommandLine;
    if (words.size() > 2 && !argument("zoom", "", words[2]))
        return kBadCommandLine;
    return moveTo(options, {*panAngle, *tiltAngle});
}

bool wordCount(const Options &options, size_t least, size_t most)
{
    const size_t given = options.words.size() - 1;
    if (given >= least && given <= most)
        return true;
    badCommandLine(std::string(options.words[0]) + " takes " +
                   (least == most ? std::to_string(least) : std::to_string(least) + " to " + std::to_string(most)) +
                   " argument" + (most == 1 ? "" : "s") + ", got " + std::to_string(given));
    return false;
}

int savePreset(const Options &options)
{
    if (!wordCount(options, 1, 3) || !checkName(options.words[1]))
        return kBadCommandLine;
    if (options.words.size() == 2)
        return save(options, std::string(options.words[1]), std::nullopt);
    if (options.words.size() != 4)
        return badCommandLine("save takes NAME, or NAME PAN TILT");
    const auto panAngle = argument("pan", kAngleUnit, options.words[2]);
    const auto tiltAngle = panAngle ? argument("tilt", kAngleUnit, options.words[3]) : std::nullopt;
    if (!tiltAngle)
        return kBadCommandLine;
    return save(options, std::string(options.words[1]), aimlink_angles{*panAngle, *tiltAngle});
}

int subcommand(const Options &options)
{
    const std::string_view verb = options.words[0];
    if (verb == "get")
        return wordCount(options, 0, 0) ? get(options) : kBadCommandLine;
    if (verb == "home")
        return wordCount(options, 0, 0) ? home(options) : kBadCommandLine;
    if (verb == "by") {
        if (!wordCount(options, 2, 2))
            return kBadCommandLine;
        const auto panStep = argument("pan step", kAngleUnit, options.words[1]);
        const auto tiltStep = panStep ? argument("tilt step", kAngleUnit, options.words[2]) : std::nullopt;
        return tiltStep ? by(options, *panStep, *tiltStep) : kBadCommandLine;
    }
    if (verb == "save")
        return savePreset(options);
    if (verb == "jog") {
        if (!wordCount(options, 0, 0))
            return kBadCommandLine;
        // The screen follows the library's handle from moment to moment.
        if (!options.server.empty())
            return badCommandLine("jog needs the serial port and does not work through the daemon (--server)");
#ifdef AIMHEAD_JOG_SCREEN
        return withPresets([&](const std::string &file) {
            DirectHead head(options.device, options.initialise);
            const int status = head.open();
            return status == kSuccess ? jog(head, file) : status;
        });
#else
        return handOverToJog(options.commandLine);
#endif
    }
    if (verb == "presets")
        return wordCount(options, 0, 0) ? listPresets(options) : kBadCommandLine;
    const bool named = verb == "goto" || verb == "forget";
    if (!named || !wordCount(options, 1, 1) || !checkName(options.words[1]))
        return kBadCommandLine;
    const std::string name(options.words[1]);
    return verb == "goto" ? gotoPreset(options, name) : forget(name);
}

bool isSubcommand(std::string_view word)
{
    for (const std::string_view known : {"get", "home", "by", "save", "goto", "presets", "forget", "jog"})
        if (word == known)
            return true;
    return false;
}

// Options come before the words; anything else starting with '-' is left
// for the angle check, since -500 is an angle.
std::optional<Options> parseOptions(int argc, char **argv)
{
    Options options;
    options.commandLine = argv;
    bool deviceGiven = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view word(argv[i]);
        if (word == "--json") {
            options.json = true;
        } else if (word == "--no-initialise") {
            options.initialise = false;
        } else if (word == "-d" || word == "--server") {
            if (i + 1 >= argc) {
                badCommandLine(word == "-d" ? "-d needs a device" : "--server needs a socket");
                return std::nullopt;
            }
            (word == "-d" ? options.device : options.server) = argv[++i];
            deviceGiven = deviceGiven || word == "-d";
        } else {
            break;
        }
    }
    if (deviceGiven && !options.server.empty()) {
        badCommandLine("-d and --server exclude each other: the daemon owns the port");
        return std::nullopt;
    }
    // The environment's daemon gives way to a device named on the command line.
    const char *server = std::getenv("AIMHEAD_SERVER"); // NOLINT(concurrency-mt-unsafe): no thread runs yet
    if (options.server.empty() && !deviceGiven && server != nullptr)
        options.server = server;
    options.words.assign(argv + i, argv + argc);
    return options;
}

} // namespace

namespace {

int runCommandLine(int argc, char **argv)
{
    catchEndingSignals();
    if (argc == 2 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
        std::printf("%s%s", kUsage, kMoreUsage);
        return kSuccess;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::puts("aimhead " AIMLINK_VERSION);
        return kSuccess;
    }
    const auto options = parseOptions(argc, argv);
    if (!options)
        return kBadCommandLine;
    if (!options->words.empty() && isSubcommand(options->words[0]))
        return subcommand(*options);
    if (options->words.size() < 2) {
        std::fputs(kUsage, stdout);
        return kBadCommandLine;
    }
    return legacyMove(*options);
}

} // namespace

int main(int argc, char **argv)
{
    fillStandardDescriptors();
    try {
        return runCommandLine(argc, argv);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "aimhead: %s\n", error.what());
        return kFailure;
    }
}

// SPDX-License-Identifier: MIT
// aimhead: points the camera head, reports where it points, nudges it and
// keeps named views of it.
#include "arguments.h"
#include "command_line.h"
#include "head.h"
#include "jog.h"
#include "presets.h"
#include "server_head.h"
#include "signals.h"
#include "text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
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

constexpr char kHelpEnd[] = "\n"
                            "Presets live in $XDG_CONFIG_HOME/aimhead/presets.json (else ~/.config/aimhead/).\n"
                            "Exit status: 0 done, 1 the port or the head failed, 2 bad command line,\n"
                            "3 the presets file cannot be used, 4 no such preset, 128+N ended by signal N.\n";

std::optional<int16_t> argument(const char *name, const char *unit, std::string_view text)
{
    const auto value = parseAngle(text);
    if (!value)
        std::fprintf(stderr, "aimhead: %s must be a whole number%s from -32768 to 32767, got %s\n", name, unit,
                     aimlink::quoted(text).c_str());
    return value;
}

constexpr char kAngleUnit[] = " of milliradians";

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
    return std::make_unique<DirectHead>(options.device, initialise, options.line);
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
                   aimlink::quoted(name));
    return false;
}

int noSuchPreset(const std::string &file, std::string_view name)
{
    std::fprintf(stderr, "aimhead: no preset named %s in %s\n", aimlink::quoted(name).c_str(),
                 aimlink::escaped(file).c_str());
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
            current[name] = position;
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
        return moveTo(options, found->second);
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

int savePreset(const Options &options)
{
    if (!checkName(options.words[1]))
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

int moveBy(const Options &options)
{
    const auto panStep = argument("pan step", kAngleUnit, options.words[1]);
    const auto tiltStep = panStep ? argument("tilt step", kAngleUnit, options.words[2]) : std::nullopt;
    return tiltStep ? by(options, *panStep, *tiltStep) : kBadCommandLine;
}

int gotoNamed(const Options &options)
{
    return checkName(options.words[1]) ? gotoPreset(options, std::string(options.words[1])) : kBadCommandLine;
}

int forgetNamed(const Options &options)
{
    return checkName(options.words[1]) ? forget(std::string(options.words[1])) : kBadCommandLine;
}

int startJog(const Options &options)
{
    // The screen follows the library's handle from moment to moment.
    if (!options.server.empty())
        return badCommandLine("jog needs the serial port and does not work through the daemon (--server)");
#ifdef AIMHEAD_JOG_SCREEN
    return withPresets([&](const std::string &file) {
        DirectHead head(options.device, options.initialise, options.line);
        const int status = head.open();
        return status == kSuccess ? jog(head, file) : status;
    });
#else
    return handOverToJog(options.commandLine);
#endif
}

// Every verb once: the dispatch, the check for a verb, --help and the bash
// completion (checked against --help by a test) all read this table.
struct Verb {
    std::string_view name;
    size_t least; // words after the verb
    size_t most;
    int (*run)(const Options &);
    std::string_view arguments; // as --help shows them
    std::string_view summary;
};

constexpr Verb kVerbs[] = {
    {"get", 0, 0, get, "", "print where the head points"},
    {"home", 0, 0, home, "", "send the head to its home position"},
    {"by", 2, 2, moveBy, "DPAN DTILT", "move relative to where the head points"},
    {"save", 1, 3, savePreset, "NAME [PAN TILT]", "keep where the head points (or PAN TILT) as NAME"},
    {"goto", 1, 1, gotoNamed, "NAME", "move to a saved preset"},
    {"presets", 0, 0, listPresets, "", "list the saved presets"},
    {"forget", 1, 1, forgetNamed, "NAME", "remove a saved preset"},
    {"jog", 0, 0, startJog, "", "full-screen: arrows move, + - step, s save, h home, q quit"},
};

const Verb *findVerb(std::string_view name)
{
    for (const Verb &verb : kVerbs)
        if (verb.name == name)
            return &verb;
    return nullptr;
}

bool wordCount(const Verb &verb, const Options &options)
{
    const size_t given = options.words.size() - 1;
    if (given >= verb.least && given <= verb.most)
        return true;
    const std::string counted = verb.least == verb.most
                                    ? std::to_string(verb.least)
                                    : std::to_string(verb.least) + " to " + std::to_string(verb.most);
    badCommandLine(std::string(verb.name) + " takes " + counted + " argument" + (verb.most == 1 ? "" : "s") + ", got " +
                   std::to_string(given));
    return false;
}

void printHelp()
{
    std::printf("%s\n", kUsage);
    for (const Verb &verb : kVerbs)
        printHelpLine("aimhead [options] " + std::string(verb.name) +
                          (verb.arguments.empty() ? "" : " " + std::string(verb.arguments)),
                      verb.summary, 34);
    printOptionsHelp();
    std::fputs(kHelpEnd, stdout);
}

// A first word that is no verb and is not followed by an angle is a command
// mistyped or unknown, not a pan angle.
bool namesACommand(const std::vector<std::string_view> &words)
{
    return std::isalpha(static_cast<unsigned char>(words[0].front())) != 0 &&
           (words.size() < 2 || !parseAngle(words[1]));
}

int runCommandLine(int argc, char **argv)
{
    catchEndingSignals();
    Options options;
    if (const auto ended = readCommandLine(argc, argv, options)) {
        if (options.asked == Asked::Help)
            printHelp();
        else if (options.asked == Asked::Version)
            std::puts("aimhead " AIMLINK_VERSION);
        return *ended;
    }
    if (const auto ended = chooseHead(options))
        return *ended;
    const auto &words = options.words;
    if (!words.empty())
        if (const Verb *verb = findVerb(words[0]))
            return wordCount(*verb, options) ? verb->run(options) : kBadCommandLine;
    if (!words.empty() && !words[0].empty() && namesACommand(words))
        return badCommandLine("unknown command " + aimlink::quoted(words[0]));
    if (words.size() < 2) {
        std::fputs(kUsage, stdout);
        return kBadCommandLine;
    }
    return legacyMove(options);
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

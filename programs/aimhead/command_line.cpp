// SPDX-License-Identifier: MIT
#include "command_line.h"

#include "text.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace aimhead {

int badCommandLine(const std::string &line)
{
    std::fprintf(stderr, "aimhead: %s (see aimhead --help)\n", line.c_str());
    return kBadCommandLine;
}

void printHelpLine(const std::string &left, std::string_view text, size_t column)
{
    std::string line = left.size() + 2 <= column ? left + std::string(column - left.size(), ' ')
                                                 : left + "\n" + std::string(column, ' ');
    for (const char c : text)
        line += c == '\n' ? "\n" + std::string(column, ' ') : std::string(1, c);
    std::printf("%s\n", line.c_str());
}

namespace {

#define AIMHEAD_TEXT(value) #value
#define AIMHEAD_NUMBER(value) AIMHEAD_TEXT(value)

// Every option once: the parser, --help and the bash completion read this.
enum class OptionKey { Device, Server, Json, NoInitialise, Verbose, Baud, ReplyTimeout, FlowControl, Help, Version };

struct OptionRow {
    std::string_view longName; // empty: a short option only
    char shortName;            // 0: a long option only
    std::string_view value;    // its name in --help; empty: the option takes none
    std::string_view needs;    // what is missing when the value is
    OptionKey key;
    std::string_view help; // lines after the first start with '\n'
};

constexpr OptionRow kOptionRows[] = {
    {"", 'd', "DEVICE", "a device", OptionKey::Device,
     "the serial device (else AIMLINK_DEVICE, else\n" AIMLINK_DEFAULT_DEVICE ")"},
    {"server", 0, "SOCKET", "a socket", OptionKey::Server,
     "go through the daemon aimheadd at SOCKET instead\n"
     "of the port (else AIMHEAD_SERVER, unless -d is\n"
     "given); jog needs the port"},
    {"json", 0, "", "", OptionKey::Json, "print results as JSON, for scripts"},
    {"no-initialise", 0, "", "", OptionKey::NoInitialise,
     "do not initialise the head first (for heads that\nmove when initialised)"},
    {"verbose", 'v', "", "", OptionKey::Verbose,
     "show every frame written and every reply read\n(hex and meaning) on standard error"},
    {"baud", 0, "N", "a line speed", OptionKey::Baud,
     "the port's line speed (default " AIMHEAD_NUMBER(AIMLINK_DEFAULT_BAUD) ")"},
    {"reply-timeout", 0, "MS", "a time in milliseconds", OptionKey::ReplyTimeout,
     "how long the head may take to answer a frame\n(default " AIMHEAD_NUMBER(AIMLINK_DEFAULT_REPLY_TIMEOUT_MS) ")"},
    {"flow-control", 0, "keep|off", "keep or off", OptionKey::FlowControl,
     "off switches RTS/CTS off, for three-wire cables;\nkeep (the default) leaves the port as it is"},
    {"help", 'h', "", "", OptionKey::Help, "show this text"},
    {"version", 0, "", "", OptionKey::Version, "show the version"},
};

std::string optionLabel(const OptionRow &row)
{
    std::string label = row.shortName != 0 ? std::string{'-', row.shortName} : "";
    if (!row.longName.empty())
        label += (label.empty() ? "--" : ", --") + std::string(row.longName);
    return row.value.empty() ? label : label + " " + std::string(row.value);
}

const OptionRow *findOption(std::string_view name, bool isLong)
{
    for (const OptionRow &row : kOptionRows)
        if (isLong ? !row.longName.empty() && row.longName == name
                   : row.shortName != 0 && name.size() == 1 && row.shortName == name[0])
            return &row;
    return nullptr;
}

std::string optionName(const OptionRow &row)
{
    return row.longName.empty() ? std::string{'-', row.shortName} : "--" + std::string(row.longName);
}

// An option without a value; returns an exit status when the run ends here.
std::optional<int> takeFlag(const OptionRow &row, Options &options)
{
    switch (row.key) {
    case OptionKey::Help:
        options.asked = Asked::Help;
        return kSuccess;
    case OptionKey::Version:
        options.asked = Asked::Version;
        return kSuccess;
    case OptionKey::Json:
        options.json = true;
        break;
    case OptionKey::Verbose:
        options.line.trace = true;
        break;
    default:
        options.initialise = false;
        break;
    }
    return std::nullopt;
}

// An option's value; the port's settings are checked by the library now,
// before anything is opened.
std::optional<int> takeValue(const OptionRow &row, std::string_view value, Options &options)
{
    std::string refused;
    switch (row.key) {
    case OptionKey::Device:
        options.device = value;
        options.deviceGiven = true;
        break;
    case OptionKey::Server:
        options.server = value;
        break;
    case OptionKey::Baud:
        refused = takeBaud(value, options.line);
        break;
    case OptionKey::ReplyTimeout:
        refused = takeReplyTimeout(value, options.line);
        break;
    default:
        refused = takeFlowControl(value, options.line);
        break;
    }
    if (refused.empty())
        return std::nullopt;
    std::fprintf(stderr, "aimhead: %s\n", refused.c_str());
    return kBadCommandLine;
}

// The option at argv[at] (and its value, which may be the next word);
// returns an exit status when the run ends here.
std::optional<int> takeOption(int argc, char **argv, int &at, Options &options)
{
    const std::string_view word(argv[at]);
    const bool isLong = word.starts_with("--");
    const size_t equals = isLong ? word.find('=') : std::string_view::npos;
    const std::string_view name = isLong ? word.substr(2, equals - 2) : word.substr(1, 1);
    const OptionRow *row = findOption(name, isLong);
    std::optional<std::string_view> attached;
    if (equals != std::string_view::npos)
        attached = word.substr(equals + 1);
    else if (!isLong && word.size() > 2)
        attached = word.substr(2);
    if (row == nullptr || (row->value.empty() && attached && !isLong))
        return badCommandLine("unknown option " + aimlink::quoted(isLong ? word.substr(0, equals) : word));
    if (row->value.empty())
        return attached ? badCommandLine(optionName(*row) + " takes no value") : takeFlag(*row, options);
    if (!attached && at + 1 >= argc)
        return badCommandLine(optionName(*row) + " needs " + std::string(row->needs));
    return takeValue(*row, attached ? *attached : std::string_view(argv[++at]), options);
}

// An option starts with a dash and a letter; -500 is an angle, and "-" or
// "--3" are words for the angle check to refuse.
bool isOption(std::string_view word)
{
    const auto letter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; };
    return word.size() >= 2 && word[0] == '-' &&
           (letter(word[1]) || (word[1] == '-' && word.size() > 2 && letter(word[2])));
}

} // namespace

void printOptionsHelp()
{
    std::printf("\nOptions:\n");
    for (const OptionRow &row : kOptionRows)
        printHelpLine("  " + optionLabel(row), row.help, 27);
}

// The options may stand anywhere among the words, until "--".
std::optional<int> readCommandLine(int argc, char **argv, Options &options)
{
    options.commandLine = argv;
    bool optionsEnded = false;
    for (int at = 1; at < argc; ++at) {
        const std::string_view word(argv[at]);
        if (!optionsEnded && word == "--")
            optionsEnded = true;
        else if (!optionsEnded && isOption(word)) {
            if (const auto ended = takeOption(argc, argv, at, options))
                return ended;
        } else
            options.words.push_back(word);
    }
    return std::nullopt;
}

// Where the run goes: the port, or the daemon; returns an exit status when
// the options contradict each other.
std::optional<int> chooseHead(Options &options)
{
    if (options.deviceGiven && !options.server.empty())
        return badCommandLine("-d and --server exclude each other: the daemon owns the port");
    // The environment's daemon gives way to a device named on the command line.
    const char *server = std::getenv("AIMHEAD_SERVER"); // NOLINT(concurrency-mt-unsafe): no thread runs yet
    if (options.server.empty() && !options.deviceGiven && server != nullptr)
        options.server = server;
    if (!options.server.empty() && options.line.any())
        return badCommandLine("--baud, --reply-timeout and --flow-control set the port, which the daemon at " +
                              aimlink::escaped(options.server) + " owns");
    if (!options.server.empty() && options.line.trace)
        return badCommandLine("-v shows the frames on the port, which the daemon at " +
                              aimlink::escaped(options.server) + " owns (aimheadd -v shows them in its log)");
    return std::nullopt;
}

} // namespace aimhead

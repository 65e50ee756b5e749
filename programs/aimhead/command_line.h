// SPDX-License-Identifier: MIT
// aimhead's options: one table for the parser, --help and the completion.
// Options may stand anywhere among the words, as GNU tools take them.
#ifndef AIMHEAD_COMMAND_LINE_H
#define AIMHEAD_COMMAND_LINE_H

#include "arguments.h"
#include "head.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace aimhead {

// What the command line asked for besides a run.
enum class Asked { Run, Help, Version };

struct Options {
    std::string device;
    bool deviceGiven = false;
    std::string server; // empty: the port itself
    bool json = false;
    bool initialise = true;
    LineSettings line;
    std::vector<std::string_view> words;
    char **commandLine = nullptr; // as given, for a program that takes over
    Asked asked = Asked::Run;
};

// One line on standard error naming the mistake; returns kBadCommandLine.
int badCommandLine(const std::string &line);

// Reads the options and the words; returns an exit status when the run ends
// here: kSuccess with Options::asked set for --help and --version, or
// kBadCommandLine after its line.
std::optional<int> readCommandLine(int argc, char **argv, Options &options);

// Where the run goes: the port, or the daemon (-d, --server or
// AIMHEAD_SERVER); returns an exit status when the options contradict each other.
std::optional<int> chooseHead(Options &options);

// A help line: the left part, then the text from column, on a line of its
// own when the left part reaches it.
void printHelpLine(const std::string &left, std::string_view text, size_t column);

// The "Options:" part of --help.
void printOptionsHelp();

} // namespace aimhead

#endif

// SPDX-License-Identifier: MIT
// aimsim's options: the head it plays and the faults it puts on the line.
#ifndef AIMSIM_SIM_OPTIONS_H
#define AIMSIM_SIM_OPTIONS_H

#include "head.h"

#include <string>

namespace aimsim {

struct Options {
    std::string link;
    Position start;
    int speed = 500;
    int latencyMs = 5;
    int baud = 9600;
    bool trace = false;
    int rejectEvery = 0;
    bool split = false;
    bool noise = false;
    int corruptEvery = 0;
    int silentAfter = -1;
    int hangupAfter = -1;
};

// The options of the command line; a bad one ends the program with one
// line and status 2, --help and --version with status 0.
Options parseOptions(int argc, char **argv);

} // namespace aimsim

#endif

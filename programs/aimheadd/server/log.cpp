// SPDX-License-Identifier: MIT
#include "log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace aimheadd {

namespace {

std::atomic<bool> verboseLog{false};

bool toJournal()
{
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    return journal;
}

} // namespace

void setVerbose(bool verbose) { verboseLog = verbose; }

void logLine(Priority priority, const std::string &message)
{
    if (priority == Priority::Debug && !verboseLog)
        return;
    const std::string prefix =
        toJournal() ? "<" + std::to_string(static_cast<int>(priority)) + ">" : std::string("aimheadd: ");
    // One write per line, so lines from the library's thread never interleave.
    const std::string line = prefix + message + "\n";
    std::fputs(line.c_str(), stderr);
}

} // namespace aimheadd

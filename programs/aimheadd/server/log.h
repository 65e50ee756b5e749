// SPDX-License-Identifier: MIT
// One line per event on standard error. Under systemd (JOURNAL_STREAM set)
// each line starts with its syslog priority, "<3>" and so on, which the
// journal keeps as the priority; on a terminal it starts with "aimheadd: ".
#ifndef AIMHEADD_LOG_H
#define AIMHEADD_LOG_H

#include <string>

namespace aimheadd {

enum class Priority { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

void logLine(Priority priority, const std::string &message);
// Debug lines are dropped unless this is switched on (--verbose).
void setVerbose(bool verbose);

} // namespace aimheadd

#endif

// SPDX-License-Identifier: MIT
// aimhead jog: a full-screen mode for finding a view with the arrow keys.
// The screen is built into a program of its own, aimhead-jog: an aimhead
// that also links the terminal libraries, so that aimhead itself stays
// small for the moves that scripts make by the thousand.
#ifndef AIMHEAD_JOG_H
#define AIMHEAD_JOG_H

#include "head.h"

#include <string>

namespace aimhead {

#ifdef AIMHEAD_JOG_SCREEN
// Runs until q, a signal, a closed terminal or a link failure; the terminal
// is restored on every one of them. Returns the exit status.
int jog(DirectHead &head, const std::string &presetsFile);
#else
// Replaces this process with aimhead-jog on the same command line; returns
// an exit status only when that cannot be done.
int handOverToJog(char **commandLine);
#endif

} // namespace aimhead

#endif

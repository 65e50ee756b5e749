// aimhead jog: a full-screen mode for finding a view with the arrow keys.
#ifndef AIMHEAD_JOG_H
#define AIMHEAD_JOG_H

#include "head.h"

#include <filesystem>

namespace aimhead {

// Runs until q, a signal, a closed terminal or a link failure; the terminal
// is restored on every one of them. Returns the exit status.
int jog(DirectHead &head, const std::filesystem::path &presetsFile);

} // namespace aimhead

#endif

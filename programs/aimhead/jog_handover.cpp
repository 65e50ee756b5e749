// SPDX-License-Identifier: MIT
#include "jog.h"
#include "text.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

#include <unistd.h>

namespace aimhead {

// aimhead-jog is found beside aimhead as both are installed, relative to
// the running program, so that a build tree and any prefix work alike.
int handOverToJog(char **commandLine)
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        std::fprintf(stderr, "aimhead: cannot find its own program to start the jog screen: %s\n",
                     aimlink::errorText(errno).c_str());
        return kFailure;
    }
    const std::string program(self, static_cast<size_t>(length));
    const std::string jogProgram = program.substr(0, program.find_last_of('/') + 1) + AIMHEAD_JOG_FROM_BINDIR;
    execv(jogProgram.c_str(), commandLine);
    std::fprintf(stderr, "aimhead: cannot start the jog screen %s: %s\n", aimlink::escaped(jogProgram).c_str(),
                 aimlink::errorText(errno).c_str());
    return kFailure;
}

} // namespace aimhead

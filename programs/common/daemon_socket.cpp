// SPDX-License-Identifier: MIT
#include "daemon_socket.h"

#include <cstdlib>

namespace aimhead {

std::string defaultSocketPath()
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string base = runtime != nullptr && runtime[0] == '/' ? runtime : "/run";
    return base + "/aimhead/socket";
}

} // namespace aimhead

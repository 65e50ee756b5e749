// SPDX-License-Identifier: MIT
// Where aimheadd listens unless told otherwise: the daemon binds it, and
// aimhead looks there when the port is taken, so both compute it here.
#ifndef AIMHEAD_DAEMON_SOCKET_H
#define AIMHEAD_DAEMON_SOCKET_H

#include <string>

namespace aimhead {

// $XDG_RUNTIME_DIR/aimhead/socket, else /run/aimhead/socket.
std::string defaultSocketPath();

} // namespace aimhead

#endif

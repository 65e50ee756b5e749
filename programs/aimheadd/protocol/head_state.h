// SPDX-License-Identifier: MIT
// What the daemon knows about the head at one moment; shared by the head
// service and every transport.
#ifndef AIMHEADD_HEAD_STATE_H
#define AIMHEADD_HEAD_STATE_H

#include "aimlink.h"

#include <optional>
#include <string>

namespace aimheadd {

struct HeadState {
    int link = AIMLINK_LINK_CLOSED;         // an aimlink_link_state
    std::optional<aimlink_angles> position; // the last report, kept across a link failure
    std::optional<aimlink_angles> target;   // where the last move or home will stop
    std::string owner;                      // the client that set the target
    std::string reason;                     // the last failure, while the link is down
};

} // namespace aimheadd

#endif

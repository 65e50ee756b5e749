// SPDX-License-Identifier: MIT
// A program that starts the client and returns from main without stopping
// it, as error paths often do. The process must end cleanly: no static
// destructor may pull state from under the running watcher (the sanitizer
// builds report it if one does).
#include "aimlink.h"
#include "support/pty_peer.h"

#include <cstdlib>

int main()
{
    // Held until the very end, so the watcher is mid-exchange at exit.
    static auto *const line = new PtyPeer;
    setenv("AIMLINK_DEVICE", line->path().c_str(), 1);
    startPTZ();
    if (line->readFrame() != initFrame())
        return 1;
    line->send(ackReply());
    if (waitLinkPTZ(1000) != PTZ_WAIT_DONE || line->readFrame() != pollFrame())
        return 1;
    setPanTilt(1000, 1571);
    return 0;
}

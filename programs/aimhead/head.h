// One run's conversation with the head through a handle: every wait bounded,
// every failure one line on standard error, an ending signal honoured
// between short waits.
#ifndef AIMHEAD_HEAD_H
#define AIMHEAD_HEAD_H

#include "aimlink.h"

#include <string>

namespace aimhead {

enum ExitStatus { kSuccess = 0, kFailure = 1, kBadCommandLine = 2, kPresetsFailed = 3, kNoSuchPreset = 4 };

class Head {
public:
    // device empty: AIMLINK_DEVICE, else the default port.
    Head(const std::string &device, bool initialise);
    ~Head();
    Head(const Head &) = delete;
    Head &operator=(const Head &) = delete;

    // Opens the port and waits for the head's first answer and the start-up
    // pause. kSuccess, or the exit status after the failure line.
    int open();
    // The head's next report (or the last one, if it came), in the caller's frame.
    int position(aimlink_angles &reported);
    // Moves (warning when beyond the travel) and waits for arrival at the
    // point the head will stop at.
    int moveTo(aimlink_angles wanted);
    int home();
    // One line: the device (escaped) and why the link failed.
    std::string linkFailure();
    std::string device() const;
    aimlink_head *handle() const { return handle_; }
    // Closes the port and ends as the signal asked, if one did.
    void endIfAsked();

private:
    int fail(const std::string &line);
    int waitForArrival(const std::string &target);
    int written(int status, const char *what);
    std::string lastReported();

    aimlink_head *handle_;
    bool initialise_;
};

std::string angles(aimlink_angles position);

} // namespace aimhead

#endif

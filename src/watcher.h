// SPDX-License-Identifier: MIT
// The watcher thread's loop: one exchange after another (the queued
// command, or else a position request), each a frame written and its reply
// read, over the line, the timing plan and the session's state.
#ifndef AIMLINK_WATCHER_H
#define AIMLINK_WATCHER_H

#include "command_slot.h"
#include "line.h"
#include "timing_plan.h"

#include <string>

namespace aimlink {

class Session;

struct WatcherSetup {
    int port;
    int stopEvent;
    std::chrono::milliseconds replyTimeout;
    int baud;
    std::string device; // as shown in messages
};

class Watcher {
public:
    Watcher(Session &session, const WatcherSetup &setup);
    // Returns once the stop event fires.
    void run();

private:
    enum class Next { Pause, Exchange, Stop };

    struct Reply {
        LineResult result;
        bool late = false;
    };

    Next exchange();
    const CommandRow &sendNext(SlotFrame &sent, Clock::time_point deadline, LineResult &written);
    Reply readReply(const CommandRow &row, Clock::time_point writtenAt, Clock::time_point deadline, Wake wake);
    bool awaitRestOfReply(const CommandRow &row, Clock::time_point deadline);
    void handleReply();
    void noteAnswered();
    void noteUnanswered(const CommandRow &row, const SlotFrame &sent);
    void noteFailed(const std::string &reason);
    std::string named(const std::string &text) const { return "aimlink: " + device_ + ": " + text; }

    Session &session_;
    Line line_;
    TimingPlan plan_;
    const std::string device_;
    SlotFrame lastCommand_;
    ReplyAssembler assembler_;
};

} // namespace aimlink

#endif

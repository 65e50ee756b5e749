// SPDX-License-Identifier: MIT
#include "watcher.h"

#include "session.h"

#include <algorithm>

#include <sys/prctl.h>

namespace aimlink {

using Kind = LineResult::Kind;

Watcher::Watcher(Session &session, const WatcherSetup &setup)
    : session_(session), line_(setup.port, setup.stopEvent), plan_(setup.replyTimeout, setup.baud),
      device_(setup.device)
{
}

void Watcher::run()
{
    // The sleeps end when a reply's last byte is due; the default 50 us of
    // slack on each would add to every reaction.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // The first exchange goes out at once; the pause paces the head between
    // exchanges.
    for (;;) {
        const Next next = exchange();
        if (next == Next::Stop)
            break;
        if (next == Next::Pause && line_.sleep(plan_.pauseEnd(Clock::now())).kind == Kind::Stopped)
            return;
    }
    // A failed port is left alone until the close: no loop on a dead line.
    if (session_.link() == AIMLINK_LINK_FAILED)
        line_.awaitStop();
}

// One exchange, and what comes after it.
Watcher::Next Watcher::exchange()
{
    SlotFrame sent;
    LineResult outcome;
    const auto deadline = plan_.replyDeadline(Clock::now());
    const CommandRow &row = sendNext(sent, deadline, outcome);
    const auto writtenAt = Clock::now();
    if (outcome.kind == Kind::Due)
        outcome = {Kind::Failed, "output blocked for " + std::to_string(plan_.replyTimeout().count()) + " ms"};
    if (outcome.kind == Kind::Ready && session_.tracing())
        session_.report(AIMLINK_LEVEL_DEBUG,
                        named(std::string("wrote") + formatDump(sent.view(), kEnd) + " (" + row.name + ")"));
    bool pause = true;
    if (outcome.kind == Kind::Ready) {
        const Wake wake = plan_.chooseWake({&row, session_.travelling(), session_.link() == AIMLINK_LINK_UP});
        const Reply reply = readReply(row, writtenAt, deadline, wake);
        outcome = reply.result;
        if (outcome.kind == Kind::Ready)
            pause = plan_.replyTaken(wake, reply.late);
    }
    switch (outcome.kind) {
    case Kind::Ready:
        noteAnswered();
        handleReply();
        return pause ? Next::Pause : Next::Exchange;
    case Kind::Due:
        noteUnanswered(row, sent);
        return Next::Pause;
    case Kind::Failed:
        noteFailed(outcome.reason);
        return Next::Stop;
    case Kind::Stopped:
        break;
    }
    return Next::Stop;
}

// Writes the queued command, or else a position request.
const CommandRow &Watcher::sendNext(SlotFrame &sent, Clock::time_point deadline, LineResult &written)
{
    // Read as this frame's answer, a late reply would shift every reply by one.
    line_.dropUnreadInput();
    if (session_.takeCommand(sent)) {
        written = line_.write(sent.view(), deadline);
        if (written.kind == Kind::Ready) {
            lastCommand_ = sent;
            session_.commandWritten(sent);
        }
        return rowOfFrame(sent.view());
    }
    const CommandRow &poll = commandRow(Command::Poll);
    sent.length = poll.build(sent.bytes, {0, 0});
    written = line_.write(sent.view(), deadline);
    return poll;
}

// Collects the reply to the frame just written, however the line cuts it.
// It sleeps once, until the reply's last byte is due, and then takes
// whatever is still missing the moment it comes: one wake-up per reply when
// the line keeps time, and no lateness when it does not. A report that may
// tell of an arrival is worth a second wake-up: the watcher wakes a little
// before it is due and waits on the port for its last byte, since a wake on
// the estimate alone comes late by as much as the estimate and the timer are.
Watcher::Reply Watcher::readReply(const CommandRow &row, Clock::time_point writtenAt, Clock::time_point deadline,
                                  Wake wake)
{
    resetReply(assembler_);
    if (wake != Wake::FirstByte &&
        line_.sleep(std::min(plan_.wakeAt(wake, row, writtenAt), deadline)).kind == Kind::Stopped)
        return {{Kind::Stopped, {}, 0, false}, false};
    // Whether the whole reply was due when the watcher last woke, and
    // whether it then had to wait for more.
    bool due = wake == Wake::AfterPause;
    bool late = false;
    bool firstChunk = true;
    while (!assembler_.complete) {
        const LineResult chunk = line_.read(assembler_, deadline);
        if (chunk.kind != Kind::Ready)
            return {chunk, late};
        late = late || (due && chunk.waited);
        if (wake == Wake::FirstByte && firstChunk) {
            plan_.measured(row, writtenAt, Clock::now(), chunk.bytesRead);
            if (awaitRestOfReply(row, deadline))
                return {{Kind::Stopped, {}, 0, false}, false};
            due = true;
        }
        firstChunk = false;
    }
    return {{Kind::Ready, {}, 0, false}, late};
}

// The line brings a byte every byte time: once the first bytes of a
// measured reply are in, sleeps until the rest can all have come. True if a
// stop came meanwhile.
bool Watcher::awaitRestOfReply(const CommandRow &row, Clock::time_point deadline)
{
    const size_t missing =
        std::max(bytesStillExpected(assembler_), row.replyLength - std::min(row.replyLength, assembler_.length));
    if (assembler_.complete || missing == 0)
        return false;
    return line_.sleep(plan_.restOfReplyAt(Clock::now(), missing, deadline)).kind == Kind::Stopped;
}

void Watcher::handleReply()
{
    const Bytes bytes = reply(assembler_);
    if (session_.tracing())
        session_.report(AIMLINK_LEVEL_DEBUG,
                        named("read" + formatDump(bytes, kEnd) + " (" + describeReply(bytes) + ")"));
    switch (classifyReply(bytes)) {
    case ReplyKind::Rejection:
        session_.report(AIMLINK_LEVEL_WARNING, "PTZ error:  resending command.");
        session_.report(AIMLINK_LEVEL_WARNING, "hexPrint:  " + formatDump(bytes, kEnd));
        session_.restoreCommand(lastCommand_);
        break;
    case ReplyKind::Position: {
        const Counts position = replyPosition(bytes);
        plan_.reportTaken(position);
        session_.storeReport(position);
        break;
    }
    case ReplyKind::Corrupt:
        session_.report(AIMLINK_LEVEL_WARNING, named("corrupt position reply ignored:" + formatDump(bytes, kEnd)));
        break;
    case ReplyKind::Acknowledgement:
    case ReplyKind::NotReply:
        break;
    }
}

void Watcher::noteAnswered()
{
    const int previous = session_.link();
    if (previous == AIMLINK_LINK_UP)
        return;
    if (previous == AIMLINK_LINK_SILENT)
        session_.report(AIMLINK_LEVEL_INFO, named("the head answers again"));
    session_.setLink(AIMLINK_LINK_UP);
}

void Watcher::noteUnanswered(const CommandRow &row, const SlotFrame &sent)
{
    const std::optional<std::string> held = line_.dropHeldOutput();
    if (session_.link() != AIMLINK_LINK_SILENT) {
        const std::string reason =
            held.value_or("no reply from the head within " + std::to_string(plan_.replyTimeout().count()) + " ms");
        if (held)
            session_.keepError(device_ + ": " + reason);
        session_.report(AIMLINK_LEVEL_WARNING, named(reason));
        session_.setLink(AIMLINK_LINK_SILENT);
    }
    if (row.resentWhenUnanswered)
        session_.restoreCommand(sent);
}

void Watcher::noteFailed(const std::string &reason)
{
    session_.keepError(device_ + ": " + reason);
    session_.report(AIMLINK_LEVEL_ERROR, named("link failed: " + reason));
    session_.setLink(AIMLINK_LINK_FAILED);
}

} // namespace aimlink

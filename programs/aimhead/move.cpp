#include "move.h"

#include "aimlink.h"
#include "aimlink_protocol.h"
#include "signals.h"
#include "text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace aimhead {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kStartupPause = milliseconds(1000);
constexpr auto kFirstReply = milliseconds(3000);
constexpr auto kWrite = milliseconds(3000);
constexpr auto kArrival = milliseconds(30000);
constexpr auto kSilenceLimit = milliseconds(3000);
// How late an ending signal or a silence may be noticed.
constexpr auto kSlice = milliseconds(50);

enum class Wait { Done, TimedOut, LinkFailed };
enum class Arrival { Arrived, TimedOut, LinkFailed, StoppedAnswering };

// Gives the port back, then ends as the signal asked.
void endIfAsked()
{
    if (const int signal = endingSignal(); signal != 0) {
        stopPTZ();
        endAsSignalled(signal);
    }
}

milliseconds left(Clock::time_point deadline)
{
    return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(deadline - Clock::now()));
}

void sleepUnlessEnding(Clock::time_point until)
{
    for (endIfAsked(); Clock::now() < until; endIfAsked())
        std::this_thread::sleep_for(std::min<Clock::duration>(kSlice, until - Clock::now()));
}

// One of the client's waits (1 done, 0 timed out, -1 failed), in slices.
Wait waitUnlessEnding(int (*wait)(int), milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    for (endIfAsked(); left(deadline) > milliseconds(0); endIfAsked()) {
        const int result = wait(static_cast<int>(std::min(left(deadline), kSlice).count()));
        if (result != PTZ_WAIT_TIMEOUT)
            return result == PTZ_WAIT_DONE ? Wait::Done : Wait::LinkFailed;
    }
    return Wait::TimedOut;
}

// Ends a run that got as far as starting the client: one line, port released.
int fail(const std::string &line)
{
    std::fprintf(stderr, "aimhead: %s\n", line.c_str());
    stopPTZ();
    return kFailure;
}

std::string device() { return escaped(devicePTZ()); }

std::string angles(int32_t panAngle, int32_t tiltAngle)
{
    return "pan " + std::to_string(panAngle) + " tilt " + std::to_string(tiltAngle);
}

// The angles the head will stop at, in the caller's frame; warns when the
// request lies beyond the travel.
std::string reachableTarget(const Request &request)
{
    const aimlink::Counts wanted = aimlink::anglesToCounts(request.pan, request.tilt);
    const aimlink::Counts reached = aimlink::limitCounts(wanted);
    std::string target = angles(aimlink::panCountToAngle(reached.pan), aimlink::tiltCountToAngle(reached.tilt));
    if (wanted.pan != reached.pan || wanted.tilt != reached.tilt)
        std::fprintf(stderr, "aimhead: %s is beyond the head's travel; the head will stop at its limit, %s\n",
                     angles(request.pan, request.tilt).c_str(), target.c_str());
    return target;
}

std::string lastReported()
{
    int32_t position[2];
    getPTZ(position);
    return angles(aimlink::panCountToAngle(static_cast<int16_t>(position[0] / 2)),
                  aimlink::tiltCountToAngle(static_cast<int16_t>(position[1] / 2)));
}

// Gives up after 3 s without an answer: a silent head need not keep the
// caller for the whole 30 s.
Arrival waitForArrival()
{
    const auto deadline = Clock::now() + kArrival;
    constexpr auto kAnswering = Clock::time_point::max();
    auto silentSince = kAnswering;
    while (left(deadline) > milliseconds(0)) {
        switch (waitUnlessEnding(waitDonePTZ, std::min(left(deadline), kSlice))) {
        case Wait::Done:
            return Arrival::Arrived;
        case Wait::LinkFailed:
            return Arrival::LinkFailed;
        case Wait::TimedOut:
            break;
        }
        if (linkPTZ() != PTZ_LINK_SILENT)
            silentSince = kAnswering;
        else if (silentSince == kAnswering)
            silentSince = Clock::now();
        else if (Clock::now() - silentSince >= kSilenceLimit)
            return Arrival::StoppedAnswering;
    }
    return Arrival::TimedOut;
}

int linkFailed() { return fail(device() + ": the link to the head failed"); }

int finishMove(const std::string &target)
{
    switch (waitForArrival()) {
    case Arrival::Arrived:
        stopPTZ();
        return kSuccess;
    case Arrival::LinkFailed:
        return linkFailed();
    case Arrival::TimedOut:
        return fail("the head on " + device() + " did not reach " + target + " within 30 s; it last reported " +
                    lastReported());
    case Arrival::StoppedAnswering:
        return fail("the head on " + device() + " stopped answering; it last reported " + lastReported());
    }
    return kFailure;
}

} // namespace

int move(const Request &request)
{
    const auto started = Clock::now();
    startPTZ();
    switch (waitUnlessEnding(waitLinkPTZ, kFirstReply)) {
    case Wait::TimedOut:
        return fail("the head on " + device() + " does not answer");
    case Wait::LinkFailed:
        return linkFailed();
    case Wait::Done:
        break;
    }
    sleepUnlessEnding(started + kStartupPause);

    if (request.zoom)
        setZoom(*request.zoom);
    const Wait emptied = waitUnlessEnding(waitReadyPTZ, kWrite);
    if (emptied != Wait::Done)
        return emptied == Wait::LinkFailed ? linkFailed()
                                           : fail(device() + ": the command slot did not empty within 3 s");
    const std::string target = reachableTarget(request);
    setPanTilt(request.pan, request.tilt);
    const Wait written = waitUnlessEnding(waitReadyPTZ, kWrite);
    if (written != Wait::Done)
        return written == Wait::LinkFailed ? linkFailed()
                                           : fail(device() + ": the move frame was not written within 3 s");
    return finishMove(target);
}

} // namespace aimhead

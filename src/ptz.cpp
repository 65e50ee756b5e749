// SPDX-License-Identifier: MIT
// The original calls: one client per process, its state in the exported
// variables, over a default Session whose slot and position live in them.
// Port failures end the process and messages go to standard error, as
// programs written for these calls expect.
#include "aimlink.h"

#include "aimlink_protocol.h"
#include "session.h"
#include "text.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" {
uint8_t cmdbuf[32] = {};
alignas(std::atomic_ref<int32_t>::required_alignment) int32_t cmdLength = 0;
int fd = -1;
int16_t pan = 0;
int16_t tilt = 0;
alignas(std::atomic_ref<int16_t>::required_alignment) int16_t panout = 0;
alignas(std::atomic_ref<int16_t>::required_alignment) int16_t tiltout = 0;
int16_t zoom = 0;
uint8_t newbuf[32] = {};
int16_t ptzStale = 1;
int16_t trackState = 0;
}

namespace {

using namespace aimlink;

void toStandardError(void *, int, const char *message)
{
    std::fputs(message, stderr);
    std::fputc('\n', stderr);
}

// Never destroyed: a program may return from main with the watcher still
// running, and static destructors must not pull its state away. The stop
// at exit ends the watcher first anyway.
Session &defaultSession()
{
    static Session *const session = [] {
        auto *created = new Session({cmdbuf, &cmdLength, &panout, &tiltout}, -1);
        created->setHandler(toStandardError, nullptr);
        return created;
    }();
    return *session;
}

// The device path shown by devicePTZ(): one buffer for the life of the
// process, so that a pointer handed out never dangles.
char devicePath[PATH_MAX + 1];

void configureDevicePath() { std::snprintf(devicePath, sizeof devicePath, "%s", deviceFromEnvironment().c_str()); }

// The cause has gone to standard error through the handler already.
[[noreturn]] void exitAfterFailedStart(Session &session)
{
    if (const auto failure = session.portFailure())
        std::fprintf(stderr, "%s\n", portBoundaryLine(*failure));
    std::exit(1); // NOLINT(concurrency-mt-unsafe): no watcher is running
}

int waitResult(int status)
{
    switch (status) {
    case AIMLINK_OK:
        return PTZ_WAIT_DONE;
    case AIMLINK_ERR_TIMEOUT:
        return PTZ_WAIT_TIMEOUT;
    default:
        return PTZ_WAIT_FAILED;
    }
}

void stopAtExit() { stopPTZ(); }

} // namespace

extern "C" {

int startPTZ(void)
{
    Session &session = defaultSession();
    if (session.isOpen())
        return 0;
    static const bool stopRegistered = std::atexit(stopAtExit) == 0;
    (void)stopRegistered;
    configureDevicePath();
    SessionOptions options;
    options.device = deviceFromEnvironment();
    options.port.baud = PTZ_BAUD;
    options.replyTimeoutMs = PTZ_REPLY_TIMEOUT_MS;
    if (session.open(options) != AIMLINK_OK)
        exitAfterFailedStart(session);
    pan = 0;
    tilt = 0;
    fd = session.descriptor();
    // Bounded by the watcher's own write time-out, which fails the link.
    session.wait(Condition::Written, 2 * PTZ_REPLY_TIMEOUT_MS);
    return 0;
}

void stopPTZ(void)
{
    defaultSession().close();
    fd = -1;
}

int readyPTZ(void) { return defaultSession().slotEmpty() ? 1 : 0; }
int donePTZ(void) { return defaultSession().arrived() ? 1 : 0; }
int reportedPTZ(void) { return defaultSession().hasReport() ? 1 : 0; }

int waitReadyPTZ(int ms) { return waitResult(defaultSession().wait(Condition::Written, ms)); }
int waitDonePTZ(int ms) { return waitResult(defaultSession().wait(Condition::Arrived, ms)); }
int waitLinkPTZ(int ms) { return waitResult(defaultSession().wait(Condition::Link, ms)); }

int linkPTZ(void) { return defaultSession().link(); }

const char *devicePTZ(void)
{
    if (!defaultSession().isOpen())
        configureDevicePath();
    return devicePath;
}

void setPanTilt(int16_t panAngle, int16_t tiltAngle)
{
    // A request beyond the travel records the limit as its target, so that
    // donePTZ() turns 1 when the head reports arriving there.
    const Counts target = limitCounts(anglesToCounts(panAngle, tiltAngle));
    pan = target.pan;
    tilt = target.tilt;
    defaultSession().queueMove(target);
}

void homePTZ(void) { defaultSession().queueHome(); }
void initPTZ(void) { defaultSession().queueInitialise(); }

void setZoom(int) {}

void getPTZ(int32_t position[2])
{
    const Counts reported = defaultSession().position();
    position[0] = 2 * int32_t{reported.pan};
    position[1] = 2 * int32_t{reported.tilt};
}

void hexPrint(const uint8_t *bytes, int end)
{
    const std::string line = "hexPrint:  " + formatDump(Bytes(bytes, 256), static_cast<uint8_t>(end)) + "\n";
    std::fputs(line.c_str(), stderr);
}

void *watchPTZ(void *session)
{
    static_cast<Session *>(session != nullptr ? session : &defaultSession())->watch();
    return nullptr;
}

} // extern "C"

// SPDX-License-Identifier: MIT
#include "head.h"

#include "server_head.h"
#include "signals.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <pthread.h>

namespace aimhead {
namespace {

using std::chrono::milliseconds;

constexpr auto kStartupPause = milliseconds(1000);
constexpr auto kWrite = milliseconds(3000);

// The library's messages, escaped: they may hold the device path.
void toStandardError(void *, int, const char *message)
{
    std::fprintf(stderr, "%s\n", aimlink::escaped(message).c_str());
}

// Whoever waits for aimhead times the end of a move: a script, a tracker.
// The first thread to end in a process faults in libc's clean-up code, about
// 0.1 ms on a virtual machine, and the watcher is joined only after the
// arrival report. Ending a throwaway thread while the head travels takes
// that cost off the end. This only saves time, so a failure is ignored.
void *endAtOnce(void *) { return nullptr; }

void faultInThreadExit()
{
    pthread_t thread{};
    if (pthread_create(&thread, nullptr, endAtOnce, nullptr) == 0)
        pthread_join(thread, nullptr);
}

} // namespace

milliseconds timeLeft(Clock::time_point deadline)
{
    return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(deadline - Clock::now()));
}

std::string inSeconds(milliseconds bound)
{
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(bound).count()) + " s";
}

std::string reasonAfterDevice(const std::string &shownDevice, const std::string &reason)
{
    std::string shown = aimlink::escaped(reason);
    const std::string prefix = shownDevice + ": ";
    if (shown.rfind(prefix, 0) == 0)
        shown.erase(0, prefix.size());
    return shown.empty() ? "" : ": " + shown;
}

std::string linkFailedLine(const std::string &shownDevice, const std::string &reason)
{
    return shownDevice + ": the link to the head failed" + reasonAfterDevice(shownDevice, reason);
}

bool SilenceWatch::tooLong(bool silent)
{
    if (!silent) {
        silentSince_ = kAnswering;
        return false;
    }
    const auto now = Clock::now();
    if (silentSince_ == kAnswering)
        silentSince_ = now;
    return now - silentSince_ >= kSilenceLimit;
}

Clock::time_point SilenceWatch::until(Clock::time_point deadline) const
{
    return silentSince_ == kAnswering ? deadline : std::min(deadline, silentSince_ + kSilenceLimit);
}

std::string angles(aimlink_angles position)
{
    return "pan " + std::to_string(position.pan) + " tilt " + std::to_string(position.tilt);
}

DirectHead::DirectHead(const std::string &device, bool initialise, const LineSettings &settings)
    : handle_(aimlink_new(device.c_str())), initialise_(initialise)
{
    if (handle_ == nullptr || applyLineSettings(handle_, settings) != AIMLINK_OK) {
        std::perror("aimhead: cannot make a handle");
        std::exit(kFailure); // NOLINT(concurrency-mt-unsafe): no watcher runs yet
    }
    aimlink_set_handler(handle_, toStandardError, nullptr);
    aimlink_set_initialise(handle_, initialise ? 1 : 0);
}

DirectHead::~DirectHead() { aimlink_free(handle_); }

void DirectHead::close() { aimlink_close(handle_); }

bool DirectHead::lastPosition(aimlink_angles &reported) { return aimlink_position(handle_, &reported) == AIMLINK_OK; }

std::string DirectHead::device() const { return aimlink::escaped(aimlink_device(handle_)); }

void DirectHead::endIfAsked()
{
    if (const int signal = endingSignal(); signal != 0) {
        aimlink_close(handle_);
        endAsSignalled(signal);
    }
}

int DirectHead::fail(const std::string &line)
{
    std::fprintf(stderr, "aimhead: %s\n", line.c_str());
    aimlink_close(handle_);
    return kFailure;
}

std::string DirectHead::lastReason() { return reasonAfterDevice(device(), aimlink_last_error(handle_)); }

std::string DirectHead::linkFailure() { return linkFailedLine(device(), aimlink_last_error(handle_)); }

int DirectHead::open()
{
    const auto started = Clock::now();
    const int opened = aimlink_open(handle_);
    if (opened == AIMLINK_ERR_PORT) {
        // The cause went through the handler; a failure that does not name
        // the device is one of setting the line speed.
        const bool speed = std::string(aimlink::escaped(aimlink_last_error(handle_))).rfind(device() + ": ", 0) != 0;
        std::fputs(speed ? "unable to set baud rate on port\n" : "unable to open port\n", stderr);
        const int error = aimlink_last_errno(handle_);
        if (!speed && (error == EWOULDBLOCK || error == EBUSY))
            pointToDaemon(aimlink_device(handle_));
        return kFailure;
    }
    if (opened != AIMLINK_OK)
        return kFailure;
    int answered = AIMLINK_ERR_TIMEOUT;
    const auto deadline = started + kFirstReply;
    for (endIfAsked(); answered == AIMLINK_ERR_TIMEOUT && timeLeft(deadline) > milliseconds(0); endIfAsked())
        answered = aimlink_wait_link(handle_, static_cast<int>(std::min(timeLeft(deadline), kSlice).count()));
    if (answered == AIMLINK_ERR_TIMEOUT)
        return fail("the head on " + device() + " does not answer" + lastReason());
    if (answered != AIMLINK_OK)
        return fail(linkFailure());
    // The pause still watches the line: an unplug ends the run when it happens.
    if (initialise_)
        for (endIfAsked(); Clock::now() < started + kStartupPause; endIfAsked()) {
            if (aimlink_link(handle_) == AIMLINK_LINK_FAILED)
                return fail(linkFailure());
            std::this_thread::sleep_for(std::min<Clock::duration>(kSlice, started + kStartupPause - Clock::now()));
        }
    return kSuccess;
}

int DirectHead::written(int status, const char *what)
{
    const auto deadline = Clock::now() + kWrite;
    for (endIfAsked(); status == AIMLINK_OK && timeLeft(deadline) > milliseconds(0); endIfAsked()) {
        const int result =
            aimlink_wait_written(handle_, static_cast<int>(std::min(timeLeft(deadline), kSlice).count()));
        if (result != AIMLINK_ERR_TIMEOUT)
            return result == AIMLINK_OK ? kSuccess : fail(linkFailure());
    }
    return status != AIMLINK_OK ? fail(linkFailure())
                                : fail(device() + ": " + what + " was not written within " + inSeconds(kWrite));
}

int DirectHead::position(aimlink_angles &reported)
{
    const auto deadline = Clock::now() + kFirstReply;
    for (endIfAsked(); timeLeft(deadline) > milliseconds(0); endIfAsked()) {
        const int result = aimlink_position(handle_, &reported);
        if (result == AIMLINK_OK)
            return kSuccess;
        if (aimlink_link(handle_) == AIMLINK_LINK_FAILED)
            return fail(linkFailure());
        std::this_thread::sleep_for(kSlice);
    }
    return fail("the head on " + device() + " sent no position report within " + inSeconds(kFirstReply));
}

int DirectHead::waitForArrival(const std::string &target)
{
    const auto deadline = Clock::now() + kArrival;
    faultInThreadExit();
    SilenceWatch silence;
    for (endIfAsked(); timeLeft(deadline) > milliseconds(0); endIfAsked()) {
        const int result =
            aimlink_wait_arrived(handle_, static_cast<int>(std::min(timeLeft(deadline), kSlice).count()));
        if (result == AIMLINK_OK)
            return kSuccess;
        if (result != AIMLINK_ERR_TIMEOUT)
            return fail(linkFailure());
        if (silence.tooLong(aimlink_link(handle_) == AIMLINK_LINK_SILENT))
            return fail("the head on " + device() + " stopped answering; it last reported " + lastReported());
    }
    return fail("the head on " + device() + " did not reach " + target + " within " + inSeconds(kArrival) +
                "; it last reported " + lastReported());
}

std::string DirectHead::lastReported()
{
    aimlink_angles reported{};
    return aimlink_position(handle_, &reported) == AIMLINK_OK ? angles(reported) : "nothing";
}

aimlink_angles reachable(aimlink_angles wanted)
{
    aimlink_angles stop{};
    if (aimlink_reachable(wanted.pan, wanted.tilt, &stop) == 0)
        std::fprintf(stderr, "aimhead: %s is beyond the head's travel; the head will stop at its limit, %s\n",
                     angles(wanted).c_str(), angles(stop).c_str());
    return stop;
}

int DirectHead::moveTo(aimlink_angles wanted)
{
    const aimlink_angles stop = reachable(wanted);
    if (const int status = written(aimlink_move(handle_, stop.pan, stop.tilt), "the move frame"); status != kSuccess)
        return status;
    return waitForArrival(angles(stop));
}

int DirectHead::home()
{
    if (const int status = written(aimlink_home(handle_), "the home frame"); status != kSuccess)
        return status;
    return waitForArrival(angles({AIMLINK_HOME_PAN, AIMLINK_HOME_TILT}));
}

} // namespace aimhead

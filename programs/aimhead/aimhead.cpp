// aimhead: points the camera head at one pan/tilt pair and returns once the
// head reports arriving there.
#include "aimlink.h"
#include "aimlink_protocol.h"

#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <sys/ioctl.h>

#ifndef AIMLINK_VERSION
#define AIMLINK_VERSION "unknown"
#endif

namespace aimhead {

// Whole decimal integers with an optional sign and nothing else, -32768 to
// 32767: a typo must not turn into a move.
std::optional<int16_t> parseAngle(std::string_view text)
{
    const bool plus = !text.empty() && text.front() == '+';
    if (plus)
        text.remove_prefix(1);
    const std::string_view digits = !plus && !text.empty() && text.front() == '-' ? text.substr(1) : text;
    if (digits.empty() || digits.front() < '0' || digits.front() > '9')
        return std::nullopt;
    int16_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace aimhead

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kUsage[] = "Usage:\naimhead pan tilt [zoom]\npan and tilt are in thousandths of radians\n";

enum ExitStatus { kSuccess = 0, kFailure = 1, kBadCommandLine = 2 };

constexpr auto kStartupPause = milliseconds(1000);
constexpr int kFirstReplyMs = 3000;
constexpr int kWriteMs = 3000;
constexpr int kArrivalMs = 30000;
constexpr int kSilenceCheckMs = 500;
constexpr int kSilenceLimitMs = 3000;

struct Request {
    int16_t pan;
    int16_t tilt;
    std::optional<int16_t> zoom;
};

// Shows what was given without letting control bytes reach the terminal.
std::string quoted(std::string_view text)
{
    std::string shown = "'";
    for (const char character : text) {
        const auto c = static_cast<unsigned char>(character);
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        }
    }
    return shown + "'";
}

std::optional<int16_t> argument(const char *name, const char *unit, const char *text)
{
    const auto value = aimhead::parseAngle(text);
    if (!value)
        std::fprintf(stderr, "aimhead: %s must be a whole number%s from -32768 to 32767, got %s\n", name, unit,
                     quoted(text).c_str());
    return value;
}

std::optional<Request> parseRequest(int argc, char **argv)
{
    const char *const kAngleUnit = " of milliradians";
    const auto panAngle = argument("pan", kAngleUnit, argv[1]);
    if (!panAngle)
        return std::nullopt;
    const auto tiltAngle = argument("tilt", kAngleUnit, argv[2]);
    if (!tiltAngle)
        return std::nullopt;
    Request request{*panAngle, *tiltAngle, std::nullopt};
    if (argc > 3) {
        request.zoom = argument("zoom", "", argv[3]);
        if (!request.zoom)
            return std::nullopt;
    }
    return request;
}

// TIOCEXCL outlives the descriptor on a pty: give the port back on Ctrl-C too.
extern "C" void releasePortAndDie(int signal)
{
    if (fd >= 0)
        ioctl(fd, TIOCNXCL);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Ends a run that got as far as starting the client: one line, port released.
int fail(const std::string &line)
{
    std::fprintf(stderr, "aimhead: %s\n", line.c_str());
    stopPTZ();
    return kFailure;
}

std::string device() { return devicePTZ(); }

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

// 1 once the head reports the target, 0 after 30 s, -1 when the link fails,
// kStoppedAnswering when the head has not answered for 3 s: a silent head
// need not keep the caller for the whole 30 s.
constexpr int kStoppedAnswering = 2;
int waitForArrival()
{
    const auto deadline = Clock::now() + milliseconds(kArrivalMs);
    std::optional<Clock::time_point> silentSince;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return 0;
        // The wait returns at once on arrival; the slice only bounds how
        // late a silence is noticed.
        const int arrived = waitDonePTZ(static_cast<int>(std::min<int64_t>(left, kSilenceCheckMs)));
        if (arrived != 0)
            return arrived;
        if (linkPTZ() != PTZ_LINK_SILENT)
            silentSince.reset();
        else if (!silentSince)
            silentSince = Clock::now();
        else if (Clock::now() - *silentSince >= milliseconds(kSilenceLimitMs))
            return kStoppedAnswering;
    }
}

int linkFailed() { return fail(device() + ": the link to the head failed"); }

int move(const Request &request)
{
    const auto started = Clock::now();
    startPTZ();
    std::signal(SIGINT, releasePortAndDie);
    std::signal(SIGTERM, releasePortAndDie);
    const int answered = waitLinkPTZ(kFirstReplyMs);
    if (answered == 0)
        return fail("the head on " + device() + " does not answer");
    if (answered < 0)
        return linkFailed();
    std::this_thread::sleep_until(started + kStartupPause);

    if (request.zoom)
        setZoom(*request.zoom);
    const int emptied = waitReadyPTZ(kWriteMs);
    if (emptied <= 0)
        return emptied < 0 ? linkFailed() : fail(device() + ": the command slot did not empty within 3 s");
    const std::string target = reachableTarget(request);
    setPanTilt(request.pan, request.tilt);
    const int written = waitReadyPTZ(kWriteMs);
    if (written <= 0)
        return written < 0 ? linkFailed() : fail(device() + ": the move frame was not written within 3 s");
    const int arrived = waitForArrival();
    if (arrived < 0)
        return linkFailed();
    if (arrived == 0)
        return fail("the head on " + device() + " did not reach " + target + " within 30 s; it last reported " +
                    lastReported());
    if (arrived == kStoppedAnswering)
        return fail("the head on " + device() + " stopped answering; it last reported " + lastReported());
    stopPTZ();
    return kSuccess;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
        std::fputs(kUsage, stdout);
        return kSuccess;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::puts("aimhead " AIMLINK_VERSION);
        return kSuccess;
    }
    if (argc < 3) {
        std::fputs(kUsage, stdout);
        return kBadCommandLine;
    }
    const auto request = parseRequest(argc, argv);
    if (!request)
        return kBadCommandLine;
    return move(*request);
}

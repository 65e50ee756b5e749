// SPDX-License-Identifier: MIT
#include "server_head.h"

#include "daemon_line.h"
#include "daemon_socket.h"
#include "signals.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include <sys/stat.h>

namespace aimhead {
namespace {

using json = nlohmann::json;
using std::chrono::milliseconds;

// Our own bound on a waiting move trails the daemon's, so that its reply,
// which says more, normally comes first.
constexpr auto kArrivalSlack = milliseconds(500);
// Leaving: the daemon answers a request at once, or we go anyway.
constexpr auto kUnwatchReply = milliseconds(300);
// Only a hint on the way out: the daemon at the default socket answers
// within a moment or is not asked further.
constexpr auto kHintReply = milliseconds(500);

std::optional<aimlink_angles> anglesIn(const json &object)
{
    if (!object.is_object())
        return std::nullopt;
    const auto pan = object.find("pan");
    const auto tilt = object.find("tilt");
    if (pan == object.end() || tilt == object.end() || !pan->is_number_integer() || !tilt->is_number_integer())
        return std::nullopt;
    return aimlink_angles{pan->get<int32_t>(), tilt->get<int32_t>()};
}

std::string textIn(const json &object, const char *key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// Two names of one device, as a symlink and its target are.
bool sameFile(const std::string &one, const std::string &other)
{
    struct stat first {};
    struct stat second {};
    return stat(one.c_str(), &first) == 0 && stat(other.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

} // namespace

ServerHead::ServerHead(std::string socket) : socket_(aimlink::escaped(socket)), path_(std::move(socket)) {}

void ServerHead::close()
{
    if (!line_.connected())
        return;
    if (watching_)
        stopWatching();
    line_.close();
}

// Events may be on their way to us: leaving without asking the daemon to stop
// them would cost it a failed write and a warning in its log for every run.
void ServerHead::stopWatching()
{
    watching_ = false;
    const int id = nextId_++;
    if (line_.send(json{{"id", id}, {"cmd", "watch"}, {"enable", false}}.dump()) != 0)
        return;
    const auto deadline = Clock::now() + kUnwatchReply;
    std::string text;
    int error = 0;
    while (line_.next(deadline, text, error) == DaemonLine::Read::Line) {
        const json reply = json::parse(text, nullptr, false);
        if (reply.is_object() && reply.value("id", json()) == id)
            return;
    }
}

void ServerHead::endIfAsked()
{
    if (const int signal = endingSignal(); signal != 0) {
        watching_ = false; // at once, as the signal asked
        close();
        endAsSignalled(signal);
    }
}

ServerHead::Read ServerHead::failed(const std::string &line)
{
    fail(line);
    return Read::Failed;
}

int ServerHead::fail(const std::string &line)
{
    std::fprintf(stderr, "aimhead: %s\n", line.c_str());
    watching_ = false; // the connection may be what failed
    close();
    return kFailure;
}

int ServerHead::daemonRefused(const json &reply)
{
    const std::string message = textIn(reply, "message");
    return fail(socket_ + ": " + aimlink::escaped(message.empty() ? textIn(reply, "error") : message));
}

std::string ServerHead::linkFailure() const { return linkFailedLine(device_, reason_); }

std::string ServerHead::lastReported() const { return position_ ? angles(*position_) : "nothing"; }

bool ServerHead::lastPosition(aimlink_angles &reported)
{
    if (position_)
        reported = *position_;
    return position_.has_value();
}

void ServerHead::note(const json &line)
{
    const bool event = line.contains("event");
    if (event && line["event"] == "position") {
        if (const auto at = anglesIn(line))
            position_ = at;
        return;
    }
    if (const auto link = line.find("link"); link != line.end() && link->is_string()) {
        link_ = link->get<std::string>();
        reason_ = textIn(line, "reason");
    }
    if (event)
        return;
    if (const auto at = line.find("position"); at != line.end())
        if (const auto reported = anglesIn(*at))
            position_ = reported;
    if (const std::string device = textIn(line, "device"); !device.empty())
        device_ = aimlink::escaped(device);
}

ServerHead::Read ServerHead::next(Clock::time_point deadline, json &line)
{
    for (;;) {
        endIfAsked();
        std::string text;
        int error = 0;
        switch (line_.next(std::min(deadline, Clock::now() + kSlice), text, error)) {
        case DaemonLine::Read::Line:
            line = json::parse(text, nullptr, false);
            if (line.is_discarded() || !line.is_object())
                return failed(socket_ + ": the daemon sent a line that is not a JSON object");
            note(line);
            return Read::Line;
        case DaemonLine::Read::TimedOut:
            if (timeLeft(deadline) == milliseconds(0))
                return Read::TimedOut;
            break; // a slice passed or a signal came: both are looked at above
        case DaemonLine::Read::Closed:
            return failed(socket_ + ": the daemon closed the connection");
        case DaemonLine::Read::Overlong:
            return failed(socket_ + ": the daemon sent a line longer than 64 KiB");
        case DaemonLine::Read::Failed:
            return failed(socket_ + ": reading from the daemon failed: " + aimlink::errorText(error));
        }
    }
}

int ServerHead::send(json request)
{
    const int id = nextId_++;
    request["id"] = id;
    const int error = line_.send(request.dump());
    if (error == 0)
        return id;
    if (error == EPIPE || error == ECONNRESET)
        fail(socket_ + ": the daemon closed the connection");
    else
        fail(socket_ + ": the daemon does not take requests: " + aimlink::errorText(error));
    return -1;
}

ServerHead::Read ServerHead::ask(json request, Clock::time_point deadline, json &reply)
{
    const int id = send(std::move(request));
    if (id < 0)
        return Read::Failed;
    for (;;) {
        const Read read = next(deadline, reply);
        if (read != Read::Line || reply.value("id", json()) == id)
            return read;
    }
}

int ServerHead::open()
{
    const auto started = Clock::now();
    if (const int error = line_.connect(path_); error != 0) {
        std::fprintf(stderr, "aimhead: no daemon at %s: %s\n", socket_.c_str(), aimlink::errorText(error).c_str());
        return kFailure;
    }
    // get names the device; watch then tells when the head answers.
    json reply;
    for (const char *command : {"get", "watch"}) {
        watching_ = watching_ || std::string_view(command) == "watch";
        const Read read = ask({{"cmd", command}}, started + kFirstReply, reply);
        if (read == Read::Failed)
            return kFailure;
        if (read == Read::TimedOut)
            return fail(socket_ + ": the daemon did not reply within " + inSeconds(kFirstReply));
        if (reply.value("ok", json()) != true)
            return daemonRefused(reply);
    }
    if (device_.empty())
        device_ = socket_;
    while (link_ != "up") {
        if (link_ == "failed")
            return fail(linkFailure());
        const Read read = next(started + kFirstReply, reply);
        if (read == Read::Failed)
            return kFailure;
        if (read == Read::TimedOut)
            return fail("the head on " + device_ + " does not answer");
    }
    return kSuccess;
}

int ServerHead::position(aimlink_angles &reported)
{
    const auto deadline = Clock::now() + kFirstReply;
    json line;
    while (!position_) {
        if (link_ == "failed")
            return fail(linkFailure());
        const Read read = next(deadline, line);
        if (read == Read::Failed)
            return kFailure;
        if (read == Read::TimedOut)
            return fail("the head on " + device_ + " sent no position report within " + inSeconds(kFirstReply));
    }
    reported = *position_;
    return kSuccess;
}

int ServerHead::waitForArrival(json request, aimlink_angles target)
{
    const auto deadline = Clock::now() + kArrival + kArrivalSlack;
    request["wait"] = true;
    request["timeout"] = kArrival.count();
    const int id = send(std::move(request));
    if (id < 0)
        return kFailure;
    const auto notReached = [&] {
        return fail("the head on " + device_ + " did not reach " + angles(target) + " within " + inSeconds(kArrival) +
                    "; it last reported " + lastReported());
    };
    SilenceWatch silence;
    json line;
    for (;;) {
        if (link_ == "failed")
            return fail(linkFailure());
        if (silence.tooLong(link_ == "silent"))
            return fail("the head on " + device_ + " stopped answering; it last reported " + lastReported());
        const Read read = next(silence.until(deadline), line);
        if (read == Read::Failed)
            return kFailure;
        if (read == Read::TimedOut) {
            if (Clock::now() >= deadline)
                return notReached();
            continue;
        }
        if (line.value("id", json()) != id)
            continue;
        if (line.value("ok", json()) == true)
            return kSuccess;
        if (textIn(line, "error") == "timeout")
            return notReached();
        if (link_ == "failed")
            return fail(linkFailure());
        return daemonRefused(line);
    }
}

int ServerHead::moveTo(aimlink_angles wanted)
{
    const aimlink_angles stop = reachable(wanted);
    return waitForArrival({{"cmd", "move"}, {"pan", stop.pan}, {"tilt", stop.tilt}}, stop);
}

int ServerHead::home() { return waitForArrival({{"cmd", "home"}}, {AIMLINK_HOME_PAN, AIMLINK_HOME_TILT}); }

void pointToDaemon(const std::string &device)
{
    const std::string socket = defaultSocketPath();
    DaemonLine line;
    std::string text;
    int error = 0;
    // Only a daemon on this very device is worth naming.
    if (line.connect(socket) != 0 || line.send(json{{"id", 1}, {"cmd", "get"}}.dump()) != 0 ||
        line.next(Clock::now() + kHintReply, text, error) != DaemonLine::Read::Line)
        return;
    line.close();
    const json reply = json::parse(text, nullptr, false);
    const std::string served = reply.is_object() ? textIn(reply, "device") : std::string();
    if (served.empty() || (served != device && !sameFile(served, device)))
        return;
    const std::string shown = aimlink::escaped(socket);
    std::fprintf(stderr, "aimhead: a daemon serves this head at %s; use --server %s\n", shown.c_str(), shown.c_str());
}

} // namespace aimhead

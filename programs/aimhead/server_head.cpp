#include "server_head.h"

#include "daemon_socket.h"
#include "signals.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <system_error>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace aimhead {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Our own bound on a waiting move trails the daemon's, so that its reply,
// which says more, normally comes first.
constexpr auto kArrivalSlack = milliseconds(500);
// The daemon's longest line is a reply of a few hundred bytes.
constexpr size_t kMaxLine = 65536;
// Leaving: the daemon answers a request at once, or we go anyway.
constexpr auto kUnwatchReply = milliseconds(300);
// Only a hint on the way out: the daemon at the default socket answers
// within a moment or is not asked further.
constexpr auto kHintReply = milliseconds(500);

// A connected, non-blocking stream socket, or -1 with the errno in error.
int connectTo(const std::string &path, int &error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = ENAMETOOLONG;
        return -1;
    }
    path.copy(address.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return fd;
    error = errno;
    ::close(fd);
    return -1;
}

// The whole line or nothing: a request is far smaller than a socket's buffer.
bool sendLine(int fd, const json &request, int &error)
{
    const std::string text = request.dump() + "\n";
    const ssize_t sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    error = sent < 0 ? errno : EAGAIN;
    return sent == static_cast<ssize_t>(text.size());
}

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

int millisecondsLeft(Clock::time_point deadline)
{
    return static_cast<int>(
        std::max(milliseconds(0), std::chrono::ceil<milliseconds>(deadline - Clock::now())).count());
}

} // namespace

ServerHead::ServerHead(std::string socket) : socket_(escaped(socket)), path_(std::move(socket)) {}

// A run calls close(), which lets the daemon know; this only gives the descriptor back.
ServerHead::~ServerHead()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void ServerHead::close()
{
    if (fd_ < 0)
        return;
    if (watching_)
        stopWatching();
    ::close(fd_);
    fd_ = -1;
}

// Events may be on their way to us: leaving without asking the daemon to stop
// them would cost it a failed write and a warning in its log for every run.
void ServerHead::stopWatching()
{
    watching_ = false;
    const int id = nextId_++;
    int error = 0;
    if (!sendLine(fd_, {{"id", id}, {"cmd", "watch"}, {"enable", false}}, error))
        return;
    const auto deadline = Clock::now() + kUnwatchReply;
    for (;;) {
        for (size_t newline = buffered_.find('\n'); newline != std::string::npos; newline = buffered_.find('\n')) {
            const json line = json::parse(buffered_.substr(0, newline), nullptr, false);
            buffered_.erase(0, newline + 1);
            if (line.is_object() && line.value("id", json()) == id)
                return;
        }
        pollfd ready{fd_, POLLIN, 0};
        const int left = millisecondsLeft(deadline);
        char chunk[4096];
        const ssize_t count = left > 0 && poll(&ready, 1, left) > 0 ? recv(fd_, chunk, sizeof chunk, 0) : -1;
        if (count <= 0)
            return;
        buffered_.append(chunk, static_cast<size_t>(count));
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
    return fail(socket_ + ": " + escaped(message.empty() ? textIn(reply, "error") : message));
}

std::string ServerHead::linkFailure() const
{
    // The daemon's reason starts with the device, which the line names once.
    std::string reason = escaped(reason_);
    const std::string prefix = device_ + ": ";
    if (reason.rfind(prefix, 0) == 0)
        reason.erase(0, prefix.size());
    return device_ + ": the link to the head failed" + (reason.empty() ? "" : ": " + reason);
}

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
        device_ = escaped(device);
}

ServerHead::Read ServerHead::next(Clock::time_point deadline, json &line)
{
    for (;;) {
        const size_t newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            line = json::parse(buffered_.begin(), buffered_.begin() + static_cast<std::ptrdiff_t>(newline), nullptr,
                               false);
            buffered_.erase(0, newline + 1);
            if (line.is_discarded() || !line.is_object()) {
                fail(socket_ + ": the daemon sent a line that is not a JSON object");
                return Read::Failed;
            }
            note(line);
            return Read::Line;
        }
        if (buffered_.size() > kMaxLine) {
            fail(socket_ + ": the daemon sent a line longer than 64 KiB");
            return Read::Failed;
        }
        endIfAsked();
        const int left = millisecondsLeft(deadline);
        if (left == 0)
            return Read::TimedOut;
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, std::min(left, static_cast<int>(kSlice.count()))) <= 0)
            continue; // a slice passed or a signal came: both are looked at above
        char chunk[4096];
        const ssize_t count = recv(fd_, chunk, sizeof chunk, 0);
        if (count > 0) {
            buffered_.append(chunk, static_cast<size_t>(count));
        } else if (count == 0 || errno == ECONNRESET) {
            fail(socket_ + ": the daemon closed the connection");
            return Read::Failed;
        } else if (errno != EAGAIN && errno != EINTR) {
            fail(socket_ + ": reading from the daemon failed: " + errorText(errno));
            return Read::Failed;
        }
    }
}

int ServerHead::send(json request)
{
    const int id = nextId_++;
    request["id"] = id;
    int error = 0;
    if (sendLine(fd_, request, error))
        return id;
    if (error == EPIPE || error == ECONNRESET)
        fail(socket_ + ": the daemon closed the connection");
    else
        fail(socket_ + ": the daemon does not take requests: " + errorText(error));
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
    int error = 0;
    fd_ = connectTo(path_, error);
    if (fd_ < 0) {
        std::fprintf(stderr, "aimhead: no daemon at %s: %s\n", socket_.c_str(), errorText(error).c_str());
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
            return fail(socket_ + ": the daemon did not reply within 3 s");
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
            return fail("the head on " + device_ + " sent no position report within 3 s");
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
        return fail("the head on " + device_ + " did not reach " + angles(target) + " within 30 s; it last reported " +
                    lastReported());
    };
    // A sentinel, not std::optional: GCC 12 on 32-bit ARM warns that the
    // optional's time may be used uninitialised.
    constexpr auto kAnswering = Clock::time_point::max();
    auto silentSince = kAnswering;
    json line;
    for (;;) {
        if (link_ == "failed")
            return fail(linkFailure());
        if (link_ != "silent")
            silentSince = kAnswering;
        else if (silentSince == kAnswering)
            silentSince = Clock::now();
        const auto until = silentSince == kAnswering ? deadline : std::min(deadline, silentSince + kSilenceLimit);
        const Read read = next(until, line);
        if (read == Read::Failed)
            return kFailure;
        if (read == Read::TimedOut) {
            if (Clock::now() >= deadline)
                return notReached();
            if (silentSince != kAnswering && Clock::now() - silentSince >= kSilenceLimit)
                return fail("the head on " + device_ + " stopped answering; it last reported " + lastReported());
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

int ServerHead::home() { return waitForArrival({{"cmd", "home"}}, {0, 1571}); }

void pointToDaemon(const std::string &device)
{
    const std::string socket = defaultSocketPath();
    int error = 0;
    const int fd = connectTo(socket, error);
    if (fd < 0)
        return;
    // Only a daemon on this very device is worth naming.
    std::string received;
    const auto deadline = Clock::now() + kHintReply;
    bool sent = sendLine(fd, {{"id", 1}, {"cmd", "get"}}, error);
    while (sent && received.find('\n') == std::string::npos && received.size() < kMaxLine) {
        pollfd ready{fd, POLLIN, 0};
        const int left = millisecondsLeft(deadline);
        char chunk[4096];
        const ssize_t count = left > 0 && poll(&ready, 1, left) > 0 ? recv(fd, chunk, sizeof chunk, 0) : -1;
        if (count <= 0)
            sent = false;
        else
            received.append(chunk, static_cast<size_t>(count));
    }
    ::close(fd);
    const json reply = json::parse(received.substr(0, received.find('\n')), nullptr, false);
    const std::string served = reply.is_object() ? textIn(reply, "device") : std::string();
    if (served.empty() || (served != device && !sameFile(served, device)))
        return;
    const std::string shown = escaped(socket);
    std::fprintf(stderr, "aimhead: a daemon serves this head at %s; use --server %s\n", shown.c_str(), shown.c_str());
}

} // namespace aimhead

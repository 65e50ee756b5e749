// SPDX-License-Identifier: MIT
// aimsim: plays the camera head on a pseudo-terminal, with faults on request.
#include "head.h"
#include "sim_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace aimsim;
using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr milliseconds kSplitGap(60);

// The platform's code for a line speed, as the terminal reports it.
speed_t speedCode(int baud)
{
    termios attributes{};
    if (cfsetspeed(&attributes, static_cast<speed_t>(baud)) != 0)
        return 0;
    return cfgetospeed(&attributes);
}

std::string hex(Bytes bytes)
{
    std::string text;
    char byte[4];
    for (uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, text.empty() ? "%02X" : " %02X", b);
        text += byte;
    }
    return text;
}

double monotonicSeconds(Clock::time_point when)
{
    return std::chrono::duration<double>(when.time_since_epoch()).count();
}

// Bytes on their way to the client, each with the time it is due.
struct Outgoing {
    Clock::time_point due;
    uint8_t byte;
    std::string traceLine; // printed once the reply's last byte is out
};

class Simulator {
public:
    explicit Simulator(Options options)
        : options_(std::move(options)), head_(options_.start, options_.speed),
          // 10 bits a byte: a start bit, 8 data bits and a stop bit.
          byteTime_((10'000'000 + options_.baud / 2) / options_.baud)
    {
    }

    int run(int master, int signals);

private:
    void receive(Clock::time_point now);
    void answerFrame(Bytes frame, Clock::time_point now);
    std::vector<uint8_t> faulted(std::vector<uint8_t> reply, std::string &text);
    void schedule(const std::vector<uint8_t> &bytes, Clock::time_point now, const std::string &text);
    void sendDue(Clock::time_point now);
    void trace(Clock::time_point when, const std::string &line) const;
    std::optional<timespec> untilNextByte(Clock::time_point now) const;

    Options options_;
    Head head_;
    FrameAssembler frames_;
    std::deque<Outgoing> outgoing_;
    std::minstd_rand random_{12345};
    int master_ = -1;
    long framesSeen_ = 0;
    long positionReplies_ = 0;
    bool hungUp_ = false;
    microseconds byteTime_;
};

void Simulator::trace(Clock::time_point when, const std::string &line) const
{
    if (options_.trace)
        std::fprintf(stderr, "%.6f %s\n", monotonicSeconds(when), line.c_str());
}

std::vector<uint8_t> Simulator::faulted(std::vector<uint8_t> reply, std::string &text)
{
    if (reply.size() == 14 && options_.corruptEvery > 0 && ++positionReplies_ % options_.corruptEvery == 0) {
        reply[7] = '@';
        text += " (corrupted)";
    }
    if (options_.noise) {
        std::vector<uint8_t> noisy(1 + random_() % 4);
        for (uint8_t &byte : noisy)
            byte = static_cast<uint8_t>(random_() % 0xFE); // never FE: that starts a reply
        text += " after noise " + hex(noisy);
        reply.insert(reply.begin(), noisy.begin(), noisy.end());
    }
    return reply;
}

void Simulator::answerFrame(Bytes frame, Clock::time_point now)
{
    ++framesSeen_;
    const Decoded decoded = decodeFrame(frame);
    if (options_.hangupAfter >= 0 && framesSeen_ > options_.hangupAfter) {
        trace(now, "-> " + decoded.text + "  [" + hex(frame) + "]");
        trace(now, "-- hang-up: line closed");
        hungUp_ = true;
        return;
    }
    const bool silent = options_.silentAfter >= 0 && framesSeen_ > options_.silentAfter;
    trace(now, "-> " + decoded.text + "  [" + hex(frame) + "]" + (silent ? "  (no answer: silent)" : ""));
    if (silent)
        return;
    // A frame rejected on request is not carried out, as with the real head.
    const bool rejected = options_.rejectEvery > 0 && framesSeen_ % options_.rejectEvery == 0;
    std::vector<uint8_t> reply = rejected ? rejection() : head_.answer(decoded, now);
    std::string text;
    if (rejected) {
        text = "reject (fault)";
    } else if (reply.size() == 14) {
        const Position at = head_.positionAt(now);
        text = "position " + std::to_string(at.pan) + " " + std::to_string(at.tilt);
    } else {
        text = reply[3] == 0x30 ? "ack" : "reject";
    }
    reply = faulted(std::move(reply), text);
    schedule(reply, now, text);
}

void Simulator::schedule(const std::vector<uint8_t> &bytes, Clock::time_point now, const std::string &text)
{
    Clock::time_point due = now + milliseconds(options_.latencyMs);
    if (!outgoing_.empty())
        due = std::max(due, outgoing_.back().due + byteTime_);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (options_.split && i == bytes.size() / 2)
            due += kSplitGap;
        outgoing_.push_back({due, bytes[i], {}});
        due += byteTime_;
    }
    outgoing_.back().traceLine = "<- " + text + "  [" + hex(bytes) + "]";
}

void Simulator::sendDue(Clock::time_point now)
{
    uint8_t chunk[64];
    size_t count = 0;
    std::string lastLine;
    while (!outgoing_.empty() && outgoing_.front().due <= now && count < sizeof chunk) {
        chunk[count++] = outgoing_.front().byte;
        if (!outgoing_.front().traceLine.empty())
            lastLine = outgoing_.front().traceLine;
        outgoing_.pop_front();
    }
    if (count == 0)
        return;
    if (write(master_, chunk, count) != static_cast<ssize_t>(count))
        std::fprintf(stderr, "aimsim: write to the terminal: %s\n", std::strerror(errno));
    if (!lastLine.empty())
        trace(Clock::now(), lastLine);
}

void Simulator::receive(Clock::time_point now)
{
    uint8_t chunk[256];
    const ssize_t count = read(master_, chunk, sizeof chunk);
    if (count <= 0)
        return;
    // A head at another line speed than the client's sees only garbage.
    termios line{};
    if (tcgetattr(master_, &line) == 0 && cfgetospeed(&line) != speedCode(options_.baud)) {
        trace(now, "-> " + std::to_string(count) + " bytes at another line speed (no answer)");
        return;
    }
    const auto frames = frames_.feed(Bytes(chunk, static_cast<size_t>(count)));
    if (const auto stray = frames_.takeStray(); !stray.empty())
        trace(now, "-> stray bytes outside any frame  [" + hex(stray) + "]");
    for (const auto &frame : frames) {
        answerFrame(frame, now);
        if (hungUp_)
            return;
    }
}

// Until the next byte is due, to the microsecond: a line keeps byte time,
// and a client that predicts its replies is judged against that.
std::optional<timespec> Simulator::untilNextByte(Clock::time_point now) const
{
    if (outgoing_.empty())
        return std::nullopt;
    const auto wait = std::max<Clock::duration>(outgoing_.front().due - now, Clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    return timespec{static_cast<time_t>(seconds.count()),
                    static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(wait - seconds).count())};
}

int Simulator::run(int master, int signals)
{
    master_ = master;
    for (;;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {hungUp_ ? -1 : master_, POLLIN, 0}};
        const std::optional<timespec> wait = hungUp_ ? std::nullopt : untilNextByte(Clock::now());
        const int ready = ppoll(fds, 2, wait ? &*wait : nullptr, nullptr);
        if (ready < 0 && errno != EINTR) {
            std::perror("aimsim: poll");
            return 1;
        }
        if (fds[0].revents & POLLIN) {
            // The client's last frames may be waiting unread: a trace that
            // missed them would show a run that never sent them.
            if (!hungUp_)
                receive(Clock::now());
            return 0;
        }
        const auto now = Clock::now();
        if (fds[1].revents & POLLIN)
            receive(now);
        if (hungUp_ && master_ >= 0) {
            close(master_);
            master_ = -1;
            outgoing_.clear();
        }
        if (!hungUp_)
            sendDue(Clock::now());
    }
}

// The client side of the pty, raw, so that the line carries bytes untouched
// until the client sets its own modes. Kept open for the simulator's life so
// that the master does not report a hang-up between clients.
int openClientSide(int master, int baud, std::string &path)
{
    if (grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    const char *name = ptsname(master);
    if (name == nullptr)
        return -1;
    path = name;
    const int client = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (client < 0)
        return -1;
    termios attributes{};
    if (tcgetattr(client, &attributes) != 0)
        return -1;
    cfmakeraw(&attributes);
    cfsetspeed(&attributes, speedCode(baud));
    if (tcsetattr(client, TCSANOW, &attributes) != 0)
        return -1;
    return client;
}

bool makeLink(const std::string &link, const std::string &target)
{
    struct stat existing {};
    if (lstat(link.c_str(), &existing) == 0) {
        // Only a stale symlink is ours to replace; never clobber a real file.
        struct stat pointed {};
        if (!S_ISLNK(existing.st_mode) || stat(link.c_str(), &pointed) == 0) {
            std::fprintf(stderr, "aimsim: %s: exists and is not a stale symlink\n", link.c_str());
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "aimsim: %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

int blockedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
        return -1;
    return signalfd(-1, &set, SFD_CLOEXEC);
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parseOptions(argc, argv);
    const int signals = blockedSignals();
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string path;
    const int client = master < 0 || signals < 0 ? -1 : openClientSide(master, options.baud, path);
    if (client < 0) {
        std::fprintf(stderr, "aimsim: cannot set up a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    if (!options.link.empty() && !makeLink(options.link, path))
        return 1;
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    Simulator simulator(options);
    const int status = simulator.run(master, signals);
    // The name goes before the terminal it names: once the terminal's last
    // descriptor is closed, its number goes to the next pseudo-terminal
    // opened, and a client reopening the name (aimheadd after a hang-up)
    // would reach another program's line.
    if (!options.link.empty())
        unlink(options.link.c_str());
    close(client);
    return status;
}

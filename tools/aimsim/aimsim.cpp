// aimsim: plays the camera head on a pseudo-terminal, with faults on request.
#include "head.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#ifndef AIMLINK_VERSION
#define AIMLINK_VERSION "unknown"
#endif

namespace {

using namespace aimsim;
using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr char kUsage[] = "Usage: aimsim [options]\n"
                          "Plays a pan-tilt camera head on a pseudo-terminal. Prints the terminal's path as the\n"
                          "first line on standard output, then answers frames until SIGINT or SIGTERM.\n"
                          "\n"
                          "Options:\n"
                          "  --link PATH         also make a symlink PATH to the terminal (removed on exit)\n"
                          "  --start PAN,TILT    starting position in camera counts (default 0,0)\n"
                          "  --speed N           travel speed in counts per second per axis, at most 1000000;\n"
                          "                      0 travels at once (default 500, 1 rad/s)\n"
                          "  --latency MS        delay before each reply in milliseconds (default 5)\n"
                          "  --trace             one line per frame each way on standard error, time-stamped\n"
                          "                      (seconds of the monotonic clock), decoded and in hex\n"
                          "Faults:\n"
                          "  --reject N          reject every Nth frame\n"
                          "  --split             send each reply in two pieces, 60 ms apart\n"
                          "  --noise             send a few stray bytes before each reply\n"
                          "  --corrupt N         put a non-hexadecimal digit into every Nth position reply\n"
                          "  --silent-after N    stop answering after N frames\n"
                          "  --hangup-after N    close the line after N frames\n"
                          "\n"
                          "  --help              show this text\n"
                          "  --version           show the version\n"
                          "Travel is limited to pan -890..890 and tilt -267..800 counts. Exit status: 0 after a\n"
                          "signal, 1 when the terminal cannot be set up, 2 for bad options.\n";

// 10 bits a byte at 9600 baud.
constexpr microseconds kByteTime(1042);
constexpr milliseconds kSplitGap(60);

struct Options {
    std::string link;
    Position start;
    int speed = 500;
    int latencyMs = 5;
    bool trace = false;
    int rejectEvery = 0;
    bool split = false;
    bool noise = false;
    int corruptEvery = 0;
    int silentAfter = -1;
    int hangupAfter = -1;
};

[[noreturn]] void badOption(const std::string &message)
{
    std::fprintf(stderr, "aimsim: %s (see aimsim --help)\n", message.c_str());
    std::exit(2);
}

int wholeNumber(std::string_view option, const char *text, int minimum, int maximum = INT_MAX)
{
    int value = 0;
    const std::string_view digits(text);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || value < minimum ||
        value > maximum)
        badOption(std::string(option) + " needs a whole number " +
                  (maximum == INT_MAX ? "of at least " + std::to_string(minimum)
                                      : "from " + std::to_string(minimum) + " to " + std::to_string(maximum)) +
                  ", got '" + text + "'");
    return value;
}

Position startPosition(const char *text)
{
    const std::string_view pair(text);
    const auto comma = pair.find(',');
    int values[2] = {0, 0};
    bool valid = comma != std::string_view::npos;
    for (int i = 0; valid && i < 2; ++i) {
        const std::string_view part = i == 0 ? pair.substr(0, comma) : pair.substr(comma + 1);
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), values[i]);
        valid = !part.empty() && error == std::errc() && end == part.data() + part.size();
    }
    if (!valid || values[0] < -kPanLimit || values[0] > kPanLimit || values[1] < kTiltMin || values[1] > kTiltMax)
        badOption(std::string("--start needs PAN,TILT in counts within the travel, got '") + text + "'");
    return {values[0], values[1]};
}

Options parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option(argv[i]);
        auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                badOption(std::string(option) + " needs a value");
            return argv[++i];
        };
        if (option == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (option == "--version") {
            std::puts("aimsim " AIMLINK_VERSION);
            std::exit(0);
        } else if (option == "--link") {
            options.link = value();
        } else if (option == "--start") {
            options.start = startPosition(value());
        } else if (option == "--speed") {
            options.speed = wholeNumber(option, value(), 0, kFastestSpeed);
        } else if (option == "--latency") {
            options.latencyMs = wholeNumber(option, value(), 0);
        } else if (option == "--trace") {
            options.trace = true;
        } else if (option == "--reject") {
            options.rejectEvery = wholeNumber(option, value(), 1);
        } else if (option == "--split") {
            options.split = true;
        } else if (option == "--noise") {
            options.noise = true;
        } else if (option == "--corrupt") {
            options.corruptEvery = wholeNumber(option, value(), 1);
        } else if (option == "--silent-after") {
            options.silentAfter = wholeNumber(option, value(), 0);
        } else if (option == "--hangup-after") {
            options.hangupAfter = wholeNumber(option, value(), 0);
        } else {
            badOption("unknown option '" + std::string(option) + "'");
        }
    }
    return options;
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
    explicit Simulator(Options options) : options_(std::move(options)), head_(options_.start, options_.speed) {}

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
        due = std::max(due, outgoing_.back().due + kByteTime);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (options_.split && i == bytes.size() / 2)
            due += kSplitGap;
        outgoing_.push_back({due, bytes[i], {}});
        due += kByteTime;
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
int openClientSide(int master, std::string &path)
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
    cfsetspeed(&attributes, B9600);
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
    const int client = master < 0 || signals < 0 ? -1 : openClientSide(master, path);
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
    close(client);
    if (!options.link.empty())
        unlink(options.link.c_str());
    return status;
}

// SPDX-License-Identifier: MIT
// What the client costs and how fast it reacts, measured from outside the
// processes against the simulated head. Prints one table.
//   aimbench [--runs N]       (scripts/bench builds and runs it)
#include "aimlink.h"
#include "aimlink_protocol.h"
#include "serial.h"
#include "support/process.h"
#include "support/stderr_capture.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double quantile(std::vector<double> values, double q)
{
    std::sort(values.begin(), values.end());
    const double at = q * static_cast<double>(values.size() - 1);
    const auto low = static_cast<size_t>(at);
    const size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (at - static_cast<double>(low));
}

std::string spread(const std::vector<double> &values, const char *format)
{
    if (values.empty())
        return "-";
    char text[160];
    const std::string pattern = std::string("median ") + format + " (min " + format + ", max " + format + ")";
    std::snprintf(text, sizeof text, pattern.c_str(), quantile(values, 0.5), quantile(values, 0), quantile(values, 1));
    return text;
}

// Time stamp of the first reply after the last move frame that reports the
// position, from the simulator's trace (seconds of the monotonic clock).
double arrivalReplyTime(const std::string &trace, const std::string &position)
{
    const size_t move = trace.rfind(" -> move ");
    size_t at = trace.find(" <- position " + position + "  ", move == std::string::npos ? 0 : move);
    if (at == std::string::npos)
        return -1;
    const size_t lineStart = trace.rfind('\n', at);
    return std::stod(trace.substr(lineStart == std::string::npos ? 0 : lineStart + 1));
}

std::string machine()
{
    std::ifstream load("/proc/loadavg");
    std::string one, five, fifteen;
    load >> one >> five >> fifteen;
    std::ifstream cpuInfo("/proc/cpuinfo");
    std::string line, model = "unknown";
    while (std::getline(cpuInfo, line))
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    return std::to_string(std::thread::hardware_concurrency()) + " cores (" + model + "), load " + one + " " + five +
           " " + fifteen;
}

const char *verdict(bool met) { return met ? "met" : "NOT MET"; }

// Keeps a client running and polling for the given seconds, for the idle figure.
int idleClient(int seconds)
{
    startPTZ();
    waitLinkPTZ(3000);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stopPTZ();
    return 0;
}

// Keeps one handle open on each device for the given seconds.
int idleHandles(int seconds, const std::vector<std::string> &devices)
{
    std::vector<aimlink_head *> heads;
    for (const auto &device : devices) {
        heads.push_back(aimlink_new(device.c_str()));
        if (aimlink_open(heads.back()) != AIMLINK_OK || aimlink_wait_link(heads.back(), 3000) != AIMLINK_OK)
            return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    for (auto *head : heads)
        aimlink_free(head);
    return 0;
}

// The original design done plainly, as the least a client of it can cost:
// a thread that sleeps 100 ms, writes a position request, then reads every
// 40 ms until a reply has come, and keeps nothing of it.
int plainClient(int seconds, const char *device)
{
    const int port = openSerialPort(device, 9600);
    std::thread watcher([seconds, port] {
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        std::array<uint8_t, aimlink::kMaxFrame> request{};
        const size_t length = aimlink::buildPollFrame(request);
        std::array<uint8_t, 256> reply{};
        while (Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            [[maybe_unused]] const ssize_t written = write(port, request.data(), length);
            do {
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
                reply[0] = 0x20;
                [[maybe_unused]] const ssize_t count = read(port, reply.data(), reply.size() - 1);
            } while (reply[0] != 0xFE);
        }
    });
    watcher.join();
    close(port);
    return 0;
}

constexpr int kIdleSeconds = 10;
// Start-up and the first exchanges are over by then.
constexpr auto kSettle = std::chrono::milliseconds(1500);

// What an idle program costs once it is up, in % of a core: its threads'
// CPU over kIdleSeconds that start after kSettle, with the frames the head
// saw meanwhile. Start-up is left out: it is paid once, not while idling.
struct Idle {
    double percent = -1;
    double framesPerSecond = 0;
};

Idle measureIdle(std::vector<std::string> command, const Environment &environment = {},
                 const BackgroundProcess *head = nullptr, int seconds = kIdleSeconds)
{
    // The program's own time (its first argument) outlasts settling and window.
    command.insert(command.begin() + 2, std::to_string(seconds + 3));
    BackgroundProcess program(command, environment);
    std::this_thread::sleep_for(kSettle);
    const int framesBefore = head != nullptr ? occurrences(head->errors(), " -> ") : 0;
    const double percent = cpuPercentOver(program.pid(), std::chrono::seconds(seconds));
    const int frames = head != nullptr ? occurrences(head->errors(), " -> ") - framesBefore : 0;
    Idle idle;
    if (program.wait(std::chrono::seconds(10)) == 0) {
        idle.percent = percent;
        idle.framesPerSecond = frames / double(seconds);
    }
    return idle;
}

// Ms from the last byte of the reply that told position to the run's end,
// when the trace has that reply.
void addReaction(std::vector<double> &reactions, const ProcessResult &run, const std::string &trace,
                 const std::string &position)
{
    const double replied = arrivalReplyTime(trace, position);
    if (replied > 0)
        reactions.push_back((std::chrono::duration<double>(run.ended.time_since_epoch()).count() - replied) * 1e3);
}

// What one build of aimhead costs: moves to alternate sides, moves to where
// the head already is, and an idle client.
struct Figures {
    std::vector<double> cpu, rss, reaction, floorReaction, wall;
    Idle idle;
    int failures = 0;
};

Figures measure(const std::string &aimhead, const std::vector<std::string> &idleCommand, int runs)
{
    Simulator head({"--trace", "--speed", "0"});
    Figures figures;
    for (int i = 0; i < runs; ++i) {
        const bool left = i % 2 == 0;
        const ProcessResult run = runProcess({aimhead, left ? "1000" : "-1000", "1571"}, head.environment());
        figures.failures += run.status != 0;
        figures.cpu.push_back(run.cpuMs);
        figures.rss.push_back(static_cast<double>(run.maxResidentKiB) / 1024.0);
        addReaction(figures.reaction, run, head.errors(), left ? "-500 0" : "500 0");
        // In turn with aimhead, so that both meet the machine's hiccups alike;
        // to a third place, so that every run of either is a move.
        const ProcessResult floor = runProcess({AIMBENCH_MOVER, head.device(), "0", "300"}, head.environment());
        figures.failures += floor.status != 0;
        addReaction(figures.floorReaction, floor, head.errors(), "0 300");
    }
    // The initialise frame sends the head home: a move there finds it arrived.
    for (int i = 0; i < runs / 2; ++i) {
        const ProcessResult run = runProcess({aimhead, "0", "1571"}, head.environment());
        figures.failures += run.status != 0;
        figures.wall.push_back(std::chrono::duration<double>(run.elapsed).count());
    }
    figures.idle = measureIdle(idleCommand, head.environment(), &head);
    figures.failures += figures.idle.percent < 0;
    return figures;
}

// CPU of handles kept open on as many simulated heads, in % of a core.
double idleHandlesPercent(int count, int seconds)
{
    std::vector<std::unique_ptr<Simulator>> heads;
    std::vector<std::string> command = {"/proc/self/exe", "--idle-handles"};
    for (int i = 0; i < count; ++i) {
        heads.push_back(std::make_unique<Simulator>());
        command.push_back(heads.back()->device());
    }
    return measureIdle(command, {}, nullptr, seconds).percent;
}

double plainClientPercent(int seconds)
{
    Simulator head;
    return measureIdle({"/proc/self/exe", "--plain-client", head.device()}, {}, nullptr, seconds).percent;
}

// Figures that are compared with each other are taken in turns, kIdleSeconds
// for each in all: the machine's slow and quick spells fall on all alike.
// -1 for one whose program failed.
std::vector<double> idleInTurns(const std::vector<std::function<double(int)>> &measures)
{
    constexpr int kRounds = 2;
    std::vector<double> percents(measures.size(), 0.0);
    for (int round = 0; round < kRounds; ++round)
        for (size_t i = 0; i < measures.size(); ++i) {
            const double percent = measures[i](kIdleSeconds / kRounds);
            percents[i] = percent < 0 || percents[i] < 0 ? -1 : percents[i] + percent / kRounds;
        }
    return percents;
}

std::string reactionText(const std::vector<double> &reaction)
{
    if (reaction.empty())
        return "no reply found in the trace";
    char text[128];
    std::snprintf(text, sizeof text, "p50 %.2f ms, p99 %.2f ms", quantile(reaction, 0.5), quantile(reaction, 0.99));
    return text;
}

// What aimhead takes beyond the minimal mover, typically: the tails of both
// are the machine's, and a hiccup in one run of either says nothing of aimhead.
double addedMs(const Figures &figures)
{
    if (figures.reaction.empty() || figures.floorReaction.empty())
        return std::numeric_limits<double>::infinity();
    return quantile(figures.reaction, 0.5) - quantile(figures.floorReaction, 0.5);
}

std::string floorText(const Figures &figures)
{
    char added[64];
    std::snprintf(added, sizeof added, "; aimhead adds %.2f ms", addedMs(figures));
    return reactionText(figures.floorReaction) + (figures.floorReaction.empty() ? "" : added);
}

std::string percentText(double percent)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.3f %%", percent);
    return text;
}

void row(const char *figure, const char *target, const std::string &before, const std::string &now, bool met)
{
    std::printf("| %s | %s | %s | %s | %s |\n", figure, target, before.c_str(), now.c_str(), verdict(met));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--idle-client")
        return idleClient(std::atoi(argv[2]));
    if (argc == 4 && std::string(argv[1]) == "--plain-client")
        return plainClient(std::atoi(argv[2]), argv[3]);
    if (argc >= 4 && std::string(argv[1]) == "--idle-handles")
        return idleHandles(std::atoi(argv[2]), std::vector<std::string>(argv + 3, argv + argc));
    int runs = 20;
    std::string baseline; // a build of the previous release, with bin/aimhead and bench/aimbench
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--runs")
            runs = std::max(2, std::atoi(argv[i + 1]));
        else if (std::string(argv[i]) == "--baseline")
            baseline = argv[i + 1];
    }

    const Figures now = measure(aimheadPath(), {"/proc/self/exe", "--idle-client"}, runs);
    Figures before;
    if (!baseline.empty())
        before = measure(baseline + "/bin/aimhead", {baseline + "/bench/aimbench", "--idle-client"}, runs);
    const std::vector<double> idle =
        idleInTurns({[](int seconds) { return idleHandlesPercent(1, seconds); },
                     [](int seconds) { return idleHandlesPercent(2, seconds); }, plainClientPercent});
    const double oneHandle = idle[0];
    const double twoHandles = idle[1];
    const double plain = idle[2];

    std::printf("machine: %s\n", machine().c_str());
    std::printf("runs: %d moves, %d moves to the current position, %d s idle; %d failed%s\n\n", runs, runs / 2,
                kIdleSeconds, now.failures + before.failures,
                baseline.empty() ? "; no baseline given" : (", baseline " + baseline).c_str());
    auto old = [&](const std::string &text) { return baseline.empty() ? std::string("-") : text; };
    std::printf("| figure | target | before (1.0.0) | now | |\n|---|---|---|---|---|\n");
    row("CPU time (user+sys) of one aimhead move", "<= 10 ms", old(spread(before.cpu, "%.1f ms")),
        spread(now.cpu, "%.1f ms"), quantile(now.cpu, 0.5) <= 10);
    row("reaction: last byte of the arrival reply to aimhead's exit", "p99 <= 1 ms", old(reactionText(before.reaction)),
        reactionText(now.reaction), !now.reaction.empty() && quantile(now.reaction, 0.99) <= 1);
    row("the same for a minimal mover, run in turn with aimhead on this machine", "aimhead adds <= 1 ms at p50",
        old(floorText(before)), floorText(now), addedMs(now) <= 1);
    row("CPU of an idle client (original calls), once it is up", "<= 0.07 % of a core",
        old(percentText(before.idle.percent)), percentText(now.idle.percent),
        now.idle.percent >= 0 && now.idle.percent <= 0.07);
    row("CPU of one open handle, idle", "<= 0.07 % of a core", "-", percentText(oneHandle),
        oneHandle >= 0 && oneHandle <= 0.07);
    row("the same for a plain client of the original design, on this machine", "more than one handle", "-",
        percentText(plain), oneHandle >= 0 && plain > oneHandle);
    row("CPU of two open handles, idle", "<= 2 x one handle", "-", percentText(twoHandles),
        twoHandles >= 0 && twoHandles <= 2 * oneHandle);
    row("peak resident memory of aimhead", "<= 2 MiB", old(spread(before.rss, "%.2f MiB")), spread(now.rss, "%.2f MiB"),
        quantile(now.rss, 1) <= 2);
    row("wall time of a move to the current position", "<= 1.25 s", old(spread(before.wall, "%.3f s")),
        spread(now.wall, "%.3f s"), quantile(now.wall, 1) <= 1.25);
    char frames[32];
    std::snprintf(frames, sizeof frames, "%.1f /s", now.idle.framesPerSecond);
    char framesBefore[32];
    std::snprintf(framesBefore, sizeof framesBefore, "%.1f /s", before.idle.framesPerSecond);
    row("frames on the line per second while idle", "1 request per exchange, 100 ms pause", old(framesBefore), frames,
        now.idle.framesPerSecond > 5 && now.idle.framesPerSecond <= 10);
    return now.failures + before.failures == 0 ? 0 : 1;
}

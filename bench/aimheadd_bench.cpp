// SPDX-License-Identifier: MIT
// What the daemon costs and how fast it passes things on, measured from
// outside against the simulated head. Prints one table.
//   aimheadd_bench [--idle-seconds N]     (scripts/bench runs it)
#include "aimheadd_support.h"
#include "aimlink.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double maximum(const std::vector<double> &values)
{
    return values.empty() ? -1 : *std::max_element(values.begin(), values.end());
}

double seconds(Clock::time_point at) { return std::chrono::duration<double>(at.time_since_epoch()).count(); }

// Time stamps (s, monotonic) of the simulator's trace lines that contain what.
std::vector<double> traceTimes(const std::string &trace, const std::string &what)
{
    std::vector<double> times;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);)
        if (line.find(what) != std::string::npos)
            times.push_back(std::stod(line));
    return times;
}

// One open handle doing nothing, for comparison with the idle daemon.
int idleHandle(int idleSeconds)
{
    aimlink_head *head = aimlink_new(nullptr);
    aimlink_open(head);
    aimlink_wait_link(head, 3000);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    aimlink_free(head);
    return 0;
}

struct Figures {
    double daemonIdlePercent = -1, handleIdlePercent = -1;
    double exchangeMs = -1;
    std::vector<double> requestToFrameMs;
    std::vector<double> eventTo50Ms;
    double framesOneClient = -1, framesTenClients = -1;
};

// CPU of a running process over the idle time once it is up, in % of a core.
double idlePercent(pid_t pid, int idleSeconds)
{
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return cpuPercentOver(pid, std::chrono::seconds(idleSeconds));
}

// The idle daemon, then one open handle, each on its own simulated head,
// twice in turn: the machine's drift weighs on both alike. Run at the same
// time, the two would wake together and slow each other.
void measureIdle(Figures &figures, int idleSeconds)
{
    const int half = std::max(1, idleSeconds / 2);
    figures.daemonIdlePercent = figures.handleIdlePercent = 0;
    for (int turn = 0; turn < 2; ++turn) {
        {
            Simulator head({"--speed", "0"});
            Daemon daemon(head.device());
            figures.daemonIdlePercent += idlePercent(daemon.pid(), half) / 2;
        }
        Simulator head({"--speed", "0"});
        BackgroundProcess handle({"/proc/self/exe", "--idle-handle", std::to_string(half + 2)}, head.environment());
        figures.handleIdlePercent += idlePercent(handle.pid(), half) / 2;
        if (handle.wait(std::chrono::seconds(10)) != 0) {
            figures.handleIdlePercent = -1;
            return;
        }
    }
}

void measureRequestToFrame(Figures &figures, const Simulator &head, DaemonClient &client)
{
    for (int i = 0; i < 20; ++i) {
        const auto sent = Clock::now();
        client.ask({{"cmd", "move"}, {"pan", i % 2 == 0 ? 500 : -500}, {"tilt", 1571}, {"wait", true}});
        const auto moves = traceTimes(head.errors(), " -> move ");
        if (!moves.empty())
            figures.requestToFrameMs.push_back((moves.back() - seconds(sent)) * 1e3);
    }
    const auto frames = traceTimes(head.errors(), " -> ");
    std::vector<double> gaps;
    for (size_t i = 1; i < frames.size(); ++i)
        gaps.push_back((frames[i] - frames[i - 1]) * 1e3);
    figures.exchangeMs = median(gaps);
}

// The position reply's last byte on the line to the 50th watcher's read.
void measureEventTo50(Figures &figures, const Simulator &head, const Daemon &daemon, DaemonClient &mover)
{
    std::vector<std::unique_ptr<DaemonClient>> watchers;
    for (int i = 0; i < 50; ++i) {
        watchers.push_back(std::make_unique<DaemonClient>(daemon.socket()));
        watchers.back()->ask({{"cmd", "watch"}});
    }
    for (int i = 0; i < 10; ++i) {
        const int panAngle = i % 2 == 0 ? 800 : -800;
        mover.ask({{"cmd", "move"}, {"pan", panAngle}, {"tilt", 1571}});
        Clock::time_point last{};
        for (auto &watcher : watchers) {
            watcher->nextWhere([&](const Json &line) {
                return line.contains("event") && line["event"] == "position" && line["pan"] == panAngle;
            });
            last = std::max(last, Clock::now());
        }
        const auto replies = traceTimes(head.errors(), " <- position " + std::to_string(-panAngle / 2) + " 0");
        if (!replies.empty())
            figures.eventTo50Ms.push_back((seconds(last) - replies.back()) * 1e3);
    }
}

// Frames the line carries per second while clients keep sending moves.
double framesPerSecond(const Simulator &head, const Daemon &daemon, int clients)
{
    constexpr auto kWindow = std::chrono::seconds(3);
    std::vector<std::thread> senders;
    senders.reserve(static_cast<size_t>(clients));
    const double before = static_cast<double>(traceTimes(head.errors(), " -> ").size());
    for (int c = 0; c < clients; ++c)
        senders.emplace_back([&daemon, c, kWindow] {
            DaemonClient client(daemon.socket());
            const auto end = Clock::now() + kWindow;
            for (int i = 0; Clock::now() < end; ++i) {
                client.ask({{"cmd", "move"}, {"pan", (c * 10 + i % 10) * 10}, {"tilt", 1571}});
                std::this_thread::sleep_for(milliseconds(20));
            }
        });
    for (auto &sender : senders)
        sender.join();
    return (static_cast<double>(traceTimes(head.errors(), " -> ").size()) - before) / 3.0;
}

const char *verdict(bool met) { return met ? "met" : "NOT MET"; }

void print(const Figures &f)
{
    std::printf("| figure | target | measured | |\n|---|---|---|---|\n");
    std::printf("| daemon idle, CPU | no more than one open handle (%.3f %%) | %.3f %% of a core | %s |\n",
                f.handleIdlePercent, f.daemonIdlePercent, verdict(f.daemonIdlePercent <= f.handleIdlePercent * 1.1));
    std::printf(
        "| a client's move request to its frame on the line | median <= one exchange (%.1f ms) | median %.1f ms "
        "(max %.1f ms, %zu moves) | %s |\n",
        f.exchangeMs, median(f.requestToFrameMs), maximum(f.requestToFrameMs), f.requestToFrameMs.size(),
        verdict(median(f.requestToFrameMs) <= f.exchangeMs));
    std::printf("| a position event reaching 50 watchers | <= 5 ms | median %.2f ms (max %.2f ms, %zu events) | %s |\n",
                median(f.eventTo50Ms), maximum(f.eventTo50Ms), f.eventTo50Ms.size(),
                verdict(!f.eventTo50Ms.empty() && median(f.eventTo50Ms) <= 5));
    std::printf("| frames per second on the line, 1 client vs 10 | the same | %.1f /s vs %.1f /s | %s |\n",
                f.framesOneClient, f.framesTenClients,
                verdict(std::abs(f.framesOneClient - f.framesTenClients) <= 0.1 * f.framesOneClient));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--idle-handle")
        return idleHandle(std::atoi(argv[2]));
    int idleSeconds = 10;
    if (argc == 3 && std::string(argv[1]) == "--idle-seconds")
        idleSeconds = std::max(1, std::atoi(argv[2]));

    Figures figures;
    measureIdle(figures, idleSeconds);
    {
        Simulator head({"--trace", "--speed", "0"});
        Daemon daemon(head.device());
        DaemonClient client(daemon.socket());
        client.ask({{"cmd", "watch"}});
        client.nextWhere([](const Json &line) { return line.contains("event") && line["event"] == "position"; });
        measureRequestToFrame(figures, head, client);
        measureEventTo50(figures, head, daemon, client);
        figures.framesOneClient = framesPerSecond(head, daemon, 1);
        figures.framesTenClients = framesPerSecond(head, daemon, 10);
    }
    std::ifstream load("/proc/loadavg");
    std::string one, five, fifteen;
    load >> one >> five >> fifteen;
    std::printf("aimheadd against aimsim; %d s idle each; load %s %s %s\n\n", idleSeconds, one.c_str(), five.c_str(),
                fifteen.c_str());
    print(figures);
    return 0;
}

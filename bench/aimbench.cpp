// What the client costs and how fast it reacts, measured from outside the
// processes against the simulated head. Prints one table.
//   aimbench [--runs N]       (scripts/bench builds and runs it)
#include "aimlink.h"
#include "support/process.h"
#include "support/stderr_capture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--idle-client")
        return idleClient(std::atoi(argv[2]));
    int runs = 20;
    if (argc == 3 && std::string(argv[1]) == "--runs")
        runs = std::max(2, std::atoi(argv[2]));
    constexpr int kIdleSeconds = 10;

    Simulator head({"--trace", "--speed", "0"});
    std::vector<double> cpu, rss, reaction, wall;
    int failures = 0;
    // Moves that need a reply to end: alternate sides so the head always travels.
    for (int i = 0; i < runs; ++i) {
        const bool left = i % 2 == 0;
        const ProcessResult run = runAimhead({left ? "1000" : "-1000", "1571"}, head.environment());
        failures += run.status != 0;
        cpu.push_back(run.cpuMs);
        rss.push_back(static_cast<double>(run.maxResidentKiB) / 1024.0);
        const double replied = arrivalReplyTime(head.errors(), left ? "-500 0" : "500 0");
        const double exited = std::chrono::duration<double>(run.ended.time_since_epoch()).count();
        if (replied > 0)
            reaction.push_back((exited - replied) * 1e3);
    }
    // The initialise frame sends the head home: a move there finds it arrived.
    for (int i = 0; i < runs / 2; ++i) {
        const ProcessResult run = runAimhead({"0", "1571"}, head.environment());
        failures += run.status != 0;
        wall.push_back(std::chrono::duration<double>(run.elapsed).count());
    }
    // An idle client: its CPU, and the frames it puts on the line.
    const int framesBefore = occurrences(head.errors(), " -> ");
    const ProcessResult idle =
        runProcess({"/proc/self/exe", "--idle-client", std::to_string(kIdleSeconds)}, head.environment());
    const double idleFramesPerSecond = (occurrences(head.errors(), " -> ") - framesBefore) / double(kIdleSeconds);
    const double idlePercent = idle.cpuMs / (kIdleSeconds * 1e3) * 100.0;
    head.stop();

    std::printf("machine: %s\n", machine().c_str());
    std::printf("runs: %d moves, %d moves to the current position, %d s idle; %d failed\n\n", runs, runs / 2,
                kIdleSeconds, failures);
    std::printf("| figure | target | measured | |\n|---|---|---|---|\n");
    std::printf("| CPU time (user+sys) of one aimhead move | <= 10 ms | %s | %s |\n", spread(cpu, "%.1f ms").c_str(),
                verdict(quantile(cpu, 0.5) <= 10));
    char reactionText[128] = "no reply found in the trace";
    if (!reaction.empty())
        std::snprintf(reactionText, sizeof reactionText, "p50 %.2f ms, p99 %.2f ms (min %.2f, max %.2f)",
                      quantile(reaction, 0.5), quantile(reaction, 0.99), quantile(reaction, 0), quantile(reaction, 1));
    std::printf("| reaction: last byte of the arrival reply to aimhead's exit | p99 <= 5 ms | %s | %s |\n",
                reactionText, verdict(!reaction.empty() && quantile(reaction, 0.99) <= 5));
    std::printf("| CPU of an idle client over %d s | <= 0.5 %% of a core | %.3f %% (%.1f ms) | %s |\n", kIdleSeconds,
                idlePercent, idle.cpuMs, verdict(idlePercent <= 0.5));
    std::printf("| peak resident memory of aimhead | <= 5 MiB | %s | %s |\n", spread(rss, "%.2f MiB").c_str(),
                verdict(quantile(rss, 1) <= 5));
    std::printf("| wall time of a move to the current position | <= 1.25 s | %s | %s |\n",
                spread(wall, "%.3f s").c_str(), verdict(quantile(wall, 1) <= 1.25));
    std::printf("| frames on the line per second while idle | 1 request per exchange, 100 ms pause | %.1f /s | %s |\n",
                idleFramesPerSecond, verdict(idleFramesPerSecond > 5 && idleFramesPerSecond <= 10));
    return failures == 0 ? 0 : 1;
}

// SPDX-License-Identifier: MIT
// Soak run: the client against the simulated head with every recoverable
// fault on at once, moving to random positions within the travel and
// waiting for each. Every move must complete, and the process's resident
// memory and open descriptors must not grow.  Usage: soak [--minutes M]
#include "aimlink.h"
#include "support/process.h"
#include "support/stderr_capture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMovesPerRestart = 50;
constexpr int kWarmUpMoves = kMovesPerRestart;
constexpr long kRssSlackKiB = 128;

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

long openDescriptors()
{
    long count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// One move to a random position inside the travel; false if it was lost.
bool moveOnce(std::mt19937 &random)
{
    std::uniform_int_distribution<int> panAngle(-1780, 1780);
    std::uniform_int_distribution<int> tiltAngle(1037, 3171);
    if (waitReadyPTZ(5000) != 1)
        return false;
    setPanTilt(static_cast<int16_t>(panAngle(random)), static_cast<int16_t>(tiltAngle(random)));
    return waitReadyPTZ(5000) == 1 && waitDonePTZ(30000) == 1;
}

bool restart()
{
    stopPTZ();
    startPTZ();
    return waitLinkPTZ(3000) == 1;
}

double minutesFrom(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--minutes") {
        char *end = nullptr;
        const double minutes = std::strtod(argv[2], &end);
        if (*end == '\0' && minutes > 0)
            return minutes;
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: soak [--minutes M]\n");
        std::exit(2);
    }
    return 2.0;
}

} // namespace

int main(int argc, char **argv)
{
    const double minutes = minutesFrom(argc, argv);
    Simulator head(
        {"--trace", "--reject", "7", "--split", "--noise", "--corrupt", "5", "--speed", "3000", "--latency", "2"});
    setenv("AIMLINK_DEVICE", head.device().c_str(), 1);
    StderrCapture clientMessages;

    std::mt19937 random(20261207);
    const auto deadline = Clock::now() + std::chrono::duration<double, std::ratio<60>>(minutes);
    long moves = 0, lost = 0, restarts = 0, rssStart = 0, fdsStart = 0;
    startPTZ();
    bool linked = waitLinkPTZ(3000) == 1;
    while (linked && Clock::now() < deadline) {
        if (!moveOnce(random))
            ++lost;
        if (++moves % kMovesPerRestart == 0) {
            linked = restart();
            ++restarts;
            std::printf("soak: %ld moves, resident memory %ld KiB, %ld descriptors\n", moves, residentKiB(),
                        openDescriptors());
            std::fflush(stdout);
        }
        // Measured after the first restart, so that a restarted watcher's
        // stack counts in the baseline.
        if (moves == kWarmUpMoves) {
            rssStart = residentKiB();
            fdsStart = openDescriptors();
        }
    }
    const long rssEnd = residentKiB();
    const long fdsEnd = openDescriptors();
    stopPTZ();
    head.stop();
    const std::string messages = clientMessages.text();
    clientMessages.restore();
    const std::string trace = head.errors();

    std::printf("soak: %.1f min, %ld moves, %ld lost, %ld restarts, link %s\n", minutes, moves, lost, restarts,
                linked ? "up" : "LOST");
    std::printf("soak: faults on the line: %d rejections, %d corrupt replies, %d noisy replies, all split\n",
                occurrences(trace, "reject (fault)"), occurrences(trace, "(corrupted)"),
                occurrences(trace, "after noise"));
    std::printf("soak: client reports: %d resends, %d corrupt replies ignored, %d time-outs\n",
                occurrences(messages, "resending command"), occurrences(messages, "corrupt position reply ignored"),
                occurrences(messages, "no reply from the head"));
    std::printf("soak: resident memory %ld KiB after warm-up, %ld KiB at the end; descriptors %ld and %ld\n", rssStart,
                rssEnd, fdsStart, fdsEnd);
    const bool grew = moves >= kWarmUpMoves && (rssEnd > rssStart + kRssSlackKiB || fdsEnd != fdsStart);
    const bool passed = linked && lost == 0 && moves >= kWarmUpMoves && !grew;
    std::printf("soak: %s\n", passed ? "passed" : "FAILED");
    return passed ? 0 : 1;
}

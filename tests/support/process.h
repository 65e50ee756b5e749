// SPDX-License-Identifier: MIT
// Runs the project's programs as separate processes, the way users do.
#ifndef AIMLINK_TESTS_PROCESS_H
#define AIMLINK_TESTS_PROCESS_H

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

struct ProcessResult {
    int status = -1; // exit status, or 128 + signal, or -1 when it had to be killed
    std::string out;
    std::string err;
    std::chrono::milliseconds elapsed{0};
    std::chrono::steady_clock::time_point ended; // when its end was seen
    double cpuMs = 0;                            // user + system time
    long maxResidentKiB = 0;                     // peak resident memory
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs argv to its end, killing it after the time-out.
ProcessResult runProcess(const std::vector<std::string> &argv, const Environment &environment = {},
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(60000));

// Runs aimhead with the arguments.
ProcessResult runAimhead(std::vector<std::string> arguments, const Environment &environment,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(60000));

// A program left running in the background, such as the simulator.
class BackgroundProcess {
public:
    BackgroundProcess(const std::vector<std::string> &argv, const Environment &environment = {});
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess &) = delete;
    BackgroundProcess &operator=(const BackgroundProcess &) = delete;

    // The first line it printed on standard output (empty if none in time).
    std::string firstLine(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Waits for it to end by itself; -1 if it has not within the time-out.
    int wait(std::chrono::milliseconds timeout);
    // Sends SIGTERM and waits; returns the exit status as runProcess does.
    int stop();
    // Whether its standard error shows text within the time-out: for
    // acting at a moment in another program's run, such as mid-move.
    bool errorsShow(const std::string &text, std::chrono::milliseconds timeout) const;
    // Signals it while it runs; false once it has been waited for.
    bool sendSignal(int number) const;
    std::string errors() const;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    std::string errPath_;
    int status_ = -1;
};

// CPU time of all the threads of a running process so far, in ms, as the
// scheduler counts it (in ns, unlike /proc/PID/stat's clock ticks).
double runningCpuMs(pid_t pid);
// A running process's CPU over the next `window`, in % of a core (blocks
// for the window).
double cpuPercentOver(pid_t pid, std::chrono::seconds window);

// argv run as user and group 65534 (nobody) when we are root, else as it
// is: what an ordinary user meets, and root would not.
std::vector<std::string> unprivileged(std::vector<std::string> argv);

// The simulated head with its options, and the path of its line.
class Simulator : public BackgroundProcess {
public:
    enum class User { Us, Unprivileged };
    explicit Simulator(std::vector<std::string> options = {}, User user = User::Us);
    const std::string &device() const { return device_; }
    Environment environment() const { return {{"AIMLINK_DEVICE", device_}}; }

private:
    std::string device_;
};

std::string aimheadPath();
std::string aimsimPath();

#endif

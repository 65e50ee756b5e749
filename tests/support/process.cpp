// SPDX-License-Identifier: MIT
#include "process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string temporaryPath()
{
    char path[] = "/tmp/aimlink-test-XXXXXX";
    const int file = mkstemp(path);
    if (file < 0)
        throw std::runtime_error("mkstemp failed");
    close(file);
    return path;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// The parent's environment with the given variables set: built before
// fork, because the child of a threaded test may only make
// async-signal-safe calls.
std::vector<std::string> environmentWith(const Environment &changes)
{
    std::vector<std::string> entries;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        const bool changed =
            std::any_of(changes.begin(), changes.end(), [&](const auto &change) { return change.first == name; });
        if (!changed)
            entries.emplace_back(text);
    }
    for (const auto &[name, value] : changes) {
        entries.push_back(name);
        entries.back() += '=';
        entries.back() += value;
    }
    return entries;
}

std::vector<char *> pointersTo(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string &text : strings)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Starts argv with stdout going to outFd and stderr to errPath.
pid_t spawn(std::vector<std::string> argv, const Environment &environment, int outFd, const std::string &errPath)
{
    std::vector<std::string> variables = environmentWith(environment);
    const std::vector<char *> args = pointersTo(argv);
    const std::vector<char *> envp = pointersTo(variables);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("cannot start ") + argv[0] + ": fork: " + std::strerror(errno));
    if (pid == 0) {
        const int err = open(errPath.c_str(), O_WRONLY | O_TRUNC);
        const int nothing = open("/dev/null", O_RDONLY);
        if (err < 0 || nothing < 0 || dup2(nothing, 0) < 0 || dup2(outFd, 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int statusOf(int raw)
{
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    return 128 + WTERMSIG(raw);
}

double milliseconds(const timeval &time)
{
    return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_usec) / 1e3;
}

// Only ever a child we started: kill() with 0 or a negative pid would
// signal a whole group, or every process we may signal.
int killAndReap(pid_t pid)
{
    if (pid <= 0)
        return -1;
    kill(pid, SIGKILL);
    int raw = 0;
    waitpid(pid, &raw, 0);
    return -1;
}

// Waits for the child without polling its state in a loop: a pidfd becomes
// readable when it ends. Fills in status, end time and resource use.
bool waitFor(pid_t pid, std::chrono::milliseconds timeout, ProcessResult &result)
{
    const int handle = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (handle < 0) {
        // Not to be left running unwatched: end it, and say why the result is -1.
        std::fprintf(stderr, "process %d: pidfd_open: %s; killed\n", pid, std::strerror(errno));
        result.status = killAndReap(pid);
        result.ended = std::chrono::steady_clock::now();
        return true;
    }
    pollfd child{handle, POLLIN, 0};
    const int ready = poll(&child, 1, static_cast<int>(timeout.count()));
    result.ended = std::chrono::steady_clock::now();
    close(handle);
    if (ready <= 0)
        return false;
    int raw = 0;
    rusage usage{};
    wait4(pid, &raw, 0, &usage);
    result.status = statusOf(raw);
    result.cpuMs = milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime);
    result.maxResidentKiB = usage.ru_maxrss;
    return true;
}

bool waitFor(pid_t pid, std::chrono::milliseconds timeout, int &status)
{
    ProcessResult result;
    const bool ended = waitFor(pid, timeout, result);
    status = result.status;
    return ended;
}

} // namespace

ProcessResult runProcess(const std::vector<std::string> &argv, const Environment &environment,
                         std::chrono::milliseconds timeout)
{
    const std::string outPath = temporaryPath();
    const std::string errPath = temporaryPath();
    const int out = open(outPath.c_str(), O_WRONLY | O_TRUNC);
    ProcessResult result;
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = spawn(argv, environment, out, errPath);
    close(out);
    if (!waitFor(pid, timeout, result))
        result.status = killAndReap(pid);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(result.ended - started);
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return result;
}

ProcessResult runAimhead(std::vector<std::string> arguments, const Environment &environment,
                         std::chrono::milliseconds timeout)
{
    arguments.insert(arguments.begin(), aimheadPath());
    return runProcess(arguments, environment, timeout);
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string> &argv, const Environment &environment)
    : errPath_(temporaryPath())
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = spawn(argv, environment, pipeFds[1], errPath_);
    close(pipeFds[1]);
    stdout_ = pipeFds[0];
}

BackgroundProcess::~BackgroundProcess()
{
    stop();
    close(stdout_);
    unlink(errPath_.c_str());
}

std::string BackgroundProcess::firstLine(std::chrono::milliseconds timeout)
{
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char c;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd out{stdout_, POLLIN, 0};
        if (left.count() <= 0 || poll(&out, 1, static_cast<int>(left.count())) <= 0)
            return line;
        if (read(stdout_, &c, 1) != 1 || c == '\n')
            return line;
        line += c;
    }
}

int BackgroundProcess::wait(std::chrono::milliseconds timeout)
{
    if (pid_ > 0 && waitFor(pid_, timeout, status_))
        pid_ = -1;
    return pid_ > 0 ? -1 : status_;
}

int BackgroundProcess::stop()
{
    if (pid_ <= 0)
        return status_;
    kill(pid_, SIGTERM);
    if (!waitFor(pid_, std::chrono::milliseconds(5000), status_))
        status_ = killAndReap(pid_);
    pid_ = -1;
    return status_;
}

bool BackgroundProcess::errorsShow(const std::string &text, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (errors().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool BackgroundProcess::sendSignal(int number) const { return pid_ > 0 && kill(pid_, number) == 0; }

std::string BackgroundProcess::errors() const { return slurp(errPath_); }

std::vector<std::string> unprivileged(std::vector<std::string> argv)
{
    if (geteuid() == 0)
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return argv;
}

Simulator::Simulator(std::vector<std::string> options, User user)
    : BackgroundProcess([&] {
          options.insert(options.begin(), aimsimPath());
          return user == User::Unprivileged ? unprivileged(options) : options;
      }())
{
    device_ = firstLine();
    if (device_.empty())
        throw std::runtime_error("aimsim printed no device path: " + errors());
}

std::string aimheadPath() { return AIMHEAD_PATH; }
std::string aimsimPath() { return AIMSIM_PATH; }

double runningCpuMs(pid_t pid)
{
    double total = 0;
    for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream stats(task.path() / "schedstat");
        double onCpuNs = 0;
        if (stats >> onCpuNs)
            total += onCpuNs / 1e6;
    }
    return total;
}

double cpuPercentOver(pid_t pid, std::chrono::seconds window)
{
    const double before = runningCpuMs(pid);
    std::this_thread::sleep_for(window);
    return (runningCpuMs(pid) - before) / (static_cast<double>(window.count()) * 10.0);
}

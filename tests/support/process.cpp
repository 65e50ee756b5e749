#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

// Starts argv with stdout going to outFd and stderr to errPath.
pid_t spawn(const std::vector<std::string> &argv, const Environment &environment, int outFd, const std::string &errPath)
{
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto &[name, value] : environment)
            setenv(name.c_str(), value.c_str(), 1);
        const int err = open(errPath.c_str(), O_WRONLY | O_TRUNC);
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, 0);
        dup2(outFd, 1);
        dup2(err, 2);
        execv(args[0], args.data());
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

// Waits for the child without polling its state in a loop: a pidfd becomes
// readable when it ends. Fills in status, end time and resource use.
bool waitFor(pid_t pid, std::chrono::milliseconds timeout, ProcessResult &result)
{
    const int handle = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
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

int killAndReap(pid_t pid)
{
    kill(pid, SIGKILL);
    int raw = 0;
    waitpid(pid, &raw, 0);
    return -1;
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

std::string BackgroundProcess::errors() const { return slurp(errPath_); }

Simulator::Simulator(std::vector<std::string> options)
    : BackgroundProcess([&] {
          options.insert(options.begin(), aimsimPath());
          return options;
      }())
{
    device_ = firstLine();
    if (device_.empty())
        throw std::runtime_error("aimsim printed no device path: " + errors());
}

std::string aimheadPath() { return AIMHEAD_PATH; }
std::string aimsimPath() { return AIMSIM_PATH; }

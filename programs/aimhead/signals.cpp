// SPDX-License-Identifier: MIT
#include "signals.h"

#include <atomic>
#include <csignal>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace aimhead {
namespace {

// The signal may land on any thread, the library's watcher included, and is
// read by the main one: sig_atomic_t covers only a handler on the reading
// thread, a lock-free atomic covers both.
std::atomic<int> ending = 0;
static_assert(std::atomic<int>::is_always_lock_free, "safe to store from a signal handler");

extern "C" void recordEnding(int signal) { ending.store(signal); }

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

} // namespace

void fillStandardDescriptors()
{
    for (int descriptor = 0; descriptor <= 2; ++descriptor)
        if (fcntl(descriptor, F_GETFD) < 0)
            open("/dev/null", O_RDWR); // takes the lowest free descriptor: this one
}

void catchEndingSignals()
{
    struct sigaction action {};
    action.sa_handler = recordEnding;
    sigemptyset(&action.sa_mask);
    for (const int signal : kEndingSignals)
        sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int endingSignal() { return ending.load(); }

void endAsSignalled(int signal)
{
    // The run has ended cleanly; a core file of it would tell nothing.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    std::signal(signal, SIG_DFL);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signal);
    pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);
    std::raise(signal);
    _exit(128 + signal);
}

} // namespace aimhead

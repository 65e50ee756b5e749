// SPDX-License-Identifier: MIT
// A single-threaded event loop over epoll: descriptors, one-shot timers and
// tasks deferred to the end of the current round. Nothing here spins: the
// loop sleeps in epoll_wait until a descriptor is ready or a timer is due.
#ifndef AIMHEADD_EVENT_LOOP_H
#define AIMHEADD_EVENT_LOOP_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

namespace aimheadd {

using Clock = std::chrono::steady_clock;

class EventLoop {
public:
    using Handler = std::function<void(uint32_t events)>;
    using TimerId = uint64_t;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop &) = delete;
    EventLoop &operator=(const EventLoop &) = delete;

    // Calls handler with the epoll events whenever fd is ready for events.
    void watch(int fd, uint32_t events, Handler handler);
    void change(int fd, uint32_t events);
    // Forgets fd: no handler runs for it afterwards, even for events of the
    // current round. Call before closing it.
    void forget(int fd);

    TimerId at(Clock::time_point when, std::function<void()> action);
    TimerId after(Clock::duration delay, std::function<void()> action)
    {
        return at(Clock::now() + delay, std::move(action));
    }
    void cancel(TimerId id);

    // Runs task once the handlers of the current round have returned: for
    // work that must not happen inside a caller, such as freeing it.
    void defer(std::function<void()> task);

    // Dispatches until stop().
    void run();
    void stop() { running_ = false; }

private:
    struct Watched {
        uint32_t generation;
        Handler handler;
    };
    int timeoutMs() const;
    void runDueTimers();
    void runDeferred();

    int epoll_ = -1;
    bool running_ = false;
    uint32_t generation_ = 0;
    TimerId nextTimer_ = 1;
    std::unordered_map<int, Watched> watched_;
    std::map<std::pair<Clock::time_point, TimerId>, std::function<void()>> timers_;
    std::unordered_map<TimerId, Clock::time_point> timerDue_;
    std::vector<std::function<void()>> deferred_;
};

} // namespace aimheadd

#endif

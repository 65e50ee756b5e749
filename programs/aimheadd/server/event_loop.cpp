// SPDX-License-Identifier: MIT
#include "event_loop.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <sys/epoll.h>
#include <unistd.h>

namespace aimheadd {

namespace {

// An event carries the descriptor and the generation it was watched with,
// so an event for a descriptor that was forgotten and reused is dropped.
uint64_t tag(int fd, uint32_t generation) { return (uint64_t{generation} << 32) | static_cast<uint32_t>(fd); }

void control(int epoll, int operation, int fd, uint32_t events, uint64_t data)
{
    epoll_event event{};
    event.events = events;
    event.data.u64 = data;
    if (epoll_ctl(epoll, operation, fd, &event) != 0)
        throw std::runtime_error(std::string("epoll_ctl: ") + aimlink::errorText(errno));
}

} // namespace

EventLoop::EventLoop() : epoll_(epoll_create1(EPOLL_CLOEXEC))
{
    if (epoll_ < 0)
        throw std::runtime_error(std::string("epoll_create1: ") + aimlink::errorText(errno));
}

EventLoop::~EventLoop() { close(epoll_); }

void EventLoop::watch(int fd, uint32_t events, Handler handler)
{
    const uint32_t generation = ++generation_;
    control(epoll_, EPOLL_CTL_ADD, fd, events, tag(fd, generation));
    watched_[fd] = {generation, std::move(handler)};
}

void EventLoop::change(int fd, uint32_t events)
{
    const auto found = watched_.find(fd);
    if (found != watched_.end())
        control(epoll_, EPOLL_CTL_MOD, fd, events, tag(fd, found->second.generation));
}

void EventLoop::forget(int fd)
{
    if (watched_.erase(fd) > 0)
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

EventLoop::TimerId EventLoop::at(Clock::time_point when, std::function<void()> action)
{
    const TimerId id = nextTimer_++;
    timers_.emplace(std::pair{when, id}, std::move(action));
    timerDue_.emplace(id, when);
    return id;
}

void EventLoop::cancel(TimerId id)
{
    const auto found = timerDue_.find(id);
    if (found == timerDue_.end())
        return;
    timers_.erase({found->second, id});
    timerDue_.erase(found);
}

void EventLoop::defer(std::function<void()> task) { deferred_.push_back(std::move(task)); }

int EventLoop::timeoutMs() const
{
    if (!deferred_.empty())
        return 0;
    if (timers_.empty())
        return -1;
    const auto left = timers_.begin()->first.first - Clock::now();
    // Round up: waking before the timer is due would spin until it is.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::clamp<int64_t>(ms, 0, 60000));
}

void EventLoop::runDueTimers()
{
    const auto now = Clock::now();
    while (!timers_.empty() && timers_.begin()->first.first <= now) {
        auto node = timers_.extract(timers_.begin());
        timerDue_.erase(node.key().second);
        node.mapped()();
    }
}

void EventLoop::runDeferred()
{
    while (!deferred_.empty()) {
        auto tasks = std::move(deferred_);
        deferred_.clear();
        for (auto &task : tasks)
            task();
    }
}

void EventLoop::run()
{
    running_ = true;
    constexpr int kBatch = 64;
    epoll_event events[kBatch];
    while (running_) {
        const int ready = epoll_wait(epoll_, events, kBatch, timeoutMs());
        if (ready < 0 && errno != EINTR)
            throw std::runtime_error(std::string("epoll_wait: ") + aimlink::errorText(errno));
        for (int i = 0; i < ready; ++i) {
            const auto fd = static_cast<int>(events[i].data.u64 & 0xFFFFFFFFU);
            const auto found = watched_.find(fd);
            if (found == watched_.end() || tag(fd, found->second.generation) != events[i].data.u64)
                continue;
            // A copy: the handler may forget its own descriptor.
            const Handler handler = found->second.handler;
            handler(events[i].events);
        }
        runDueTimers();
        runDeferred();
    }
}

} // namespace aimheadd

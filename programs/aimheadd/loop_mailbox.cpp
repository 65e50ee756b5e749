#include "loop_mailbox.h"

#include "text.h"

#include <cerrno>
#include <stdexcept>
#include <string>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace aimheadd {

LoopMailbox::LoopMailbox(EventLoop &loop) : loop_(loop), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (wake_ < 0)
        throw std::runtime_error(std::string("eventfd: ") + aimlink::errorText(errno));
    loop_.watch(wake_, EPOLLIN, [this](uint32_t) { runQueued(); });
}

LoopMailbox::~LoopMailbox()
{
    close();
    loop_.forget(wake_);
    ::close(wake_);
}

void LoopMailbox::close()
{
    std::deque<std::function<void()>> dropped;
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(queue_);
    }
    // Destroyed outside the lock: each drop breaks a promise and wakes its poster.
}

bool LoopMailbox::post(std::function<void()> task)
{
    {
        const std::lock_guard lock(mutex_);
        if (closed_)
            return false;
        queue_.push_back(std::move(task));
    }
    const uint64_t one = 1;
    return write(wake_, &one, sizeof one) == sizeof one;
}

void LoopMailbox::runQueued()
{
    uint64_t count = 0;
    if (read(wake_, &count, sizeof count) < 0 && errno != EAGAIN)
        throw std::runtime_error(std::string("eventfd read: ") + aimlink::errorText(errno));
    std::deque<std::function<void()>> tasks;
    {
        const std::lock_guard lock(mutex_);
        tasks.swap(queue_);
    }
    for (auto &task : tasks)
        task();
}

} // namespace aimheadd

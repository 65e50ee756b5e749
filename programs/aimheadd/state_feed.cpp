#include "state_feed.h"

namespace aimheadd {

void StateFeed::publish(std::string text)
{
    {
        const std::lock_guard lock(mutex_);
        latest_.text = std::move(text);
        ++latest_.sequence;
    }
    changed_.notify_all();
}

StateFeed::Snapshot StateFeed::latest() const
{
    const std::lock_guard lock(mutex_);
    return latest_;
}

std::optional<StateFeed::Snapshot> StateFeed::next(uint64_t after, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return closed_ || latest_.sequence > after; }) || closed_)
        return std::nullopt;
    return latest_;
}

void StateFeed::close()
{
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool StateFeed::closed() const
{
    const std::lock_guard lock(mutex_);
    return closed_;
}

} // namespace aimheadd

// The head's latest state as text, handed from the event loop's thread to
// the threads that stream it to web pages. Only the newest state is kept: a
// slow page skips states it had no time for and never holds up the others.
#ifndef AIMHEADD_STATE_FEED_H
#define AIMHEADD_STATE_FEED_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace aimheadd {

class StateFeed {
public:
    struct Snapshot {
        uint64_t sequence = 0;
        std::string text;
    };

    void publish(std::string text);
    Snapshot latest() const;
    // The first state newer than sequence after; nullopt at the time-out or
    // once the feed is closed.
    std::optional<Snapshot> next(uint64_t after, std::chrono::milliseconds timeout);
    void close();
    bool closed() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Snapshot latest_;
    bool closed_ = false;
};

} // namespace aimheadd

#endif

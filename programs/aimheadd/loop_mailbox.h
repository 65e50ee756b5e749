// Work handed to the event loop's thread from other threads, such as the
// HTTP library's workers. A poster waits for the answer with a bound; once
// the mailbox closes, waiting posters get nothing at once instead of
// waiting for a loop that no longer runs.
#ifndef AIMHEADD_LOOP_MAILBOX_H
#define AIMHEADD_LOOP_MAILBOX_H

#include "event_loop.h"

#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>

namespace aimheadd {

class LoopMailbox {
public:
    explicit LoopMailbox(EventLoop &loop);
    ~LoopMailbox();
    LoopMailbox(const LoopMailbox &) = delete;
    LoopMailbox &operator=(const LoopMailbox &) = delete;

    // Runs work on the loop's thread and returns its result; nullopt when
    // the loop did not get to it within timeout or the mailbox is closed.
    template <typename Result>
    std::optional<Result> call(std::function<Result()> work, std::chrono::milliseconds timeout)
    {
        auto promise = std::make_shared<std::promise<Result>>();
        std::future<Result> answer = promise->get_future();
        if (!post([promise, work = std::move(work)] { promise->set_value(work()); }))
            return std::nullopt;
        if (answer.wait_for(timeout) != std::future_status::ready)
            return std::nullopt;
        try {
            return answer.get();
        } catch (const std::future_error &) { // dropped at close
            return std::nullopt;
        }
    }

    // Refuses further work and drops what is queued.
    void close();

private:
    bool post(std::function<void()> task);
    void runQueued();

    EventLoop &loop_;
    int wake_ = -1;
    std::mutex mutex_;
    bool closed_ = false;
    std::deque<std::function<void()>> queue_;
};

} // namespace aimheadd

#endif

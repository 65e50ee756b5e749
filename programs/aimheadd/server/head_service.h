// SPDX-License-Identifier: MIT
// The one open head, shared by every transport. It owns the library handle,
// reopens the device with a bounded back-off after the link fails, keeps the
// current target and who set it, answers waits for arrival (or tells the
// waiter that another move replaced its target) and tells subscribers what
// changed. Everything runs on the event loop's thread: the library's event
// descriptor wakes it, and only the library's non-blocking calls are used.
#ifndef AIMHEADD_HEAD_SERVICE_H
#define AIMHEADD_HEAD_SERVICE_H

#include "arguments.h"
#include "event_loop.h"
#include "head_state.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace aimheadd {

class HeadService {
public:
    struct Options {
        std::string device;
        bool initialise = true;     // send the initialise frame on the first open
        aimhead::LineSettings line; // checked when the command line was read
    };

    // A command the head took: where it will stop, whether that is the
    // request limited to the travel, and the number its waits refer to.
    struct Accepted {
        aimlink_angles target;
        bool limited;
        uint64_t serial;
    };
    // A command the head did not take: an aimlink status and a message
    // naming the device and the reason.
    struct Refused {
        int status;
        std::string message;
    };

    enum class Outcome { Arrived, Superseded, TimedOut, LinkFailed };
    struct WaitResult {
        Outcome outcome;
        std::string detail; // who replaced the target, or why the link failed
        HeadState state;
    };

    struct Change {
        bool link;
        bool position;
        bool target;
        const HeadState &state;
    };

    using WaitId = uint64_t;
    using SubscriptionId = uint64_t;

    HeadService(EventLoop &loop, Options options);
    ~HeadService();
    HeadService(const HeadService &) = delete;
    HeadService &operator=(const HeadService &) = delete;

    // Creates the handle and makes the first attempt to open the device; a
    // device that is missing is retried in the background. Throws only when
    // the handle cannot be created at all.
    void start();

    // owner names the client in the log and in "superseded" replies.
    std::variant<Accepted, Refused> move(const std::string &owner, int32_t pan, int32_t tilt);
    std::variant<Accepted, Refused> home(const std::string &owner);
    std::variant<Accepted, Refused> initialise(const std::string &owner);

    // Calls done once, from the loop, when the command numbered serial has
    // arrived, was replaced, timed out or lost the link.
    WaitId waitForArrival(uint64_t serial, std::chrono::milliseconds timeout, std::function<void(WaitResult)> done);
    void cancelWait(WaitId id);

    const HeadState &state() const { return state_; }
    const std::string &device() const { return options_.device; }

    // Calls listener after every change of link state, position or target.
    SubscriptionId subscribe(std::function<void(const Change &)> listener);
    void unsubscribe(SubscriptionId id);

private:
    struct Waiter {
        uint64_t serial;
        EventLoop::TimerId timer;
        std::function<void(WaitResult)> done;
    };

    std::variant<Accepted, Refused> queued(const std::string &owner, int status, const aimlink_angles &target,
                                           bool limited);
    Refused refused(int status);
    void supersede(const std::string &owner);
    void onHeadEvent();
    void refresh();
    void checkArrival();
    void linkFailed();
    void tryOpen();
    using WaiterFilter = std::function<bool(WaitId, const Waiter &)>;
    void finish(Outcome outcome, const std::string &detail, const WaiterFilter &which);
    void publish(const HeadState &before);
    void logLink() const;

    EventLoop &loop_;
    Options options_;
    aimlink_head *handle_ = nullptr;
    HeadState state_;
    bool reopening_ = false;
    bool openFailureLogged_ = false;
    std::chrono::milliseconds backoff_;
    uint64_t serial_ = 0;
    WaitId nextWait_ = 1;
    std::map<WaitId, Waiter> waiters_;
    SubscriptionId nextSubscription_ = 1;
    std::map<SubscriptionId, std::function<void(const Change &)>> subscribers_;
};

} // namespace aimheadd

#endif

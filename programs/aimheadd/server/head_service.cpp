// SPDX-License-Identifier: MIT
#include "head_service.h"
#include "text.h"

#include "log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include <sys/epoll.h>
#include <unistd.h>

namespace aimheadd {

namespace {

using std::chrono::milliseconds;

// A replugged adapter is back within a second or two; an absent one costs
// one open attempt every 2 s at most.
constexpr milliseconds kFirstBackoff(100);
constexpr milliseconds kMaxBackoff(2000);
// Where home and initialise leave the head, in the caller's frame.
constexpr aimlink_angles kHome{AIMLINK_HOME_PAN, AIMLINK_HOME_TILT};

void logFromLibrary(void *, int level, const char *message)
{
    const Priority priority = level == AIMLINK_LEVEL_ERROR     ? Priority::Error
                              : level == AIMLINK_LEVEL_WARNING ? Priority::Warning
                              : level == AIMLINK_LEVEL_DEBUG   ? Priority::Debug
                                                               : Priority::Info;
    logLine(priority, message);
}

std::string angles(const aimlink_angles &at)
{
    return "pan " + std::to_string(at.pan) + " tilt " + std::to_string(at.tilt);
}

} // namespace

HeadService::HeadService(EventLoop &loop, Options options)
    : loop_(loop), options_(std::move(options)), backoff_(kFirstBackoff)
{
}

HeadService::~HeadService()
{
    if (handle_ == nullptr)
        return;
    loop_.forget(aimlink_event_fd(handle_));
    aimlink_free(handle_);
}

void HeadService::start()
{
    handle_ = aimlink_new(options_.device.empty() ? nullptr : options_.device.c_str());
    if (handle_ == nullptr || aimhead::applyLineSettings(handle_, options_.line) != AIMLINK_OK)
        throw std::system_error(errno, std::generic_category(), "cannot create a handle for the head");
    options_.device = aimlink_device(handle_);
    aimlink_set_handler(handle_, logFromLibrary, nullptr);
    aimlink_set_initialise(handle_, options_.initialise ? 1 : 0);
    loop_.watch(aimlink_event_fd(handle_), EPOLLIN, [this](uint32_t) { onHeadEvent(); });
    tryOpen();
}

void HeadService::tryOpen()
{
    const HeadState before = state_;
    reopening_ = false;
    if (aimlink_open(handle_) == AIMLINK_OK) {
        // Initialised once: a replugged adapter finds the head as it was.
        aimlink_set_initialise(handle_, 0);
        openFailureLogged_ = false;
        logLine(Priority::Notice, options_.device + ": opened; waiting for the head to answer");
        refresh();
        return;
    }
    state_.reason = aimlink_last_error(handle_);
    state_.link = AIMLINK_LINK_FAILED;
    if (!openFailureLogged_)
        logLine(Priority::Warning, state_.reason + "; trying again until the device is back");
    openFailureLogged_ = true;
    reopening_ = true;
    loop_.after(backoff_, [this] { tryOpen(); });
    backoff_ = std::min(backoff_ * 2, kMaxBackoff);
    publish(before);
}

void HeadService::onHeadEvent()
{
    uint64_t count = 0;
    if (read(aimlink_event_fd(handle_), &count, sizeof count) < 0 && errno != EAGAIN)
        logLine(Priority::Warning,
                std::string("reading the head's event descriptor failed: ") + aimlink::errorText(errno));
    refresh();
}

void HeadService::refresh()
{
    if (reopening_)
        return;
    const HeadState before = state_;
    state_.link = aimlink_link(handle_);
    aimlink_angles at{};
    if (aimlink_position(handle_, &at) == AIMLINK_OK)
        state_.position = at;
    state_.target = aimlink_target(handle_, &at) == AIMLINK_OK ? std::optional(at) : std::nullopt;
    if (!state_.target)
        state_.owner.clear();
    if (state_.link == AIMLINK_LINK_UP) {
        state_.reason.clear();
        backoff_ = kFirstBackoff;
    }
    if (state_.link == AIMLINK_LINK_FAILED)
        linkFailed();
    else
        checkArrival();
    publish(before);
}

void HeadService::checkArrival()
{
    const bool waited = std::any_of(waiters_.begin(), waiters_.end(),
                                    [this](const auto &entry) { return entry.second.serial == serial_; });
    if (waited && aimlink_wait_arrived(handle_, 0) == AIMLINK_OK)
        finish(Outcome::Arrived, {}, [this](WaitId, const Waiter &waiter) { return waiter.serial == serial_; });
}

void HeadService::linkFailed()
{
    state_.reason = aimlink_last_error(handle_);
    logLine(Priority::Warning, state_.reason + "; reopening " + options_.device);
    aimlink_close(handle_);
    state_.target.reset();
    state_.owner.clear();
    reopening_ = true;
    loop_.after(backoff_, [this] { tryOpen(); });
    finish(Outcome::LinkFailed, state_.reason, [](WaitId, const Waiter &) { return true; });
}

std::variant<HeadService::Accepted, HeadService::Refused> HeadService::move(const std::string &owner, int32_t pan,
                                                                            int32_t tilt)
{
    aimlink_angles stop{};
    const int reach = aimlink_reachable(pan, tilt, &stop);
    if (reach < 0)
        return Refused{reach, angles({pan, tilt}) + " lies beyond what a frame can carry"};
    if (reopening_)
        return refused(AIMLINK_ERR_CLOSED);
    return queued(owner, aimlink_move(handle_, pan, tilt), stop, reach == 0);
}

std::variant<HeadService::Accepted, HeadService::Refused> HeadService::home(const std::string &owner)
{
    if (reopening_)
        return refused(AIMLINK_ERR_CLOSED);
    return queued(owner, aimlink_home(handle_), kHome, false);
}

// The initialise frame also sends the head home.
std::variant<HeadService::Accepted, HeadService::Refused> HeadService::initialise(const std::string &owner)
{
    if (reopening_)
        return refused(AIMLINK_ERR_CLOSED);
    return queued(owner, aimlink_initialise(handle_), kHome, false);
}

std::variant<HeadService::Accepted, HeadService::Refused>
HeadService::queued(const std::string &owner, int status, const aimlink_angles &target, bool limited)
{
    if (status != AIMLINK_OK)
        return refused(status);
    supersede(owner);
    logLine(Priority::Debug, owner + " sets the target " + angles(target));
    refresh();
    return Accepted{target, limited, serial_};
}

HeadService::Refused HeadService::refused(int status)
{
    if (status == AIMLINK_ERR_CLOSED || status == AIMLINK_ERR_LINK)
        return {status, options_.device + ": the head is not connected" +
                            (state_.reason.empty() ? std::string() : " (" + state_.reason + ")")};
    return {status, aimlink_last_error(handle_)};
}

// Last request wins: whoever waited for the previous target hears who took over.
void HeadService::supersede(const std::string &owner)
{
    ++serial_;
    state_.owner = owner;
    finish(Outcome::Superseded, owner, [this](WaitId, const Waiter &waiter) { return waiter.serial < serial_; });
}

HeadService::WaitId HeadService::waitForArrival(uint64_t serial, milliseconds timeout,
                                                std::function<void(WaitResult)> done)
{
    const WaitId id = nextWait_++;
    const EventLoop::TimerId timer = loop_.after(timeout, [this, id] {
        finish(Outcome::TimedOut, {}, [id](WaitId candidate, const Waiter &) { return candidate == id; });
    });
    waiters_.emplace(id, Waiter{serial, timer, std::move(done)});
    return id;
}

void HeadService::cancelWait(WaitId id)
{
    const auto found = waiters_.find(id);
    if (found == waiters_.end())
        return;
    loop_.cancel(found->second.timer);
    waiters_.erase(found);
}

void HeadService::finish(Outcome outcome, const std::string &detail, const WaiterFilter &which)
{
    // Taken out first: a callback may queue a move or a new wait.
    std::vector<Waiter> done;
    for (auto entry = waiters_.begin(); entry != waiters_.end();) {
        if (!which(entry->first, entry->second)) {
            ++entry;
            continue;
        }
        loop_.cancel(entry->second.timer);
        done.push_back(std::move(entry->second));
        entry = waiters_.erase(entry);
    }
    for (Waiter &waiter : done)
        waiter.done({outcome, detail, state_});
}

HeadService::SubscriptionId HeadService::subscribe(std::function<void(const Change &)> listener)
{
    const SubscriptionId id = nextSubscription_++;
    subscribers_.emplace(id, std::move(listener));
    return id;
}

void HeadService::unsubscribe(SubscriptionId id) { subscribers_.erase(id); }

void HeadService::publish(const HeadState &before)
{
    const Change change{before.link != state_.link || before.reason != state_.reason,
                        before.position != state_.position, before.target != state_.target, state_};
    if (!change.link && !change.position && !change.target)
        return;
    if (change.link)
        logLink();
    // A listener may unsubscribe itself or another one.
    std::vector<SubscriptionId> ids;
    for (const auto &entry : subscribers_)
        ids.push_back(entry.first);
    for (const SubscriptionId id : ids) {
        const auto found = subscribers_.find(id);
        if (found != subscribers_.end())
            found->second(change);
    }
}

void HeadService::logLink() const
{
    if (state_.link == AIMLINK_LINK_UP)
        logLine(Priority::Notice, options_.device + ": the head answers");
    else if (state_.link == AIMLINK_LINK_SILENT)
        logLine(Priority::Warning, options_.device + ": the head stopped answering");
}

} // namespace aimheadd

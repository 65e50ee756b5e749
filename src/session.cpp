// SPDX-License-Identifier: MIT
#include "session.h"

#include "text.h"
#include "watcher.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace aimlink {
namespace {

void storeCount(int16_t *where, int16_t value)
{
    std::atomic_ref<int16_t>(*where).store(value, std::memory_order_release);
}

int16_t loadCount(int16_t *where) { return std::atomic_ref<int16_t>(*where).load(std::memory_order_acquire); }

} // namespace

std::string deviceFromEnvironment()
{
    const char *fromEnvironment = std::getenv("AIMLINK_DEVICE"); // NOLINT(concurrency-mt-unsafe): read, not set
    return fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : AIMLINK_DEFAULT_DEVICE;
}

Session::Session(SessionStorage storage, int notifyFd)
    : storage_(storage), notifyFd_(notifyFd), slot_(storage.slotBytes, storage.slotLength)
{
}

Session::~Session() { close(); }

void Session::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    slot_.reset();
    storeCount(storage_.reportedPan, 0);
    storeCount(storage_.reportedTilt, 0);
    link_ = AIMLINK_LINK_CLOSED;
    target_.reset();
    hasReport_ = false;
    reportSinceCommand_ = false;
    lastError_.clear();
    lastErrno_ = 0;
    portFailure_.reset();
}

void Session::failOpen(const std::string &reason, int error, const std::string &message)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastError_ = reason;
        lastErrno_ = error;
    }
    report(AIMLINK_LEVEL_ERROR, message);
}

void Session::keepError(const std::string &reason)
{
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_ = reason;
}

void Session::failStart(const char *call, int error)
{
    const std::string reason = std::string("cannot start the watcher thread: ") + call + ": " + errorText(error);
    failOpen(reason, error, "aimlink: " + reason);
}

// The watcher blocks every signal, so that a signal sent to the process
// (Ctrl-C) reaches the caller's threads, whose handlers expect it: an
// interpreter acts on its Ctrl-C only in its main thread, and a program
// that waits for signals on a signalfd needs them blocked everywhere.
int Session::startWatcher()
{
    sigset_t all;
    sigset_t callers;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &callers);
    const int error = pthread_create(&thread_, nullptr, watchPTZ, this);
    pthread_sigmask(SIG_SETMASK, &callers, nullptr);
    return error;
}

int Session::open(const SessionOptions &options)
{
    if (isOpen())
        return AIMLINK_ERR_OPEN;
    reset();
    options_ = options;
    PortFailure failure;
    const auto port = openPort(options_.device.c_str(), options_.port, failure);
    if (!port) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            portFailure_ = failure;
        }
        const std::string reason = describePortFailure(options_.device.c_str(), failure);
        failOpen(reason, failure.error, reason);
        return AIMLINK_ERR_PORT;
    }
    port_ = *port;
    stopEvent_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopEvent_ < 0) {
        const int error = errno;
        closePort(port_);
        port_ = {};
        failStart("eventfd", error);
        return AIMLINK_ERR_SYSTEM;
    }
    setLink(AIMLINK_LINK_WAITING);
    if (options_.initialise)
        queueInitialise();
    const int error = startWatcher();
    if (error != 0) {
        ::close(stopEvent_);
        stopEvent_ = -1;
        closePort(port_);
        port_ = {};
        setLink(AIMLINK_LINK_CLOSED);
        failStart("pthread_create", error);
        return AIMLINK_ERR_SYSTEM;
    }
    return AIMLINK_OK;
}

void Session::close()
{
    if (stopEvent_ < 0)
        return;
    const uint64_t one = 1;
    // An eventfd write of 8 bytes fails only on overflow, which one stop can't cause.
    [[maybe_unused]] const ssize_t written = ::write(stopEvent_, &one, sizeof one);
    pthread_join(thread_, nullptr);
    closePort(port_);
    port_ = {};
    ::close(stopEvent_);
    stopEvent_ = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slot_.clear();
    }
    setLink(AIMLINK_LINK_CLOSED);
}

void Session::queue(const CommandRow &row, Counts requested)
{
    std::array<uint8_t, kMaxFrame> frame{};
    const size_t length = row.build(frame, requested);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slot_.fill(Bytes(frame.data(), length));
        if (const auto target = targetSetBy(row, requested))
            target_ = target;
    }
    changed();
}

void Session::queueMove(Counts target) { queue(commandRow(Command::Move), target); }
void Session::queueHome() { queue(commandRow(Command::Home), {}); }
void Session::queueInitialise() { queue(commandRow(Command::Initialise), {}); }

bool Session::takeCommand(SlotFrame &frame) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return slot_.take(frame);
}

void Session::commandWritten(const SlotFrame &frame)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reportSinceCommand_ = false;
        slot_.release(frame);
    }
    changed();
}

// It keeps its generation, so a target it carries is still the one being
// waited for.
void Session::restoreCommand(const SlotFrame &frame)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!slot_.restore(frame))
            return;
    }
    changed();
}

void Session::storeReport(Counts position)
{
    bool news = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Counts previous{loadCount(storage_.reportedPan), loadCount(storage_.reportedTilt)};
        news = !hasReport_ || !reportSinceCommand_ || previous.pan != position.pan || previous.tilt != position.tilt;
        storeCount(storage_.reportedPan, position.pan);
        storeCount(storage_.reportedTilt, position.tilt);
        hasReport_ = true;
        reportSinceCommand_ = true;
    }
    if (news)
        changed();
}

bool Session::holds(Condition condition) const
{
    const bool empty = slot_.empty();
    switch (condition) {
    case Condition::Written:
        return empty;
    case Condition::Arrived:
        return empty && reportSinceCommand_ && target_ && target_->pan == loadCount(storage_.reportedPan) &&
               target_->tilt == loadCount(storage_.reportedTilt);
    case Condition::Link:
        return link_ == AIMLINK_LINK_UP;
    }
    return false;
}

int Session::wait(Condition condition, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (link_ == AIMLINK_LINK_CLOSED)
            return AIMLINK_ERR_CLOSED;
        if (link_ == AIMLINK_LINK_FAILED)
            return AIMLINK_ERR_LINK;
        if (holds(condition))
            return AIMLINK_OK;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout)
            return holds(condition) ? AIMLINK_OK : AIMLINK_ERR_TIMEOUT;
    }
}

bool Session::isOpen() const { return stopEvent_ >= 0; }
int Session::descriptor() const { return port_.fd; }

int Session::link() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return link_;
}

bool Session::slotEmpty() const { return slot_.empty(); }

bool Session::arrived() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return holds(Condition::Arrived);
}

bool Session::travelling() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return target_ && !holds(Condition::Arrived);
}

bool Session::hasReport() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return hasReport_;
}

Counts Session::position() const { return {loadCount(storage_.reportedPan), loadCount(storage_.reportedTilt)}; }

std::optional<Counts> Session::target() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return target_;
}

std::string Session::lastError() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

int Session::lastErrno() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lastErrno_;
}

std::optional<PortFailure> Session::portFailure() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return portFailure_;
}

void Session::setHandler(aimlink_handler handler, void *user)
{
    std::lock_guard<std::mutex> lock(handlerMutex_);
    handler_ = handler;
    handlerUser_ = user;
}

void Session::report(int level, const std::string &message)
{
    std::lock_guard<std::mutex> lock(handlerMutex_);
    if (handler_ != nullptr)
        handler_(handlerUser_, level, message.c_str());
}

void Session::setLink(int state)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (link_ == state)
            return;
        link_ = state;
    }
    changed();
}

void Session::changed()
{
    // A waiter that has checked its condition but not yet gone to sleep
    // holds the mutex: taking it here once means the notification cannot
    // fall between its check and its sleep.
    {
        std::lock_guard<std::mutex> lock(mutex_);
    }
    changed_.notify_all();
    if (notifyFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(notifyFd_, &one, sizeof one);
    }
}

void Session::watch()
{
    Watcher watcher(*this, {port_.fd, stopEvent_, std::chrono::milliseconds(options_.replyTimeoutMs),
                            options_.port.baud, escaped(options_.device)});
    watcher.run();
}

} // namespace aimlink

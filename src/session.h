// SPDX-License-Identifier: MIT
// One head on one serial device: the port, the command slot, the reported
// position, the target, the link state, the last failure, the waits on them
// and the watcher thread that talks to the head. Both the handle interface
// and the original calls are layers over this object.
#ifndef AIMLINK_SESSION_H
#define AIMLINK_SESSION_H

#include "aimlink.h"
#include "aimlink_protocol.h"
#include "command_slot.h"
#include "serial_port.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include <pthread.h>

namespace aimlink {

struct SessionOptions {
    std::string device;
    PortSettings port;
    bool initialise = true;
    int replyTimeoutMs = AIMLINK_DEFAULT_REPLY_TIMEOUT_MS;
};

// Where the slot and the reported position live: the exported variables
// for the original calls, the session's own storage for a handle.
struct SessionStorage {
    uint8_t *slotBytes;  // kMaxFrame bytes
    int32_t *slotLength; // 0: empty
    int16_t *reportedPan;
    int16_t *reportedTilt;
};

enum class Condition { Written, Arrived, Link };

// AIMLINK_DEVICE if set and not empty, else the default device.
std::string deviceFromEnvironment();

class Session {
public:
    // notifyFd, if not -1, is an eventfd bumped on every change a caller can see.
    Session(SessionStorage storage, int notifyFd);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // AIMLINK_OK, or AIMLINK_ERR_OPEN / _PORT / _SYSTEM with the reason kept.
    int open(const SessionOptions &options);
    void close();

    void queueMove(Counts target);
    void queueHome();
    void queueInitialise();

    // AIMLINK_OK when the condition holds within timeoutMs, else
    // AIMLINK_ERR_CLOSED, _LINK (checked first) or _TIMEOUT.
    int wait(Condition condition, int timeoutMs);

    bool isOpen() const;
    int descriptor() const;
    int link() const;
    bool slotEmpty() const;
    bool arrived() const;
    // A move or home is under way: the head has not yet reported its target.
    bool travelling() const;
    bool hasReport() const;
    Counts position() const; // 0, 0 before the first report
    std::optional<Counts> target() const;
    std::string lastError() const;
    int lastErrno() const;
    std::optional<PortFailure> portFailure() const;

    void setHandler(aimlink_handler handler, void *user);
    void report(int level, const std::string &message);
    void setTrace(bool on) { trace_.store(on, std::memory_order_relaxed); }
    bool tracing() const { return trace_.load(std::memory_order_relaxed); }

    // The watcher thread's body.
    void watch();

    // The watcher's side: the slot's frame taken, written and put back, a
    // report stored, the link's state and the reason it failed.
    bool takeCommand(SlotFrame &frame) const;
    void commandWritten(const SlotFrame &frame);
    void restoreCommand(const SlotFrame &frame);
    void storeReport(Counts position);
    void setLink(int state);
    void keepError(const std::string &reason);

private:
    void reset();
    void queue(const CommandRow &row, Counts requested);
    bool holds(Condition condition) const; // with mutex_ held
    void changed();
    void failOpen(const std::string &reason, int error, const std::string &message);
    void failStart(const char *call, int error);
    int startWatcher();

    SessionStorage storage_;
    const int notifyFd_;
    SessionOptions options_;

    // Guards everything below.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    CommandSlot slot_;
    int link_ = AIMLINK_LINK_CLOSED;
    std::optional<Counts> target_;
    bool hasReport_ = false;
    // A report came after the last command frame was written: only such a
    // report may say that a move has arrived.
    bool reportSinceCommand_ = false;
    std::string lastError_;
    int lastErrno_ = 0;
    std::optional<PortFailure> portFailure_;

    std::atomic<bool> trace_{false};
    std::mutex handlerMutex_;
    aimlink_handler handler_ = nullptr;
    void *handlerUser_ = nullptr;

    // Caller's side only: set before the watcher starts, reset after it is joined.
    Port port_;
    int stopEvent_ = -1;
    pthread_t thread_{};
};

} // namespace aimlink

#endif

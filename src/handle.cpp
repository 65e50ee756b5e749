// SPDX-License-Identifier: MIT
// The handle interface: one Session per handle, every result a status code.
#include "aimlink.h"

#include "aimlink_protocol.h"
#include "session.h"
#include "text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <limits>
#include <new>

#include <sys/eventfd.h>
#include <unistd.h>

using namespace aimlink;

struct aimlink_head {
    explicit aimlink_head(int notify)
        : events(notify), session({slotBytes.data(), &slotLength, &reportedPan, &reportedTilt}, notify)
    {
    }
    // The watcher writes to events: it must end before they close.
    ~aimlink_head()
    {
        session.close();
        close(events);
    }
    aimlink_head(const aimlink_head &) = delete;
    aimlink_head &operator=(const aimlink_head &) = delete;

    const int events;
    std::array<uint8_t, kMaxFrame> slotBytes{};
    alignas(std::atomic_ref<int32_t>::required_alignment) int32_t slotLength = 0;
    alignas(std::atomic_ref<int16_t>::required_alignment) int16_t reportedPan = 0;
    alignas(std::atomic_ref<int16_t>::required_alignment) int16_t reportedTilt = 0;
    SessionOptions options;
    Session session;
    std::string errorCopy;
};

namespace {

bool fitsAngle(int32_t angle)
{
    return angle >= std::numeric_limits<int16_t>::min() && angle <= std::numeric_limits<int16_t>::max();
}

aimlink_angles toAngles(Counts counts) { return {panCountToAngle(counts.pan), tiltCountToAngle(counts.tilt)}; }

// Commands share the same checks.
template <typename Action> int ifOpen(aimlink_head *handle, Action action)
{
    if (handle == nullptr)
        return AIMLINK_ERR_ARGUMENT;
    if (!handle->session.isOpen())
        return AIMLINK_ERR_CLOSED;
    return action(handle->session);
}

int waitOn(aimlink_head *handle, Condition condition, int timeoutMs)
{
    return handle == nullptr ? AIMLINK_ERR_ARGUMENT : handle->session.wait(condition, timeoutMs);
}

} // namespace

extern "C" {

const char *aimlink_version(void) { return AIMLINK_VERSION_STRING; }

const char *aimlink_strerror(int status)
{
    switch (status) {
    case AIMLINK_OK:
        return "success";
    case AIMLINK_ERR_ARGUMENT:
        return "invalid argument";
    case AIMLINK_ERR_PORT:
        return "the port cannot be used";
    case AIMLINK_ERR_TIMEOUT:
        return "timed out";
    case AIMLINK_ERR_LINK:
        return "the link to the head failed";
    case AIMLINK_ERR_CLOSED:
        return "the handle is not open";
    case AIMLINK_ERR_OPEN:
        return "the handle is already open";
    case AIMLINK_ERR_SYSTEM:
        return "out of system resources";
    case AIMLINK_ERR_NO_REPORT:
        return "no position report yet";
    case AIMLINK_ERR_NO_TARGET:
        return "no move or home yet";
    default:
        return "unknown status";
    }
}

aimlink_head *aimlink_new(const char *device)
{
    const int events = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (events < 0)
        return nullptr;
    auto *handle = new (std::nothrow) aimlink_head(events);
    if (handle == nullptr) {
        close(events);
        errno = ENOMEM;
        return nullptr;
    }
    handle->options.device = device != nullptr && *device != '\0' ? device : deviceFromEnvironment();
    return handle;
}

void aimlink_free(aimlink_head *handle) { delete handle; }

int aimlink_set_baud(aimlink_head *handle, int baud)
{
    if (handle == nullptr || speedCode(baud) == 0)
        return AIMLINK_ERR_ARGUMENT;
    handle->options.port.baud = baud;
    return AIMLINK_OK;
}

int aimlink_set_initialise(aimlink_head *handle, int initialise)
{
    if (handle == nullptr)
        return AIMLINK_ERR_ARGUMENT;
    handle->options.initialise = initialise != 0;
    return AIMLINK_OK;
}

int aimlink_set_reply_timeout(aimlink_head *handle, int ms)
{
    if (handle == nullptr || ms < AIMLINK_REPLY_TIMEOUT_MIN_MS || ms > AIMLINK_REPLY_TIMEOUT_MAX_MS)
        return AIMLINK_ERR_ARGUMENT;
    handle->options.replyTimeoutMs = ms;
    return AIMLINK_OK;
}

int aimlink_set_flow_control(aimlink_head *handle, int mode)
{
    if (handle == nullptr || (mode != AIMLINK_FLOW_KEEP && mode != AIMLINK_FLOW_OFF))
        return AIMLINK_ERR_ARGUMENT;
    handle->options.port.flowControlOff = mode == AIMLINK_FLOW_OFF;
    return AIMLINK_OK;
}

int aimlink_set_handler(aimlink_head *handle, aimlink_handler handler, void *user)
{
    if (handle == nullptr)
        return AIMLINK_ERR_ARGUMENT;
    handle->session.setHandler(handler, user);
    return AIMLINK_OK;
}

int aimlink_set_trace(aimlink_head *handle, int on)
{
    if (handle == nullptr)
        return AIMLINK_ERR_ARGUMENT;
    handle->session.setTrace(on != 0);
    return AIMLINK_OK;
}

int aimlink_open(aimlink_head *handle)
{
    return handle == nullptr ? AIMLINK_ERR_ARGUMENT : handle->session.open(handle->options);
}

int aimlink_close(aimlink_head *handle)
{
    if (handle == nullptr)
        return AIMLINK_ERR_ARGUMENT;
    handle->session.close();
    return AIMLINK_OK;
}

int aimlink_move(aimlink_head *handle, int32_t panAngle, int32_t tiltAngle)
{
    if (!fitsAngle(panAngle) || !fitsAngle(tiltAngle))
        return AIMLINK_ERR_ARGUMENT;
    return ifOpen(handle, [&](Session &session) {
        session.queueMove(limitCounts(anglesToCounts(static_cast<int16_t>(panAngle), static_cast<int16_t>(tiltAngle))));
        return AIMLINK_OK;
    });
}

int aimlink_home(aimlink_head *handle)
{
    return ifOpen(handle, [](Session &session) {
        session.queueHome();
        return AIMLINK_OK;
    });
}

int aimlink_initialise(aimlink_head *handle)
{
    return ifOpen(handle, [](Session &session) {
        session.queueInitialise();
        return AIMLINK_OK;
    });
}

int aimlink_wait_written(aimlink_head *handle, int timeout_ms)
{
    return waitOn(handle, Condition::Written, timeout_ms);
}

int aimlink_wait_arrived(aimlink_head *handle, int timeout_ms)
{
    return waitOn(handle, Condition::Arrived, timeout_ms);
}

int aimlink_wait_link(aimlink_head *handle, int timeout_ms) { return waitOn(handle, Condition::Link, timeout_ms); }

int aimlink_position(aimlink_head *handle, aimlink_angles *position)
{
    if (handle == nullptr || position == nullptr)
        return AIMLINK_ERR_ARGUMENT;
    if (!handle->session.hasReport())
        return AIMLINK_ERR_NO_REPORT;
    *position = toAngles(handle->session.position());
    return AIMLINK_OK;
}

int aimlink_target(aimlink_head *handle, aimlink_angles *target)
{
    if (handle == nullptr || target == nullptr)
        return AIMLINK_ERR_ARGUMENT;
    const auto counts = handle->session.target();
    if (!counts)
        return AIMLINK_ERR_NO_TARGET;
    *target = toAngles(*counts);
    return AIMLINK_OK;
}

int aimlink_link(aimlink_head *handle) { return handle == nullptr ? AIMLINK_ERR_ARGUMENT : handle->session.link(); }

const char *aimlink_link_name(int state)
{
    switch (state) {
    case AIMLINK_LINK_WAITING:
        return "waiting";
    case AIMLINK_LINK_UP:
        return "up";
    case AIMLINK_LINK_SILENT:
        return "silent";
    case AIMLINK_LINK_FAILED:
        return "failed";
    default:
        return "closed";
    }
}

const char *aimlink_device(aimlink_head *handle) { return handle == nullptr ? "" : handle->options.device.c_str(); }

const char *aimlink_last_error(aimlink_head *handle)
{
    if (handle == nullptr)
        return "";
    handle->errorCopy = handle->session.lastError();
    return handle->errorCopy.c_str();
}

int aimlink_last_errno(aimlink_head *handle) { return handle == nullptr ? 0 : handle->session.lastErrno(); }

int aimlink_event_fd(aimlink_head *handle) { return handle == nullptr ? -1 : handle->events; }

int aimlink_reachable(int32_t panAngle, int32_t tiltAngle, aimlink_angles *stop)
{
    if (!fitsAngle(panAngle) || !fitsAngle(tiltAngle))
        return AIMLINK_ERR_ARGUMENT;
    const Counts wanted = anglesToCounts(static_cast<int16_t>(panAngle), static_cast<int16_t>(tiltAngle));
    const Counts reached = limitCounts(wanted);
    if (stop != nullptr)
        *stop = toAngles(reached);
    return wanted.pan == reached.pan && wanted.tilt == reached.tilt ? 1 : 0;
}

} // extern "C"

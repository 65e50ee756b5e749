#include "aimlink.h"

#include "aimlink_protocol.h"
#include "serial.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

// ---------------------------------------------------------------------------
// The byte protocol: pure functions.

namespace aimlink {
namespace {

constexpr std::array<uint8_t, 4> kFramePrefix = {kFrameStart, 0x30, 0x30, 0x00};
constexpr char kHexDigits[] = "0123456789ABCDEF";

size_t buildCommand(std::span<uint8_t> out, std::initializer_list<uint8_t> body)
{
    auto next = std::copy(kFramePrefix.begin(), kFramePrefix.end(), out.begin());
    next = std::copy(body.begin(), body.end(), next);
    *next++ = kEnd;
    return static_cast<size_t>(next - out.begin());
}

std::optional<uint8_t> hexValue(uint8_t digit)
{
    if (digit >= '0' && digit <= '9')
        return static_cast<uint8_t>(digit - '0');
    if (digit >= 'A' && digit <= 'F')
        return static_cast<uint8_t>(digit - 'A' + 10);
    if (digit >= 'a' && digit <= 'f')
        return static_cast<uint8_t>(digit - 'a' + 10);
    return std::nullopt;
}

bool statusAccepted(Bytes reply)
{
    if (reply.size() < 5)
        return false;
    return std::all_of(reply.begin() + 1, reply.begin() + 5, [](uint8_t b) { return b == 0x30; });
}

// Signed 16-bit arithmetic with wrap-around, as the head's firmware does it.
int16_t wrap16(int value) { return static_cast<int16_t>(value); }

} // namespace

size_t buildInitFrame(std::span<uint8_t> out) { return buildCommand(out, {kInitCommand, 0x30}); }
size_t buildHomeFrame(std::span<uint8_t> out) { return buildCommand(out, {kHomeCommand}); }
size_t buildPollFrame(std::span<uint8_t> out) { return buildCommand(out, {kPollCommand}); }

size_t buildMoveFrame(std::span<uint8_t> out, int16_t panCount, int16_t tiltCount)
{
    const auto p = encodeCount(panCount);
    const auto t = encodeCount(tiltCount);
    return buildCommand(out, {kMoveCommand, p[0], p[1], p[2], p[3], t[0], t[1], t[2], t[3]});
}

std::array<uint8_t, 4> encodeCount(int16_t count)
{
    const auto offset = static_cast<uint16_t>(static_cast<uint16_t>(count) ^ 0x8000u);
    return {static_cast<uint8_t>(kHexDigits[(offset >> 12) & 0xF]),
            static_cast<uint8_t>(kHexDigits[(offset >> 8) & 0xF]),
            static_cast<uint8_t>(kHexDigits[(offset >> 4) & 0xF]), static_cast<uint8_t>(kHexDigits[offset & 0xF])};
}

std::optional<int16_t> decodeCount(std::span<const uint8_t, 4> field)
{
    unsigned offset = 0;
    for (uint8_t digit : field) {
        const auto value = hexValue(digit);
        if (!value)
            return std::nullopt;
        offset = (offset << 4) | *value;
    }
    return static_cast<int16_t>(offset ^ 0x8000u);
}

ReplyKind classifyReply(Bytes reply)
{
    if (reply.size() < 2 || reply.front() != kReplyStart || reply.back() != kEnd)
        return ReplyKind::NotReply;
    if (!statusAccepted(reply))
        return ReplyKind::Rejection;
    if (reply[5] == kEnd)
        return ReplyKind::Acknowledgement;
    if (reply.size() != kDataReplyLength)
        return ReplyKind::Corrupt;
    const bool digits = decodeCount(reply.subspan<5, 4>()) && decodeCount(reply.subspan<9, 4>());
    return digits ? ReplyKind::Position : ReplyKind::Corrupt;
}

Counts replyPosition(Bytes reply)
{
    return {decodeCount(reply.subspan<5, 4>()).value_or(0), decodeCount(reply.subspan<9, 4>()).value_or(0)};
}

size_t feedReply(ReplyAssembler &assembler, Bytes input)
{
    if (assembler.complete)
        return 0;
    for (size_t i = 0; i < input.size(); ++i) {
        const uint8_t byte = input[i];
        if (byte == kReplyStart) {
            assembler.length = 0;
        } else if (assembler.length == 0) {
            continue;
        }
        assembler.bytes[assembler.length++] = byte;
        if (byte == kEnd) {
            assembler.complete = true;
            return i + 1;
        }
        if (assembler.length == kMaxReply) {
            assembler.length = 0;
            ++assembler.droppedRuns;
        }
    }
    return input.size();
}

Bytes reply(const ReplyAssembler &assembler)
{
    return assembler.complete ? Bytes(assembler.bytes.data(), assembler.length) : Bytes();
}

size_t bytesStillExpected(const ReplyAssembler &assembler)
{
    constexpr size_t kShortestReply = 6; // FE, four status bytes, EF
    if (assembler.complete || assembler.length == 0)
        return 0;
    if (assembler.length < kShortestReply)
        return kShortestReply - assembler.length;
    return assembler.length < kDataReplyLength ? kDataReplyLength - assembler.length : 1;
}

void resetReply(ReplyAssembler &assembler)
{
    assembler.length = 0;
    assembler.complete = false;
}

std::string formatDump(Bytes bytes, uint8_t end)
{
    std::string text;
    for (uint8_t byte : bytes) {
        text += ' ';
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0xF];
        if (byte == end)
            break;
    }
    return text;
}

Counts anglesToCounts(int16_t panAngle, int16_t tiltAngle)
{
    int16_t p = wrap16(6282 - panAngle);
    if (p > 3141)
        p = wrap16(p - 6282);
    int16_t t = wrap16(tiltAngle - 1571);
    if (t > 3141)
        t = wrap16(t - 6282);
    return {static_cast<int16_t>(p >> 1), static_cast<int16_t>(t >> 1)};
}

Counts limitCounts(Counts counts)
{
    return {std::clamp(counts.pan, kPanMin, kPanMax), std::clamp(counts.tilt, kTiltMin, kTiltMax)};
}

int32_t panCountToAngle(int16_t panCount) { return -2 * int32_t{panCount}; }
int32_t tiltCountToAngle(int16_t tiltCount) { return 2 * int32_t{tiltCount} + 1571; }

} // namespace aimlink

// ---------------------------------------------------------------------------
// The module's exported state.

extern "C" {
uint8_t cmdbuf[32] = {};
alignas(std::atomic_ref<int32_t>::required_alignment) int32_t cmdLength = 0;
int fd = -1;
int16_t pan = 0;
int16_t tilt = 0;
alignas(std::atomic_ref<int16_t>::required_alignment) int16_t panout = 0;
alignas(std::atomic_ref<int16_t>::required_alignment) int16_t tiltout = 0;
int16_t zoom = 0;
uint8_t newbuf[32] = {};
int16_t ptzStale = 1;
int16_t trackState = 0;
}

namespace {

using namespace aimlink;
using Clock = std::chrono::steady_clock;

// Ten bits a byte (start, eight data, stop) at the head's line speed.
constexpr std::chrono::microseconds kByteTime(10'000'000 / PTZ_BAUD);

std::atomic_ref<int32_t> slotLength() { return std::atomic_ref<int32_t>(cmdLength); }

// Filling the slot, the watcher taking a frame from it and the watcher's
// resend must not interleave; the generation tells the watcher whether the
// frame it wrote is still the one in the slot.
std::mutex slotMutex;
uint64_t slotGeneration = 0;

// Waiters block here; the watcher notifies after every change they can see.
std::mutex eventMutex;
std::condition_variable eventChanged;
std::atomic<int> linkState{PTZ_LINK_STOPPED};

// Caller's thread only; the watcher reads device and stopEvent, which are set
// before it starts and reset after it is joined.
bool running = false;
pthread_t watcherThread;
int stopEvent = -1;
std::string device;

void notifyWaiters()
{
    {
        std::lock_guard<std::mutex> lock(eventMutex);
    }
    eventChanged.notify_all();
}

void setLinkState(int state)
{
    linkState.store(state, std::memory_order_release);
    notifyWaiters();
}

void fillSlot(Bytes frame)
{
    std::lock_guard<std::mutex> lock(slotMutex);
    std::copy(frame.begin(), frame.end(), cmdbuf);
    ++slotGeneration;
    slotLength().store(static_cast<int32_t>(frame.size()), std::memory_order_release);
}

struct Frame {
    std::array<uint8_t, kMaxFrame> bytes{};
    size_t length = 0;
    uint64_t generation = 0;
    Bytes view() const { return {bytes.data(), length}; }
    uint8_t command() const { return length > 4 ? bytes[4] : 0; }
};

bool takeSlot(Frame &frame)
{
    std::lock_guard<std::mutex> lock(slotMutex);
    const int32_t length = slotLength().load(std::memory_order_acquire);
    if (length <= 0)
        return false;
    frame.length = std::min<size_t>(static_cast<size_t>(length), kMaxFrame);
    std::copy_n(cmdbuf, frame.length, frame.bytes.begin());
    frame.generation = slotGeneration;
    return true;
}

// Empties the slot after its frame went out, unless the caller refilled it
// meanwhile: then the new frame waits for the next cycle.
void releaseSlot(const Frame &frame)
{
    {
        std::lock_guard<std::mutex> lock(slotMutex);
        if (slotGeneration == frame.generation)
            slotLength().store(0, std::memory_order_release);
    }
    notifyWaiters();
}

// Puts the last command frame back, but only into an empty slot: a command
// the caller queued since takes its place.
void restoreSlot(const Frame &frame)
{
    if (frame.length == 0)
        return;
    std::lock_guard<std::mutex> lock(slotMutex);
    if (slotLength().load(std::memory_order_acquire) != 0)
        return;
    std::copy_n(frame.bytes.begin(), frame.length, cmdbuf);
    ++slotGeneration;
    slotLength().store(static_cast<int32_t>(frame.length), std::memory_order_release);
}

void storePosition(Counts position)
{
    std::atomic_ref<int16_t>(panout).store(position.pan, std::memory_order_release);
    std::atomic_ref<int16_t>(tiltout).store(position.tilt, std::memory_order_release);
    notifyWaiters();
}

// strerror's buffer is shared between threads; the watcher reports errors
// while the caller's thread may do the same.
std::string errorText(int error)
{
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);
}

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

// The watcher's I/O. Every wait also watches stopEvent so that stopPTZ()
// ends it at once.
enum class Outcome { Done, TimedOut, Stopped, Failed };

struct Watcher {
    Frame lastCommand;
    ReplyAssembler assembler;
    std::string failure;

    bool stopRequested(int timeoutMs) const
    {
        pollfd stop{stopEvent, POLLIN, 0};
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const int ready = poll(&stop, 1, timeoutMs < 0 ? -1 : remainingMs(deadline));
            if (ready > 0)
                return true;
            if (ready == 0 || errno != EINTR)
                return false;
        }
    }

    Outcome fail(std::string reason)
    {
        failure = std::move(reason);
        return Outcome::Failed;
    }

    // Waits until fd has the events, the deadline passes or a stop comes.
    Outcome awaitPort(short events, Clock::time_point deadline)
    {
        pollfd fds[2] = {{fd, events, 0}, {stopEvent, POLLIN, 0}};
        for (;;) {
            const int ready = poll(fds, 2, remainingMs(deadline));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return fail("poll: " + errorText(errno));
            if (fds[1].revents != 0)
                return Outcome::Stopped;
            if (fds[0].revents & POLLNVAL)
                return fail("the descriptor is no longer valid");
            if (fds[0].revents & POLLHUP)
                return fail("hang-up on the line (device unplugged or closed)");
            if (fds[0].revents & POLLERR)
                return fail("error condition on the line");
            return ready == 0 ? Outcome::TimedOut : Outcome::Done;
        }
    }

    Outcome writeFrame(Bytes frame)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(PTZ_REPLY_TIMEOUT_MS);
        while (!frame.empty()) {
            const ssize_t written = write(fd, frame.data(), frame.size());
            if (written > 0) {
                frame = frame.subspan(static_cast<size_t>(written));
                continue;
            }
            if (written < 0 && errno != EAGAIN && errno != EINTR)
                return fail("write: " + errorText(errno));
            const Outcome outcome = awaitPort(POLLOUT, deadline);
            if (outcome == Outcome::TimedOut)
                return fail("output blocked for 1 s");
            if (outcome != Outcome::Done)
                return outcome;
        }
        return Outcome::Done;
    }

    // The line brings a byte every kByteTime; waking for each byte of a reply
    // would cost a dozen wake-ups per exchange. Sleeps until all but the last
    // of the bytes still expected can have come, then reads them at once; the
    // last byte wakes the poll itself, so the reply's end is seen when it comes.
    // True if a stop came meanwhile.
    bool awaitBytes(size_t expected, Clock::time_point deadline) const
    {
        if (expected <= 1)
            return false;
        const auto untilMost = std::chrono::ceil<std::chrono::milliseconds>((expected - 1) * kByteTime);
        return stopRequested(std::min(static_cast<int>(untilMost.count()), remainingMs(deadline)));
    }

    // Collects the reply to the frame just written, however the line cuts it.
    Outcome readReply()
    {
        resetReply(assembler);
        const auto deadline = Clock::now() + std::chrono::milliseconds(PTZ_REPLY_TIMEOUT_MS);
        uint8_t chunk[256];
        while (!assembler.complete) {
            const Outcome outcome = awaitPort(POLLIN, deadline);
            if (outcome != Outcome::Done)
                return outcome;
            const ssize_t count = read(fd, chunk, sizeof chunk);
            if (count < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (count < 0)
                return fail("read: " + errorText(errno));
            if (count == 0)
                return fail("the port reads nothing although it reported data (device unplugged?)");
            feedReply(assembler, Bytes(chunk, static_cast<size_t>(count)));
            if (awaitBytes(bytesStillExpected(assembler), deadline))
                return Outcome::Stopped;
        }
        return Outcome::Done;
    }

    // Writes the queued command, or else a position request. Returns the
    // frame written, so the caller can tell what went unanswered.
    Outcome sendNext(Frame &sent)
    {
        // Bytes still waiting belong to an earlier exchange (a late reply);
        // read as this frame's answer they would shift every reply by one.
        tcflush(fd, TCIFLUSH);
        if (takeSlot(sent)) {
            const Outcome outcome = writeFrame(sent.view());
            if (outcome != Outcome::Done)
                return outcome;
            lastCommand = sent;
            releaseSlot(sent);
            return Outcome::Done;
        }
        sent.length = buildPollFrame(sent.bytes);
        return writeFrame(sent.view());
    }

    void handleReply()
    {
        const Bytes bytes = reply(assembler);
        switch (classifyReply(bytes)) {
        case ReplyKind::Rejection: {
            std::array<uint8_t, 256> dump{};
            std::copy(bytes.begin(), bytes.end(), dump.begin());
            std::fputs("PTZ error:  resending command.\n", stderr);
            hexPrint(dump.data(), kEnd);
            restoreSlot(lastCommand);
            break;
        }
        case ReplyKind::Position:
            storePosition(replyPosition(bytes));
            break;
        case ReplyKind::Corrupt:
            std::fprintf(stderr, "aimlink: %s: corrupt position reply ignored:%s\n", device.c_str(),
                         formatDump(bytes, kEnd).c_str());
            break;
        case ReplyKind::Acknowledgement:
        case ReplyKind::NotReply:
            break;
        }
    }

    void noteAnswered()
    {
        const int previous = linkState.load(std::memory_order_acquire);
        if (previous == PTZ_LINK_UP)
            return;
        if (previous == PTZ_LINK_SILENT)
            std::fprintf(stderr, "aimlink: %s: the head answers again\n", device.c_str());
        setLinkState(PTZ_LINK_UP);
    }

    void noteUnanswered(const Frame &sent)
    {
        if (linkState.load(std::memory_order_acquire) != PTZ_LINK_SILENT) {
            std::fprintf(stderr, "aimlink: %s: no reply from the head within %d ms\n", device.c_str(),
                         PTZ_REPLY_TIMEOUT_MS);
            setLinkState(PTZ_LINK_SILENT);
        }
        // A lost move or home would leave the caller waiting for ever; a
        // repeated initialise would restart the head's own initialisation.
        if (sent.command() == kMoveCommand || sent.command() == kHomeCommand)
            restoreSlot(sent);
    }

    // One exchange; false once the watcher must stop exchanging.
    bool exchange()
    {
        Frame sent;
        Outcome outcome = sendNext(sent);
        if (outcome == Outcome::Done)
            outcome = readReply();
        switch (outcome) {
        case Outcome::Done:
            noteAnswered();
            handleReply();
            return true;
        case Outcome::TimedOut:
            noteUnanswered(sent);
            return true;
        case Outcome::Failed:
            std::fprintf(stderr, "aimlink: %s: link failed: %s\n", device.c_str(), failure.c_str());
            setLinkState(PTZ_LINK_FAILED);
            return false;
        case Outcome::Stopped:
            return false;
        }
        return false;
    }

    void run()
    {
        // The first exchange goes out at once; the pause paces the head
        // between exchanges.
        while (exchange()) {
            if (stopRequested(PTZ_EXCHANGE_PAUSE_MS))
                return;
        }
        // A failed port is left alone until stopPTZ(): no loop on a dead line.
        if (linkState.load(std::memory_order_acquire) == PTZ_LINK_FAILED)
            stopRequested(-1);
    }
};

template <typename Ready> int waitFor(int ms, Ready ready)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    std::unique_lock<std::mutex> lock(eventMutex);
    for (;;) {
        if (ready())
            return 1;
        const int state = linkState.load(std::memory_order_acquire);
        if (state == PTZ_LINK_FAILED || state == PTZ_LINK_STOPPED)
            return -1;
        if (eventChanged.wait_until(lock, deadline) == std::cv_status::timeout)
            return ready() ? 1 : 0;
    }
}

std::string configuredDevice()
{
    const char *fromEnvironment = std::getenv("AIMLINK_DEVICE");
    return fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : PTZ_DEFAULT_DEVICE;
}

[[noreturn]] void failStart(const char *what, int error)
{
    std::fprintf(stderr, "aimlink: cannot start the watcher thread: %s: %s\n", what, errorText(error).c_str());
    std::exit(1); // NOLINT(concurrency-mt-unsafe): no watcher is running yet
}

} // namespace

// ---------------------------------------------------------------------------
// Public operations.

extern "C" {

int startPTZ(void)
{
    if (running)
        return 0;
    device = configuredDevice();
    slotLength().store(0, std::memory_order_release);
    fd = openSerialPort(device.c_str(), PTZ_BAUD);
    stopEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopEvent < 0)
        failStart("eventfd", errno);
    linkState.store(PTZ_LINK_WAITING, std::memory_order_release);
    initPTZ();
    const int error = pthread_create(&watcherThread, nullptr, watchPTZ, nullptr);
    if (error != 0)
        failStart("pthread_create", error);
    running = true;
    // Bounded by the watcher's own write time-out, which fails the link.
    waitReadyPTZ(2 * PTZ_REPLY_TIMEOUT_MS);
    return 0;
}

void stopPTZ(void)
{
    if (!running)
        return;
    const uint64_t one = 1;
    if (write(stopEvent, &one, sizeof one) != sizeof one)
        std::perror("aimlink: eventfd");
    pthread_join(watcherThread, nullptr);
    closeSerialPort(fd);
    fd = -1;
    close(stopEvent);
    stopEvent = -1;
    slotLength().store(0, std::memory_order_release);
    running = false;
    setLinkState(PTZ_LINK_STOPPED);
}

int readyPTZ(void) { return slotLength().load(std::memory_order_acquire) == 0 ? 1 : 0; }

int donePTZ(void)
{
    const int16_t reportedTilt = std::atomic_ref<int16_t>(tiltout).load(std::memory_order_acquire);
    const int16_t reportedPan = std::atomic_ref<int16_t>(panout).load(std::memory_order_acquire);
    return pan == reportedPan && tilt == reportedTilt ? 1 : 0;
}

int waitReadyPTZ(int ms) { return waitFor(ms, readyPTZ); }
int waitDonePTZ(int ms) { return waitFor(ms, donePTZ); }
int waitLinkPTZ(int ms)
{
    return waitFor(ms, [] { return linkState.load(std::memory_order_acquire) == PTZ_LINK_UP; });
}

int linkPTZ(void) { return linkState.load(std::memory_order_acquire); }

const char *devicePTZ(void)
{
    if (!running)
        device = configuredDevice();
    return device.c_str();
}

void setPanTilt(int16_t panAngle, int16_t tiltAngle)
{
    // A request beyond the travel records the limit as its target, so that
    // donePTZ() turns 1 when the head reports arriving there.
    const Counts target = limitCounts(anglesToCounts(panAngle, tiltAngle));
    pan = target.pan;
    tilt = target.tilt;
    std::array<uint8_t, kMaxFrame> frame{};
    fillSlot(Bytes(frame.data(), buildMoveFrame(frame, target.pan, target.tilt)));
}

void homePTZ(void)
{
    std::array<uint8_t, kMaxFrame> frame{};
    fillSlot(Bytes(frame.data(), buildHomeFrame(frame)));
}

void initPTZ(void)
{
    std::array<uint8_t, kMaxFrame> frame{};
    fillSlot(Bytes(frame.data(), buildInitFrame(frame)));
}

void setZoom(int) {}

void getPTZ(int32_t position[2])
{
    position[0] = 2 * int32_t{std::atomic_ref<int16_t>(panout).load(std::memory_order_acquire)};
    position[1] = 2 * int32_t{std::atomic_ref<int16_t>(tiltout).load(std::memory_order_acquire)};
}

void hexPrint(const uint8_t *bytes, int end)
{
    const std::string line = "hexPrint:  " + formatDump(Bytes(bytes, 256), static_cast<uint8_t>(end)) + "\n";
    std::fputs(line.c_str(), stderr);
}

void *watchPTZ(void *)
{
    Watcher watcher;
    watcher.run();
    return nullptr;
}

} // extern "C"

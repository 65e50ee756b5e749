#include "session.h"

#include "text.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace aimlink {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr milliseconds kExchangePause(PTZ_EXCHANGE_PAUSE_MS);
// How much before a report is due the watcher wakes while the head travels.
constexpr microseconds kPromptMargin(500);
constexpr char kHangUp[] = "hang-up on the line (device unplugged or closed)";

// A point in time that waits count down to, in the kernel's own form.
class Deadline {
public:
    explicit Deadline(Clock::duration fromNow) : at_(Clock::now() + fromNow) {}
    bool passed() const { return Clock::now() >= at_; }
    timespec left() const
    {
        const auto remaining = std::max(Clock::duration::zero(), at_ - Clock::now());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(remaining);
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining - seconds);
        return {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
    }
    Clock::time_point at() const { return at_; }

private:
    Clock::time_point at_;
};

// Ten bits a byte (start, eight data, stop) at the line speed.
microseconds byteTime(int baud) { return microseconds(10'000'000 / std::max(baud, 1)); }

void storeCount(int16_t *where, int16_t value)
{
    std::atomic_ref<int16_t>(*where).store(value, std::memory_order_release);
}

int16_t loadCount(int16_t *where) { return std::atomic_ref<int16_t>(*where).load(std::memory_order_acquire); }

std::atomic_ref<int32_t> slotLength(const SessionStorage &storage)
{
    return std::atomic_ref<int32_t>(*storage.slotLength);
}

struct Frame {
    std::array<uint8_t, kMaxFrame> bytes{};
    size_t length = 0;
    uint64_t generation = 0;
    Bytes view() const { return {bytes.data(), length}; }
    uint8_t command() const { return length > 4 ? bytes[4] : 0; }
};

} // namespace

// The watcher's I/O. Every wait also watches the stop event, so that a
// close ends it at once.
class Watcher {
public:
    explicit Watcher(Session &session)
        : session_(session), fd_(session.port_.fd), stop_(session.stopEvent_),
          replyTimeout_(milliseconds(session.options_.replyTimeoutMs)), byteTime_(byteTime(session.options_.port.baud)),
          device_(printable(session.options_.device))
    {
    }

    void run()
    {
        // The sleeps end when a reply's last byte is due; the default
        // 50 us of slack on each would add to every reaction.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        // The first exchange goes out at once; the pause paces the head
        // between exchanges.
        for (;;) {
            const Next next = exchange();
            if (next == Next::Stop)
                break;
            if (next == Next::Pause && sleepUnlessStopped(kExchangePause))
                return;
        }
        // A failed port is left alone until the close: no loop on a dead line.
        if (session_.link() == AIMLINK_LINK_FAILED)
            sleepUnlessStopped(std::nullopt);
    }

private:
    // DoneAfterPause: the reply was whole when the pause after it was over.
    enum class Outcome { Done, DoneAfterPause, TimedOut, Stopped, Failed };
    enum class Next { Pause, Exchange, Stop };

    // When the watcher wakes for a reply.
    enum class Wake {
        FirstByte,      // as it starts, to measure the latency afresh
        LastByte,       // when its last byte is due
        BeforeLastByte, // a little before, to take an arrival the moment it comes
        AfterPause,     // when the pause after it is over as well
    };

    // True if a stop came within the time (for ever without one).
    bool sleepUnlessStopped(std::optional<Clock::duration> duration) const
    {
        pollfd stop{stop_, POLLIN, 0};
        const std::optional<Deadline> deadline = duration ? std::optional<Deadline>(*duration) : std::nullopt;
        for (;;) {
            const timespec left = deadline ? deadline->left() : timespec{};
            const int ready = ppoll(&stop, 1, deadline ? &left : nullptr, nullptr);
            if (ready > 0)
                return true;
            if (ready == 0 || errno != EINTR)
                return false;
        }
    }

    Outcome fail(std::string reason)
    {
        failure_ = std::move(reason);
        return Outcome::Failed;
    }

    // Waits until the port has the events, the deadline passes or a stop comes.
    Outcome awaitPort(short events, const Deadline &deadline)
    {
        pollfd fds[2] = {{fd_, events, 0}, {stop_, POLLIN, 0}};
        for (;;) {
            const timespec left = deadline.left();
            const int ready = ppoll(fds, 2, &left, nullptr);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return fail("poll: " + errorText(errno));
            if (fds[1].revents != 0)
                return Outcome::Stopped;
            // A hang-up first: on a pty it comes with an error condition too.
            if (fds[0].revents & POLLNVAL)
                return fail("the descriptor is no longer valid");
            if (fds[0].revents & POLLHUP)
                return fail(kHangUp);
            if (fds[0].revents & POLLERR)
                return fail("error condition on the line");
            return ready == 0 ? Outcome::TimedOut : Outcome::Done;
        }
    }

    // A terminal that was hung up (an adapter unplugged) fails every write
    // with EIO: name the hang-up rather than the bare error.
    Outcome failCall(const char *call, int error)
    {
        pollfd line{fd_, 0, 0};
        if (error == EIO && poll(&line, 1, 0) == 1 && (line.revents & POLLHUP) != 0)
            return fail(kHangUp);
        return fail(std::string(call) + ": " + errorText(error));
    }

    Outcome writeFrame(Bytes frame)
    {
        const Deadline deadline(replyTimeout_);
        while (!frame.empty()) {
            const ssize_t written = write(fd_, frame.data(), frame.size());
            if (written > 0) {
                frame = frame.subspan(static_cast<size_t>(written));
                continue;
            }
            if (written < 0 && errno != EAGAIN && errno != EINTR)
                return failCall("write", errno);
            const Outcome outcome = awaitPort(POLLOUT, deadline);
            if (outcome == Outcome::TimedOut)
                return fail("output blocked for " + std::to_string(replyTimeout_.count()) + " ms");
            if (outcome != Outcome::Done)
                return outcome;
        }
        return Outcome::Done;
    }

    // The line brings a byte every byteTime_: once the first bytes of a
    // measured reply are in, rather than wake for each byte, sleeps until the
    // rest can all have come. True if a stop came meanwhile.
    bool awaitRestOfReply(size_t expectedLength, const Deadline &deadline) const
    {
        const size_t missing =
            std::max(bytesStillExpected(assembler_), expectedLength - std::min(expectedLength, assembler_.length));
        if (assembler_.complete || missing == 0)
            return false;
        const Clock::time_point untilAll = Clock::now() + static_cast<int64_t>(missing) * byteTime_;
        return sleepUnlessStopped(std::min(untilAll, deadline.at()) - Clock::now());
    }

    // How long from writing a frame to the first byte of its reply, the
    // frame's own time on the line included: the least seen over the last
    // few measured exchanges.
    class Latency {
    public:
        std::optional<Clock::duration> estimate() const
        {
            if (count_ == 0)
                return std::nullopt;
            return *std::min_element(seen_.begin(), seen_.begin() + static_cast<std::ptrdiff_t>(count_));
        }
        // The longest seen over the same exchanges.
        std::optional<Clock::duration> latest() const
        {
            if (count_ == 0)
                return std::nullopt;
            return *std::max_element(seen_.begin(), seen_.begin() + static_cast<std::ptrdiff_t>(count_));
        }
        void record(Clock::duration latency)
        {
            seen_[next_] = latency;
            next_ = (next_ + 1) % seen_.size();
            count_ = std::min(count_ + 1, seen_.size());
        }
        // Most exchanges sleep through the whole reply on the estimate; every
        // so often one wakes at the first byte to measure it afresh.
        bool timeToMeasure() { return count_ == 0 || ++sinceMeasured_ % kMeasureEvery == 0; }

    private:
        static constexpr unsigned kMeasureEvery = 16;
        std::array<Clock::duration, 8> seen_{};
        size_t count_ = 0;
        size_t next_ = 0;
        unsigned sinceMeasured_ = 0;
    };

    // While the head stands still and nothing is asked of it, no one waits
    // for the next report: the watcher sleeps through the reply and the pause
    // after it in one, and wakes once an exchange instead of twice. The pause
    // is then counted from the latest a reply has lately come, so only a line
    // that keeps time rests this way; a reply found not whole on waking ends
    // it until the next measured exchange comes whole when due.
    Wake chooseWake(const Frame &sent, size_t expectedLength, Latency &latency)
    {
        if (latency.timeToMeasure())
            return Wake::FirstByte;
        if (sent.command() != kPollCommand)
            return Wake::LastByte;
        if (session_.travelling())
            return Wake::BeforeLastByte;
        const bool resting = headStill_ && punctual_ && session_.link() == AIMLINK_LINK_UP &&
                             replyAndPause(expectedLength, latency) < replyTimeout_;
        return resting ? Wake::AfterPause : Wake::LastByte;
    }

    // The first byte comes after the latency, the last one
    // expectedLength - 1 byte times later.
    microseconds lastByteAfter(size_t expectedLength) const
    {
        return static_cast<int64_t>(expectedLength - 1) * byteTime_;
    }

    // From writing a frame to the end of the pause after its reply, by the
    // latest the reply has lately come.
    Clock::duration replyAndPause(size_t expectedLength, const Latency &latency) const
    {
        return *latency.latest() + lastByteAfter(expectedLength) + kExchangePause;
    }

    Clock::time_point wakeTime(Wake wake, size_t expectedLength, Clock::time_point writtenAt,
                               const Latency &latency) const
    {
        const auto lastByte = writtenAt + *latency.estimate() + lastByteAfter(expectedLength);
        switch (wake) {
        case Wake::BeforeLastByte:
            return lastByte - std::max<Clock::duration>(byteTime_, kPromptMargin);
        case Wake::AfterPause:
            return writtenAt + replyAndPause(expectedLength, latency);
        case Wake::FirstByte:
        case Wake::LastByte:
            break;
        }
        return lastByte;
    }

    // Collects the reply to the frame just written, however the line cuts it.
    // It sleeps once, until the reply's last byte is due, and then takes
    // whatever is still missing the moment it comes: one wake-up per reply
    // when the line keeps time, and no lateness when it does not. A report
    // that may tell of an arrival is worth a second wake-up: the watcher
    // wakes a little before it is due and waits on the port for its last
    // byte, since a wake on the estimate alone comes late by as much as the
    // estimate and the timer are.
    Outcome readReply(size_t expectedLength, Clock::time_point writtenAt, Latency &latency, Wake wake)
    {
        resetReply(assembler_);
        const Deadline deadline(replyTimeout_);
        if (wake != Wake::FirstByte &&
            sleepUnlessStopped(std::min(wakeTime(wake, expectedLength, writtenAt, latency), deadline.at()) -
                               Clock::now()))
            return Outcome::Stopped;
        // Reads before it polls: after the sleep the reply is normally in.
        uint8_t chunk[256];
        bool firstChunk = true;
        bool portReadable = false;
        // Whether the whole reply was due when the watcher last woke, and
        // whether it then had to wait for more.
        bool due = wake == Wake::AfterPause;
        bool late = false;
        while (!assembler_.complete) {
            const ssize_t count = read(fd_, chunk, sizeof chunk);
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0 && errno != EAGAIN)
                return failCall("read", errno);
            if (count == 0 && portReadable)
                return fail("the port reads nothing although it reported data (device unplugged?)");
            if (count <= 0) {
                late = late || due;
                const Outcome outcome = awaitPort(POLLIN, deadline);
                if (outcome != Outcome::Done)
                    return outcome;
                portReadable = true;
                continue;
            }
            portReadable = false;
            feedReply(assembler_, Bytes(chunk, static_cast<size_t>(count)));
            if (wake == Wake::FirstByte && firstChunk) {
                latency.record(Clock::now() - writtenAt - static_cast<int64_t>(count - 1) * byteTime_);
                if (awaitRestOfReply(expectedLength, deadline))
                    return Outcome::Stopped;
                due = true;
            }
            firstChunk = false;
        }
        if (wake == Wake::FirstByte || wake == Wake::AfterPause)
            punctual_ = !late;
        return wake == Wake::AfterPause && !late ? Outcome::DoneAfterPause : Outcome::Done;
    }

    bool takeSlot(Frame &frame)
    {
        std::lock_guard<std::mutex> lock(session_.mutex_);
        const int32_t length = slotLength(session_.storage_).load(std::memory_order_acquire);
        if (length <= 0)
            return false;
        frame.length = std::min<size_t>(static_cast<size_t>(length), kMaxFrame);
        std::copy_n(session_.storage_.slotBytes, frame.length, frame.bytes.begin());
        frame.generation = session_.slotGeneration_;
        return true;
    }

    // Empties the slot after its frame went out, unless the caller refilled
    // it meanwhile: then the new frame waits for the next cycle.
    void releaseSlot(const Frame &frame)
    {
        {
            std::lock_guard<std::mutex> lock(session_.mutex_);
            session_.reportSinceCommand_ = false;
            if (session_.slotGeneration_ == frame.generation)
                slotLength(session_.storage_).store(0, std::memory_order_release);
        }
        session_.changed();
    }

    // Puts a command frame back, but only into an empty slot: a command the
    // caller queued since takes its place. It keeps its generation, so a
    // target it carries is still the one being waited for.
    void restoreSlot(const Frame &frame)
    {
        if (frame.length == 0)
            return;
        {
            std::lock_guard<std::mutex> lock(session_.mutex_);
            if (slotLength(session_.storage_).load(std::memory_order_acquire) != 0 ||
                session_.slotGeneration_ != frame.generation)
                return;
            std::copy_n(frame.bytes.begin(), frame.length, session_.storage_.slotBytes);
            slotLength(session_.storage_).store(static_cast<int32_t>(frame.length), std::memory_order_release);
        }
        session_.changed();
    }

    // Writes the queued command, or else a position request.
    Outcome sendNext(Frame &sent)
    {
        // Bytes still waiting belong to an earlier exchange (a late reply);
        // read as this frame's answer they would shift every reply by one.
        tcflush(fd_, TCIFLUSH);
        if (takeSlot(sent)) {
            const Outcome outcome = writeFrame(sent.view());
            if (outcome != Outcome::Done)
                return outcome;
            lastCommand_ = sent;
            releaseSlot(sent);
            return Outcome::Done;
        }
        sent.length = buildPollFrame(sent.bytes);
        return writeFrame(sent.view());
    }

    void storePosition(Counts position)
    {
        bool news = false;
        {
            std::lock_guard<std::mutex> lock(session_.mutex_);
            const Counts previous{loadCount(session_.storage_.reportedPan), loadCount(session_.storage_.reportedTilt)};
            news = !session_.hasReport_ || !session_.reportSinceCommand_ || previous.pan != position.pan ||
                   previous.tilt != position.tilt;
            storeCount(session_.storage_.reportedPan, position.pan);
            storeCount(session_.storage_.reportedTilt, position.tilt);
            session_.hasReport_ = true;
            session_.reportSinceCommand_ = true;
        }
        if (news)
            session_.changed();
    }

    void handleReply()
    {
        const Bytes bytes = reply(assembler_);
        switch (classifyReply(bytes)) {
        case ReplyKind::Rejection:
            session_.report(AIMLINK_LEVEL_WARNING, "PTZ error:  resending command.");
            session_.report(AIMLINK_LEVEL_WARNING, "hexPrint:  " + formatDump(bytes, kEnd));
            restoreSlot(lastCommand_);
            break;
        case ReplyKind::Position: {
            const Counts position = replyPosition(bytes);
            headStill_ = lastPosition_ && lastPosition_->pan == position.pan && lastPosition_->tilt == position.tilt;
            lastPosition_ = position;
            storePosition(position);
            break;
        }
        case ReplyKind::Corrupt:
            session_.report(AIMLINK_LEVEL_WARNING,
                            "aimlink: " + device_ + ": corrupt position reply ignored:" + formatDump(bytes, kEnd));
            break;
        case ReplyKind::Acknowledgement:
        case ReplyKind::NotReply:
            break;
        }
    }

    void noteAnswered()
    {
        const int previous = session_.link();
        if (previous == AIMLINK_LINK_UP)
            return;
        if (previous == AIMLINK_LINK_SILENT)
            session_.report(AIMLINK_LEVEL_INFO, "aimlink: " + device_ + ": the head answers again");
        session_.setLink(AIMLINK_LINK_UP);
    }

    // Bytes still queued in the driver a whole reply time-out after they
    // were written never went out: the line holds them, the head may be
    // fine. They are dropped, or the head would get every repeated frame in
    // a burst once the line opens. Returns why, or nothing.
    std::optional<std::string> dropHeldOutput() const
    {
        int queued = 0;
        termios attributes{};
        if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0 || tcgetattr(fd_, &attributes) != 0)
            return std::nullopt;
        tcflush(fd_, TCOFLUSH);
        if ((attributes.c_cflag & CRTSCTS) != 0)
            return "output held by hardware flow control (" + std::to_string(queued) +
                   " bytes never sent): check the cable's RTS/CTS or switch flow control off";
        return "output held by the driver (" + std::to_string(queued) + " bytes never sent)";
    }

    void noteUnanswered(const Frame &sent)
    {
        const std::optional<std::string> held = dropHeldOutput();
        if (session_.link() != AIMLINK_LINK_SILENT) {
            const std::string reason =
                held.value_or("no reply from the head within " + std::to_string(replyTimeout_.count()) + " ms");
            if (held)
                session_.keepError(device_ + ": " + reason);
            session_.report(AIMLINK_LEVEL_WARNING, "aimlink: " + device_ + ": " + reason);
            session_.setLink(AIMLINK_LINK_SILENT);
        }
        // A lost move or home would leave the caller waiting for ever; a
        // repeated initialise would restart the head's own initialisation.
        if (sent.command() == kMoveCommand || sent.command() == kHomeCommand)
            restoreSlot(sent);
    }

    void noteFailed()
    {
        session_.keepError(device_ + ": " + failure_);
        session_.report(AIMLINK_LEVEL_ERROR, "aimlink: " + device_ + ": link failed: " + failure_);
        session_.setLink(AIMLINK_LINK_FAILED);
    }

    // One exchange, and what comes after it.
    Next exchange()
    {
        Frame sent;
        Outcome outcome = sendNext(sent);
        const auto writtenAt = Clock::now();
        // A position request is answered with a report, a command with an acknowledgement.
        const bool poll = sent.command() == kPollCommand;
        const size_t expected = poll ? kDataReplyLength : kAckReplyLength;
        if (outcome == Outcome::Done)
            outcome = readReply(expected, writtenAt, latency_[poll], chooseWake(sent, expected, latency_[poll]));
        switch (outcome) {
        case Outcome::Done:
        case Outcome::DoneAfterPause:
            noteAnswered();
            handleReply();
            return outcome == Outcome::DoneAfterPause ? Next::Exchange : Next::Pause;
        case Outcome::TimedOut:
            noteUnanswered(sent);
            return Next::Pause;
        case Outcome::Failed:
            noteFailed();
            return Next::Stop;
        case Outcome::Stopped:
            return Next::Stop;
        }
        return Next::Stop;
    }

    Session &session_;
    const int fd_;
    const int stop_;
    const milliseconds replyTimeout_;
    const microseconds byteTime_;
    const std::string device_;
    Frame lastCommand_;
    ReplyAssembler assembler_;
    // A frame's own length is in the time to its reply: reports and
    // acknowledgements are timed apart.
    std::array<Latency, 2> latency_;
    std::optional<Counts> lastPosition_;
    bool headStill_ = false;
    bool punctual_ = false;
    std::string failure_;
};

std::string deviceFromEnvironment()
{
    const char *fromEnvironment = std::getenv("AIMLINK_DEVICE"); // NOLINT(concurrency-mt-unsafe): read, not set
    return fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : AIMLINK_DEFAULT_DEVICE;
}

Session::Session(SessionStorage storage, int notifyFd) : storage_(storage), notifyFd_(notifyFd) {}

Session::~Session() { close(); }

void Session::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    slotLength(storage_).store(0, std::memory_order_release);
    std::fill_n(storage_.slotBytes, kMaxFrame, 0);
    storeCount(storage_.reportedPan, 0);
    storeCount(storage_.reportedTilt, 0);
    link_ = AIMLINK_LINK_CLOSED;
    slotGeneration_ = 0;
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
    const int error = pthread_create(&thread_, nullptr, watchPTZ, this);
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
        slotLength(storage_).store(0, std::memory_order_release);
    }
    setLink(AIMLINK_LINK_CLOSED);
}

void Session::fillSlot(Bytes frame, std::optional<Counts> newTarget)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::copy(frame.begin(), frame.end(), storage_.slotBytes);
        ++slotGeneration_;
        if (newTarget)
            target_ = newTarget;
        slotLength(storage_).store(static_cast<int32_t>(frame.size()), std::memory_order_release);
    }
    changed();
}

void Session::queueMove(Counts target)
{
    std::array<uint8_t, kMaxFrame> frame{};
    fillSlot(Bytes(frame.data(), buildMoveFrame(frame, target.pan, target.tilt)), target);
}

void Session::queueHome()
{
    std::array<uint8_t, kMaxFrame> frame{};
    fillSlot(Bytes(frame.data(), buildHomeFrame(frame)), Counts{0, 0});
}

void Session::queueInitialise()
{
    std::array<uint8_t, kMaxFrame> frame{};
    fillSlot(Bytes(frame.data(), buildInitFrame(frame)), std::nullopt);
}

bool Session::holds(Condition condition) const
{
    const bool empty = slotLength(storage_).load(std::memory_order_acquire) == 0;
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
    const auto deadline = Clock::now() + milliseconds(std::max(timeoutMs, 0));
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

bool Session::slotEmpty() const { return slotLength(storage_).load(std::memory_order_acquire) == 0; }

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
    Watcher watcher(*this);
    watcher.run();
}

} // namespace aimlink

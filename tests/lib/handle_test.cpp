// SPDX-License-Identifier: MIT
// The handle interface: several heads at once, errors as status codes,
// messages through the handler only, and arrival only on a fresh report.
#include "aimlink.h"
#include "serial.h"
#include "support/process.h"
#include "support/pty_peer.h"
#include "support/stderr_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

struct Messages {
    std::mutex mutex;
    std::vector<std::string> lines;

    static void collect(void *user, int, const char *message)
    {
        auto *self = static_cast<Messages *>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->lines.emplace_back(message);
    }
    size_t count(const std::string &part)
    {
        std::lock_guard<std::mutex> lock(mutex);
        size_t found = 0;
        for (const auto &line : lines)
            found += line.find(part) != std::string::npos ? 1u : 0u;
        return found;
    }
};

// A handle that is freed however the test ends.
struct Head {
    explicit Head(const std::string &device) : handle(aimlink_new(device.c_str())) {}
    ~Head() { aimlink_free(handle); }
    Head(const Head &) = delete;
    Head &operator=(const Head &) = delete;
    aimlink_head *handle;
};

termios attributesOf(const std::string &path)
{
    const int probe = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios attributes{};
    tcgetattr(probe, &attributes);
    close(probe);
    return attributes;
}

bool readable(int descriptor, int timeoutMs)
{
    pollfd event{descriptor, POLLIN, 0};
    return poll(&event, 1, timeoutMs) == 1;
}

// Opens a handle on a scripted head and answers its initialise frame.
void openAnswered(aimlink_head *handle, PtyPeer &line)
{
    ASSERT_EQ(aimlink_open(handle), AIMLINK_OK);
    ASSERT_EQ(line.readFrame(), initFrame());
    line.send(ackReply());
    ASSERT_EQ(aimlink_wait_link(handle, 1000), AIMLINK_OK);
}

} // namespace

TEST(Handle, TwoHeadsMoveAtOnceEachWithItsOwnWatcher)
{
    Simulator first({"--speed", "3000"});
    Simulator second({"--speed", "3000"});
    const std::vector<std::pair<std::string, aimlink_angles>> jobs = {{first.device(), {500, 1801}},
                                                                      {second.device(), {-700, 2601}}};
    std::vector<aimlink_angles> reached(jobs.size(), {0, 0});
    std::vector<int> results(jobs.size(), -100);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < jobs.size(); ++i) {
        threads.emplace_back([&, i] {
            Head head(jobs[i].first);
            int status = aimlink_open(head.handle);
            if (status == AIMLINK_OK)
                status = aimlink_wait_link(head.handle, 3000);
            if (status == AIMLINK_OK)
                status = aimlink_move(head.handle, jobs[i].second.pan, jobs[i].second.tilt);
            if (status == AIMLINK_OK)
                status = aimlink_wait_arrived(head.handle, 10000);
            if (status == AIMLINK_OK)
                status = aimlink_position(head.handle, &reached[i]);
            results[i] = status;
        });
    }
    for (auto &thread : threads)
        thread.join();
    for (size_t i = 0; i < jobs.size(); ++i) {
        EXPECT_EQ(results[i], AIMLINK_OK) << aimlink_strerror(results[i]);
        EXPECT_EQ(reached[i].pan, jobs[i].second.pan);
        EXPECT_EQ(reached[i].tilt, jobs[i].second.tilt);
    }
}

namespace {
std::atomic<pid_t> signalTakenBy{0};
void noteTakingThread(int) { signalTakenBy.store(gettid()); }
} // namespace

// A signal sent to the process while the caller blocks it stays pending
// for the caller: the watcher never takes it, so an interpreter's Ctrl-C
// reaches the thread that acts on it, and the caller's own mask is as it was.
TEST(Handle, TheWatcherNeverTakesASignalSentToTheProcess)
{
    struct sigaction noting {
    }, previous{};
    noting.sa_handler = noteTakingThread;
    sigemptyset(&noting.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &noting, &previous), 0);
    sigset_t before;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    PtyPeer line;
    Head head(line.path());
    openAnswered(head.handle, line);
    sigset_t after;
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    EXPECT_EQ(sigismember(&after, SIGUSR1), sigismember(&before, SIGUSR1)) << "the caller's mask is its own";

    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    signalTakenBy.store(0);
    ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
    // The watcher exchanges frames meanwhile: two polls, each a wake.
    for (int poll = 0; poll < 2; ++poll) {
        const auto frame = line.readFrame();
        ASSERT_EQ(frame, pollFrame());
        line.send(positionReply("8000", "8000"));
    }
    EXPECT_EQ(signalTakenBy.load(), 0) << "taken by the watcher while the caller blocked it";
    pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
    EXPECT_EQ(signalTakenBy.load(), gettid()) << "the caller takes it once it unblocks it";
    sigaction(SIGUSR1, &previous, nullptr);
}

TEST(Angles, CompareByBothAxes)
{
    const aimlink_angles view{120, 1571};
    EXPECT_TRUE(view == (aimlink_angles{120, 1571}));
    EXPECT_FALSE(view == (aimlink_angles{120, 1570})) << "the tilt counts";
    EXPECT_FALSE(view == (aimlink_angles{121, 1571})) << "the pan counts";
    EXPECT_TRUE(view != (aimlink_angles{0, 1571}));
}

TEST(Handle, APortThatCannotBeOpenedIsAnErrorAndCanBeOpenedLater)
{
    StderrCapture errors;
    const std::string link = "/tmp/aimlink-handle-test-" + std::to_string(getpid());
    Head head(link);
    Messages messages;
    aimlink_set_handler(head.handle, Messages::collect, &messages);
    EXPECT_EQ(aimlink_open(head.handle), AIMLINK_ERR_PORT);
    EXPECT_EQ(aimlink_last_errno(head.handle), ENOENT);
    EXPECT_EQ(std::string(aimlink_last_error(head.handle)), link + ": No such file or directory");
    EXPECT_EQ(messages.count("No such file or directory"), 1u);
    EXPECT_EQ(aimlink_link(head.handle), AIMLINK_LINK_CLOSED);
    EXPECT_EQ(aimlink_wait_link(head.handle, 0), AIMLINK_ERR_CLOSED);

    Simulator simulator({"--link", link});
    ASSERT_EQ(aimlink_open(head.handle), AIMLINK_OK) << aimlink_last_error(head.handle);
    EXPECT_EQ(aimlink_open(head.handle), AIMLINK_ERR_OPEN);
    EXPECT_EQ(aimlink_wait_link(head.handle, 3000), AIMLINK_OK);
    EXPECT_EQ(std::string(aimlink_last_error(head.handle)), "") << "a new open starts with no failure";
    EXPECT_EQ(aimlink_close(head.handle), AIMLINK_OK);
    EXPECT_EQ(errors.text(), "") << "nothing is printed without a handler that prints";
}

TEST(Handle, MessagesGoToTheHandlerAndNeverToStandardError)
{
    StderrCapture errors;
    PtyPeer line;
    Head head(line.path());
    Messages messages;
    aimlink_set_handler(head.handle, Messages::collect, &messages);
    openAnswered(head.handle, line);
    ASSERT_EQ(line.readFrame(), pollFrame());
    line.send(rejectReply());
    ASSERT_EQ(line.readFrame(), initFrame()) << "the last command goes out again";
    line.send(ackReply());
    ASSERT_EQ(line.readFrame(), pollFrame());
    line.hangUp();
    EXPECT_EQ(aimlink_wait_arrived(head.handle, 2000), AIMLINK_ERR_LINK);
    EXPECT_EQ(aimlink_wait_written(head.handle, 0), AIMLINK_ERR_LINK);
    EXPECT_EQ(std::string(aimlink_last_error(head.handle)),
              line.path() + ": hang-up on the line (device unplugged or closed)");
    EXPECT_EQ(messages.count("PTZ error:  resending command."), 1u);
    EXPECT_EQ(messages.count("hexPrint:   FE 30 30 31 30 EF"), 1u);
    EXPECT_EQ(messages.count("link failed: hang-up"), 1u);
    EXPECT_EQ(errors.text(), "");
}

TEST(Handle, ArrivalNeedsAReportReceivedAfterTheMoveWasWritten)
{
    PtyPeer line;
    Head head(line.path());
    openAnswered(head.handle, line);
    aimlink_angles at{};
    EXPECT_EQ(aimlink_position(head.handle, &at), AIMLINK_ERR_NO_REPORT);

    // The head sits at pan 0 tilt 1571, which is the target, but says so
    // only in a report that comes after the move.
    ASSERT_EQ(aimlink_move(head.handle, 0, 1571), AIMLINK_OK);
    EXPECT_EQ(aimlink_wait_arrived(head.handle, 0), AIMLINK_ERR_TIMEOUT) << "queued, not written";
    ASSERT_EQ(line.readFrame(), moveFrame("8000", "8000"));
    line.send(ackReply());
    ASSERT_EQ(line.readFrame(), pollFrame());
    line.send(ackReply()); // a head that acknowledges and never reports
    ASSERT_EQ(line.readFrame(), pollFrame());
    EXPECT_EQ(aimlink_wait_arrived(head.handle, 50), AIMLINK_ERR_TIMEOUT);
    line.send(positionReply("8000", "8000"));
    EXPECT_EQ(aimlink_wait_arrived(head.handle, 1000), AIMLINK_OK) << "ends on the next report";
    ASSERT_EQ(aimlink_position(head.handle, &at), AIMLINK_OK);
    EXPECT_EQ(at.pan, 0);
    EXPECT_EQ(at.tilt, 1571);

    // A second move to where the head already is waits for its own report,
    // and that report, the same as the last, ends the wait at once.
    ASSERT_EQ(aimlink_move(head.handle, 0, 1571), AIMLINK_OK);
    EXPECT_EQ(aimlink_wait_arrived(head.handle, 0), AIMLINK_ERR_TIMEOUT);
    aimlink_angles target{};
    ASSERT_EQ(aimlink_target(head.handle, &target), AIMLINK_OK);
    EXPECT_EQ(target.tilt, 1571);
    ASSERT_EQ(line.readFrame(), moveFrame("8000", "8000"));
    EXPECT_EQ(aimlink_wait_arrived(head.handle, 50), AIMLINK_ERR_TIMEOUT) << "written, not yet reported";
    line.send(ackReply());
    ASSERT_EQ(line.readFrame(), pollFrame());
    std::thread reporter([&line] {
        std::this_thread::sleep_for(100ms);
        line.send(positionReply("8000", "8000"));
    });
    const auto waiting = std::chrono::steady_clock::now();
    EXPECT_EQ(aimlink_wait_arrived(head.handle, 5000), AIMLINK_OK);
    // Not only when the next request goes unanswered, a second later.
    EXPECT_LT(std::chrono::steady_clock::now() - waiting, 600ms);
    reporter.join();
}

TEST(Handle, ArrivalNeedsBothAxesAtTheTarget)
{
    PtyPeer line;
    Head head(line.path());
    openAnswered(head.handle, line);
    ASSERT_EQ(aimlink_move(head.handle, -1000, 2571), AIMLINK_OK); // counts 500, 500
    ASSERT_EQ(line.readFrame(), moveFrame("81F4", "81F4"));
    line.send(ackReply());
    // First the pan is there with the tilt still short, then the other way round.
    const std::vector<std::pair<const char *, const char *>> reports = {{"81F4", "8100"}, {"8100", "81F4"}};
    const std::vector<aimlink_angles> shown = {{-1000, 2083}, {-512, 2571}};
    for (size_t i = 0; i < reports.size(); ++i) {
        ASSERT_EQ(line.readFrame(), pollFrame());
        line.send(positionReply(reports[i].first, reports[i].second));
        EXPECT_EQ(aimlink_wait_arrived(head.handle, 100), AIMLINK_ERR_TIMEOUT) << i;
        aimlink_angles at{};
        ASSERT_EQ(aimlink_position(head.handle, &at), AIMLINK_OK);
        EXPECT_EQ(at.pan, shown[i].pan) << "the report was taken";
        EXPECT_EQ(at.tilt, shown[i].tilt);
    }
    ASSERT_EQ(line.readFrame(), pollFrame());
    line.send(positionReply("81F4", "81F4"));
    EXPECT_EQ(aimlink_wait_arrived(head.handle, 1000), AIMLINK_OK);
}

// The lines a handler got at the debug level.
struct Trace {
    std::mutex mutex;
    std::vector<std::string> lines;
    static void collect(void *user, int level, const char *message)
    {
        auto *self = static_cast<Trace *>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        if (level == AIMLINK_LEVEL_DEBUG)
            self->lines.emplace_back(message);
    }
    std::vector<std::string> taken()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
};

TEST(Handle, TheTraceShowsEveryFrameAndReplyOnlyWhenAskedFor)
{
    PtyPeer line;
    Head head(line.path());
    Trace trace;
    aimlink_set_handler(head.handle, Trace::collect, &trace);
    openAnswered(head.handle, line);
    ASSERT_EQ(line.readFrame(), pollFrame());
    line.send(positionReply("81F4", "7F00"));
    ASSERT_EQ(line.readFrame(), pollFrame());
    EXPECT_TRUE(trace.taken().empty()) << "off by default";

    ASSERT_EQ(aimlink_set_trace(head.handle, 1), AIMLINK_OK);
    line.send(positionReply("81F4", "7F00"));
    ASSERT_EQ(line.readFrame(), pollFrame());
    ASSERT_EQ(aimlink_move(head.handle, 0, 1571), AIMLINK_OK);
    line.send(positionReply("81F4", "7F00"));
    ASSERT_EQ(line.readFrame(), moveFrame("8000", "8000"));
    line.send(rejectReply());
    ASSERT_EQ(line.readFrame(), moveFrame("8000", "8000"));
    ASSERT_EQ(aimlink_set_trace(head.handle, 0), AIMLINK_OK);
    line.send(ackReply());
    ASSERT_EQ(line.readFrame(), pollFrame());
    const std::string device = "aimlink: " + line.path() + ": ";
    const std::vector<std::string> expected = {
        device + "read FE 30 30 30 30 38 31 46 34 37 46 30 30 EF (report pan 500 tilt -256)",
        device + "wrote FF 30 30 00 63 EF (position request)",
        device + "read FE 30 30 30 30 38 31 46 34 37 46 30 30 EF (report pan 500 tilt -256)",
        device + "wrote FF 30 30 00 62 38 30 30 30 38 30 30 30 EF (move)",
    };
    auto lines = trace.taken();
    // The trace went on while the watcher may still have been between its
    // write of the request in flight and the line that reports it.
    if (!lines.empty() && lines.front() == device + "wrote FF 30 30 00 63 EF (position request)")
        lines.erase(lines.begin());
    ASSERT_GE(lines.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4), expected);
    EXPECT_NE(lines[4].find("(rejection)"), std::string::npos) << lines[4];
    EXPECT_EQ(aimlink_set_trace(nullptr, 1), AIMLINK_ERR_ARGUMENT);
}

TEST(Handle, NoTargetBeforeTheFirstMoveOrHomeIsAStatusOfItsOwn)
{
    PtyPeer line;
    Head head(line.path());
    openAnswered(head.handle, line);
    aimlink_angles target{};
    EXPECT_EQ(aimlink_target(head.handle, &target), AIMLINK_ERR_NO_TARGET);
    EXPECT_STRNE(aimlink_strerror(AIMLINK_ERR_NO_TARGET), aimlink_strerror(AIMLINK_ERR_NO_REPORT));
    EXPECT_STRNE(aimlink_strerror(AIMLINK_ERR_NO_TARGET), "unknown status");
    ASSERT_EQ(aimlink_home(head.handle), AIMLINK_OK);
    ASSERT_EQ(aimlink_target(head.handle, &target), AIMLINK_OK);
    EXPECT_EQ(target.pan, AIMLINK_HOME_PAN);
    EXPECT_EQ(target.tilt, AIMLINK_HOME_TILT);
}

TEST(Handle, TheLastCommandQueuedWinsAndTheEventDescriptorWakesOnChange)
{
    PtyPeer line;
    Head head(line.path());
    const int events = aimlink_event_fd(head.handle);
    ASSERT_GE(events, 3);
    openAnswered(head.handle, line);
    ASSERT_EQ(line.readFrame(), pollFrame());
    uint64_t count = 0;
    while (read(events, &count, sizeof count) > 0) {
    }
    ASSERT_EQ(aimlink_move(head.handle, 1000, 1571), AIMLINK_OK);
    ASSERT_EQ(aimlink_move(head.handle, -1000, 1571), AIMLINK_OK);
    EXPECT_TRUE(readable(events, 0)) << "a new target is a change";
    line.send(positionReply("8000", "8000"));
    EXPECT_EQ(line.readFrame(), moveFrame("81F4", "8000")) << "only the last request goes out";
    line.send(ackReply());
    EXPECT_EQ(line.readFrame(), pollFrame());
}

TEST(Handle, ClosingRestoresTheSettingsTheDeviceHad)
{
    PtyPeer line;
    termios before{};
    {
        const int setup = open(line.path().c_str(), O_RDWR | O_NOCTTY);
        tcgetattr(setup, &before);
        before.c_cflag |= CRTSCTS;
        before.c_lflag |= ECHO | ICANON;
        cfsetspeed(&before, B38400);
        tcsetattr(setup, TCSANOW, &before);
        close(setup);
    }
    Head head(line.path());
    ASSERT_EQ(aimlink_set_flow_control(head.handle, AIMLINK_FLOW_OFF), AIMLINK_OK);
    ASSERT_EQ(aimlink_set_initialise(head.handle, 0), AIMLINK_OK);
    ASSERT_EQ(aimlink_open(head.handle), AIMLINK_OK);
    const termios during = attributesOf(line.path());
    EXPECT_EQ(during.c_cflag & CRTSCTS, 0u) << "flow control switched off on request";
    EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B9600));
    EXPECT_EQ(line.readFrame(), pollFrame()) << "no initialise frame when asked for none";
    aimlink_close(head.handle);
    const termios after = attributesOf(line.path());
    EXPECT_EQ(after.c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS));
    EXPECT_EQ(after.c_lflag & (ECHO | ICANON), static_cast<tcflag_t>(ECHO | ICANON));
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B38400));
}

TEST(Handle, BadArgumentsAreRefusedBeforeAnythingReachesThePort)
{
    EXPECT_EQ(aimlink_open(nullptr), AIMLINK_ERR_ARGUMENT);
    EXPECT_EQ(aimlink_move(nullptr, 0, 0), AIMLINK_ERR_ARGUMENT);
    EXPECT_EQ(aimlink_wait_arrived(nullptr, 0), AIMLINK_ERR_ARGUMENT);
    PtyPeer line;
    Head head(line.path());
    EXPECT_EQ(aimlink_set_baud(head.handle, 12345), AIMLINK_ERR_ARGUMENT);
    EXPECT_EQ(aimlink_set_reply_timeout(head.handle, 9), AIMLINK_ERR_ARGUMENT);
    EXPECT_EQ(aimlink_set_reply_timeout(head.handle, 60001), AIMLINK_ERR_ARGUMENT);
    EXPECT_EQ(aimlink_set_reply_timeout(head.handle, 60000), AIMLINK_OK);
    EXPECT_EQ(aimlink_set_reply_timeout(head.handle, 10), AIMLINK_OK);
    EXPECT_EQ(aimlink_set_flow_control(head.handle, 7), AIMLINK_ERR_ARGUMENT);
    openAnswered(head.handle, line);
    EXPECT_EQ(aimlink_move(head.handle, 40000, 1571), AIMLINK_ERR_ARGUMENT);
    EXPECT_EQ(aimlink_move(head.handle, 0, -40000), AIMLINK_ERR_ARGUMENT);
    EXPECT_EQ(line.readFrame(), pollFrame()) << "no move went out";
}

TEST(Handle, WhereARequestStops)
{
    aimlink_angles stop{};
    EXPECT_EQ(aimlink_reachable(1000, 1571, &stop), 1);
    EXPECT_EQ(stop.pan, 1000);
    EXPECT_EQ(stop.tilt, 1571);
    EXPECT_EQ(aimlink_reachable(2000, 1571, &stop), 0);
    EXPECT_EQ(stop.pan, 1780);
    EXPECT_EQ(aimlink_reachable(0, 0, &stop), 0);
    EXPECT_EQ(stop.tilt, 1037);
    // 5000 is -1282 a full turn later: within the travel.
    EXPECT_EQ(aimlink_reachable(5000, 1571, &stop), 1);
    EXPECT_EQ(stop.pan, -1282);
    EXPECT_EQ(aimlink_reachable(32768, 0, nullptr), AIMLINK_ERR_ARGUMENT);
    EXPECT_EQ(aimlink_reachable(-32768, 0, nullptr), 0) << "the lowest 16-bit angle is an angle";
}

TEST(Handle, ThePortNeverTakesTheStandardDescriptors)
{
    PtyPeer line;
    for (const int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        const int saved = dup(standard);
        close(standard);
        const int port = openRaw(line.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        dup2(saved, standard);
        close(saved);
        EXPECT_GT(port, STDERR_FILENO) << "with descriptor " << standard << " closed";
        EXPECT_TRUE(fcntl(port, F_GETFD) & FD_CLOEXEC);
        close(port);
    }
}

TEST(Handle, AFrameQueuedWhileThePreviousIsBeingWrittenIsKept)
{
    PtyPeer line;
    Head head(line.path());
    openAnswered(head.handle, line);
    ASSERT_EQ(line.readFrame(), pollFrame());
    line.holdOutput(true);
    ASSERT_EQ(aimlink_move(head.handle, 1000, 1571), AIMLINK_OK);
    line.send(positionReply("8000", "8000"));
    // The watcher has taken the move and waits for the line to take it.
    std::this_thread::sleep_for(400ms);
    ASSERT_EQ(aimlink_move(head.handle, -1000, 1571), AIMLINK_OK);
    line.holdOutput(false);
    EXPECT_EQ(line.readFrame(), moveFrame("7E0C", "8000"));
    line.send(ackReply());
    EXPECT_EQ(line.readFrame(), moveFrame("81F4", "8000")) << "the second move is not lost";
    EXPECT_EQ(aimlink_link(head.handle), AIMLINK_LINK_UP) << "a held line is no failure";
}

// At 1200 baud a byte takes 10 bits / 1200 = 8.33 ms, and a position report
// of 14 bytes 116.7 ms. The watcher sleeps from writing a position request
// until the report's last byte is due, 13 byte times (108.3 ms) after its
// first, so that one wake-up takes it; then it pauses 100 ms before its next
// frame. A report that is not whole by then is taken the moment its rest
// comes. The event descriptor tells when the report was taken. The head here
// sends the start byte of each reply at once and the rest soon after, as a
// line would; the watcher learns its latency from the start byte. A busy
// machine mostly lengthens a span, and seldom most of them: the median of
// several exchanges is judged against the worked value.
TEST(HandleTiming, ASilentHeadIsNoticedAfterTheReplyTimeOutThatWasSet)
{
    PtyPeer line;
    Head head(line.path());
    Messages messages;
    aimlink_set_handler(head.handle, Messages::collect, &messages);
    ASSERT_EQ(aimlink_set_reply_timeout(head.handle, 150), AIMLINK_OK);
    openAnswered(head.handle, line);
    ASSERT_EQ(line.readFrame(), pollFrame());
    const auto written = std::chrono::steady_clock::now();
    // No reply: the link must turn silent after 150 ms, well before the
    // default second.
    int state = AIMLINK_LINK_UP;
    for (int tries = 0; tries < 200 && state != AIMLINK_LINK_SILENT; ++tries) {
        std::this_thread::sleep_for(5ms);
        state = aimlink_link(head.handle);
    }
    const auto noticed = std::chrono::steady_clock::now() - written;
    EXPECT_EQ(state, AIMLINK_LINK_SILENT);
    EXPECT_GE(noticed, 140ms);
    EXPECT_LT(noticed, 600ms);
    EXPECT_EQ(messages.count("no reply from the head within 150 ms"), 1u);
}

TEST(HandleTiming, SleepsUntilTheReplyIsDueTakesALateRestAtOnceThenPauses)
{
    using Milliseconds = std::chrono::duration<double, std::milli>;
    using Clock = std::chrono::steady_clock;
    PtyPeer line;
    Head head(line.path());
    ASSERT_EQ(aimlink_set_baud(head.handle, 1200), AIMLINK_OK);
    auto answer = [&line](const ByteVector &reply, std::chrono::milliseconds gap = 20ms) {
        line.send({reply.front()});
        std::this_thread::sleep_for(gap);
        line.send(ByteVector(reply.begin() + 1, reply.end()));
    };
    ASSERT_EQ(aimlink_open(head.handle), AIMLINK_OK);
    ASSERT_EQ(line.readFrame(), initFrame());
    answer(ackReply());
    ASSERT_EQ(aimlink_wait_link(head.handle, 1000), AIMLINK_OK);
    const int events = aimlink_event_fd(head.handle);
    // The first nine reports come whole within the time; the next five lack
    // all but the start byte until 150 ms.
    std::vector<double> sleeps;
    std::vector<double> lateRests;
    std::vector<double> pauses;
    ASSERT_EQ(line.readFrame(), pollFrame());
    auto requested = Clock::now();
    for (int i = 0; i < 14; ++i) {
        uint64_t count = 0;
        while (read(events, &count, sizeof count) > 0) {
        }
        // Each report differs from the last, so that each is news.
        answer(positionReply(i % 2 == 0 ? "8001" : "8002", "8000"), i < 9 ? 20ms : 150ms);
        ASSERT_TRUE(readable(events, 2000));
        const auto taken = Clock::now();
        (i < 9 ? sleeps : lateRests).push_back(Milliseconds(taken - requested).count());
        ASSERT_EQ(line.readFrame(), pollFrame());
        requested = Clock::now();
        pauses.push_back(Milliseconds(requested - taken).count());
    }
    auto median = [](std::vector<double> spans) {
        std::nth_element(spans.begin(), spans.begin() + static_cast<long>(spans.size() / 2), spans.end());
        return spans[spans.size() / 2];
    };
    auto least = [](const std::vector<double> &spans) { return *std::min_element(spans.begin(), spans.end()); };
    EXPECT_GT(median(sleeps), 100.0) << "waking when the bytes came would be about 20 ms";
    EXPECT_LT(median(sleeps), 113.5) << "one byte longer would be 116.7 ms";
    // The first report is the one timed from its start byte; the rest of it
    // is slept for too.
    EXPECT_GT(sleeps.front(), 100.0) << "waking when the rest came would be about 20 ms";
    EXPECT_GT(median(lateRests), 145.0);
    EXPECT_LT(least(lateRests), 160.0) << "sleeping again for the 13 missing bytes would be 216.7 ms";
    EXPECT_GT(median(pauses), 90.0);
    EXPECT_LT(median(pauses), 140.0);
}

// While the head travels, a report may tell of its arrival: the watcher then
// wakes a byte time (8.33 ms at 1200 baud) before the report is due and
// takes it the moment it is whole. Here each report comes whole 101.5 ms
// after its request, 7 ms before the 108.3 ms an idle watcher would sleep.
TEST(HandleTiming, WhileTheHeadTravelsAReportIsTakenTheMomentItComes)
{
    using Milliseconds = std::chrono::duration<double, std::milli>;
    using Clock = std::chrono::steady_clock;
    PtyPeer line;
    Head head(line.path());
    ASSERT_EQ(aimlink_set_baud(head.handle, 1200), AIMLINK_OK);
    openAnswered(head.handle, line);
    ASSERT_EQ(aimlink_move(head.handle, 1000, 1571), AIMLINK_OK);
    ASSERT_EQ(line.readFrame(), moveFrame("7E0C", "8000"));
    line.send(ackReply());
    const int events = aimlink_event_fd(head.handle);
    // The first report is timed from its start byte, which comes at once.
    ASSERT_EQ(line.readFrame(), pollFrame());
    const ByteVector first = positionReply("8002", "8000");
    line.send({first.front()});
    std::this_thread::sleep_for(20ms);
    line.send(ByteVector(first.begin() + 1, first.end()));
    std::vector<double> taken;
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(line.readFrame(), pollFrame());
        const auto requested = Clock::now();
        uint64_t count = 0;
        while (read(events, &count, sizeof count) > 0) {
        }
        std::this_thread::sleep_until(requested + 101500us);
        // Short of the target, so that the head is still on its way.
        line.send(positionReply(i % 2 == 0 ? "8001" : "8002", "8000"));
        ASSERT_TRUE(readable(events, 2000));
        taken.push_back(Milliseconds(Clock::now() - requested).count());
    }
    std::nth_element(taken.begin(), taken.begin() + 4, taken.end());
    EXPECT_LT(taken[4], 105.0) << "a wake when the report is due would take it at 108.3 ms";
}

namespace {

std::vector<std::string> threadIds()
{
    std::vector<std::string> ids;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task"))
        ids.push_back(task.path().filename());
    std::sort(ids.begin(), ids.end());
    return ids;
}

// Sleeps of the threads so far: each is a wake-up.
long sleepsOf(const std::vector<std::string> &ids)
{
    long total = 0;
    for (const auto &id : ids) {
        std::ifstream status("/proc/self/task/" + id + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

} // namespace

// While the head stands still and nothing is asked of it, the watcher sleeps
// through a reply and the pause after it in one: about one wake-up an
// exchange, not two (one when the reply is due, one when the pause is over).
TEST(HandleTiming, AStillHeadCostsTheWatcherOneWakeAnExchange)
{
    Simulator simulator({"--trace"});
    Head head(simulator.device());
    // A sanitizer starts a thread of its own along with the first other one.
    std::thread([] {}).join();
    const std::vector<std::string> before = threadIds();
    ASSERT_EQ(aimlink_open(head.handle), AIMLINK_OK);
    ASSERT_EQ(aimlink_wait_link(head.handle, 3000), AIMLINK_OK);
    // The watcher is the thread the open started.
    std::vector<std::string> watcher;
    const std::vector<std::string> after = threadIds();
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(watcher));
    ASSERT_EQ(watcher.size(), 1u);
    std::this_thread::sleep_for(1s); // home, and the line's latency learnt
    const long sleepsBefore = sleepsOf(watcher);
    const int framesBefore = occurrences(simulator.errors(), " -> ");
    std::this_thread::sleep_for(3s);
    const long sleeps = sleepsOf(watcher) - sleepsBefore;
    const int frames = occurrences(simulator.errors(), " -> ") - framesBefore;
    ASSERT_GT(frames, 15);
    EXPECT_LT(static_cast<double>(sleeps) / frames, 1.4) << sleeps << " wake-ups for " << frames << " exchanges";
}

// Resting through reply and pause in one must not cut the pause short: the
// head still gets 100 ms of quiet after each reply. When its replies start
// to come in two pieces, the second 60 ms after the first, the watcher sees
// it at its next measured exchange (one in 16) and from then on waits for
// each reply again; resting on, it would send its next frame about 53 ms
// after a reply.
TEST(HandleTiming, ThePauseAfterAReplyHoldsWhileTheHeadStandsStill)
{
    using Milliseconds = std::chrono::duration<double, std::milli>;
    using Clock = std::chrono::steady_clock;
    PtyPeer line;
    Head head(line.path());
    openAnswered(head.handle, line);
    const ByteVector report = positionReply("8000", "8000");
    ASSERT_EQ(line.readFrame(), pollFrame());
    line.send(report);
    auto replied = Clock::now();
    // The quiet before each of the next frames, answered whole or in pieces.
    auto pauses = [&](int exchanges, std::chrono::milliseconds split) {
        std::vector<double> spans;
        for (int i = 0; i < exchanges; ++i) {
            EXPECT_EQ(line.readFrame(), pollFrame());
            spans.push_back(Milliseconds(Clock::now() - replied).count());
            if (split > 0ms) {
                line.send({report.front()});
                std::this_thread::sleep_for(split);
                line.send(ByteVector(report.begin() + 1, report.end()));
            } else {
                line.send(report);
            }
            replied = Clock::now();
        }
        return spans;
    };
    // A reply this test is slow to send, beside the quick ones the watcher
    // measured, shortens the quiet before the next frame by as much.
    std::vector<double> whole = pauses(8, 0ms);
    std::nth_element(whole.begin(), whole.begin() + 4, whole.end());
    EXPECT_GT(whole[4], 95.0);
    const std::vector<double> inPieces = pauses(24, 60ms);
    EXPECT_GT(*std::min_element(inPieces.end() - 6, inPieces.end()), 95.0);
}

// The pause after a reply is a sleep on the stop event too: a close during
// it ends the watcher there, and no frame goes out after the close. A close
// this test was too slow to make within the pause proves nothing and is
// tried again.
TEST(Handle, ACloseDuringThePauseAfterAReplySendsNothingMore)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        PtyPeer line;
        Head head(line.path());
        openAnswered(head.handle, line);
        ASSERT_EQ(line.readFrame(), pollFrame());
        line.send(positionReply("8000", "8000"));
        const auto replied = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(20ms); // the report taken, the pause begun
        const bool inThePause = std::chrono::steady_clock::now() - replied < 80ms;
        ASSERT_EQ(aimlink_close(head.handle), AIMLINK_OK);
        if (!inThePause)
            continue;
        EXPECT_EQ(line.countFrames(300ms), 0);
        return;
    }
    GTEST_SKIP() << "no close came within the pause in 5 tries";
}

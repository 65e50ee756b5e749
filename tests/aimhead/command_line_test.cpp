// SPDX-License-Identifier: MIT
// The command lines of aimhead, aimheadd and aimsim as a user types them:
// options anywhere, one table of verbs, and the port's settings.
#include "aimheadd_support.h"
#include "support/process.h"
#include "support/pty_peer.h"
#include "support/stderr_capture.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>

#include <termios.h>

using namespace std::chrono_literals;

namespace {

// A line with nobody on it: a run that touches it shows as frames.
struct UntouchedLine {
    PtyPeer line;
    Environment environment() const { return {{"AIMLINK_DEVICE", line.path()}}; }
};

std::set<std::string> wordsOf(const std::string &text)
{
    std::istringstream in(text);
    std::set<std::string> words;
    for (std::string word; in >> word;)
        words.insert(word);
    return words;
}

// The verbs and options aimhead --help lists.
std::set<std::string> verbsAndOptionsOfTheHelp()
{
    std::istringstream help(runAimhead({"--help"}, {}).out);
    std::set<std::string> found;
    for (std::string line; std::getline(help, line);) {
        if (line.rfind("aimhead [options] ", 0) == 0)
            found.insert(*wordsOf(line.substr(18, line.find(' ', 18) - 18)).begin());
        if (line.rfind("  -", 0) == 0)
            for (std::string word : wordsOf(line.substr(0, 26)))
                if (word.front() == '-')
                    found.insert(word.back() == ',' ? word.substr(0, word.size() - 1) : word);
    }
    return found;
}

// What the bash completion offers for the words, the last being completed.
std::string completionOffers(const std::vector<std::string> &words)
{
    std::string script = "source \"$0\"\nCOMP_WORDS=(";
    for (const std::string &word : words)
        script += "'" + word + "' ";
    script += ")\nCOMP_CWORD=" + std::to_string(words.size() - 1) + "\n_aimhead\necho \"${COMPREPLY[*]}\"\n";
    return runProcess({"/bin/bash", "-c", script, AIMHEAD_COMPLETION}, {}, 10s).out;
}

bool hardwareFlowControl(int master)
{
    termios attributes{};
    return tcgetattr(master, &attributes) == 0 && (attributes.c_cflag & CRTSCTS) != 0;
}

void setHardwareFlowControl(int master)
{
    termios attributes{};
    ASSERT_EQ(tcgetattr(master, &attributes), 0);
    attributes.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(master, TCSANOW, &attributes), 0);
}

// Answers position requests until the line goes quiet, noting at each frame
// whether RTS/CTS flow control was on.
std::vector<bool> answerNotingFlowControl(PtyPeer &line)
{
    std::vector<bool> seen;
    for (auto frame = line.readFrame(5s); frame; frame = line.readFrame(1s)) {
        seen.push_back(hardwareFlowControl(line.master()));
        line.send(*frame == pollFrame() ? positionReply("8000", "8000") : ackReply());
    }
    return seen;
}

} // namespace

TEST(AimheadOptions, StandBeforeBetweenOrAfterTheWords)
{
    Simulator head({"--start", "100,200", "--speed", "0"});
    for (const auto &arguments : std::vector<std::vector<std::string>>{{"get", "--json", "--no-initialise"},
                                                                       {"--json", "get", "--no-initialise"},
                                                                       {"--json", "--no-initialise", "get"}}) {
        const ProcessResult result = runAimhead(arguments, head.environment(), 10s);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, "{\"pan\":-200,\"tilt\":1971}\n") << arguments[0];
    }
    const ProcessResult by = runAimhead({"by", "100", "0", "--no-initialise", "--json"}, head.environment(), 10s);
    EXPECT_EQ(by.status, 0) << by.err;
    EXPECT_EQ(by.out, "{\"pan\":-100,\"tilt\":1971}\n");
    const ProcessResult device = runAimhead({"get", "-d" + head.device(), "--no-initialise"}, {}, 10s);
    EXPECT_EQ(device.out, "pan -100 tilt 1971\n") << device.err;
}

TEST(AimheadOptions, NegativeNumbersAreAnglesAndDoubleDashEndsTheOptions)
{
    Simulator head({"--start", "100,200", "--speed", "0"});
    const ProcessResult by = runAimhead({"by", "-50", "0", "--json", "--no-initialise"}, head.environment(), 10s);
    EXPECT_EQ(by.status, 0) << by.err;
    EXPECT_EQ(by.out, "{\"pan\":-250,\"tilt\":1971}\n");
    const ProcessResult legacy = runAimhead({"-500", "2001", "--json"}, head.environment(), 10s);
    EXPECT_EQ(legacy.status, 0) << legacy.err;
    EXPECT_EQ(legacy.out, "{\"pan\":-500,\"tilt\":2001}\n");
    const ProcessResult ended = runAimhead({"--no-initialise", "--", "-300", "2000"}, head.environment(), 10s);
    EXPECT_EQ(ended.status, 0) << ended.err;
    UntouchedLine untouched;
    const ProcessResult word = runAimhead({"--", "--json", "0"}, untouched.environment());
    EXPECT_EQ(word.status, 2);
    EXPECT_EQ(word.err, "aimhead: pan must be a whole number of milliradians from -32768 to 32767, got '--json'\n");
    EXPECT_EQ(untouched.line.countFrames(200ms), 0);
}

TEST(AimheadOptions, HelpAndVersionAnywhereTouchNothing)
{
    UntouchedLine untouched;
    const std::string help = runAimhead({"--help"}, {}).out;
    ASSERT_NE(help.find("--flow-control keep|off"), std::string::npos) << help;
    for (const auto &arguments : std::vector<std::vector<std::string>>{
             {"--help", "0"}, {"get", "--help"}, {"by", "100", "0", "-h"}, {"stop", "now", "--help"}}) {
        const ProcessResult result = runAimhead(arguments, untouched.environment());
        EXPECT_EQ(result.status, 0) << arguments[0];
        EXPECT_EQ(result.out, help) << arguments[0];
        EXPECT_EQ(result.err, "");
    }
    const ProcessResult version = runAimhead({"get", "--version", "--json"}, untouched.environment());
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("aimhead ", 0), 0u) << version.out;
    EXPECT_EQ(untouched.line.countFrames(200ms), 0) << "not one byte on the line";
}

TEST(AimheadOptions, UnknownOrMalformedOptionIsOneLineAndStatusTwo)
{
    UntouchedLine untouched;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"get", "--frob"}, "aimhead: unknown option '--frob' (see aimhead --help)\n"},
        {{"--frob=3", "get"}, "aimhead: unknown option '--frob' (see aimhead --help)\n"},
        {{"-x", "0", "1571"}, "aimhead: unknown option '-x' (see aimhead --help)\n"},
        {{"-hx"}, "aimhead: unknown option '-hx' (see aimhead --help)\n"},
        {{"get", "--json=yes"}, "aimhead: --json takes no value (see aimhead --help)\n"},
        {{"get", "-d"}, "aimhead: -d needs a device (see aimhead --help)\n"},
        {{"get", "--server"}, "aimhead: --server needs a socket (see aimhead --help)\n"},
        {{"get", "--baud"}, "aimhead: --baud needs a line speed (see aimhead --help)\n"},
        {{"--frob", "--help"}, "aimhead: unknown option '--frob' (see aimhead --help)\n"},
    };
    for (const auto &[arguments, message] : cases) {
        const ProcessResult result = runAimhead(arguments, untouched.environment());
        EXPECT_EQ(result.status, 2) << message;
        EXPECT_EQ(result.err, message);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(untouched.line.countFrames(200ms), 0) << "nothing opened, nothing sent";
}

TEST(AimheadVerbs, UnknownCommandIsNamedButAWordBeforeAnAngleIsAPan)
{
    UntouchedLine untouched;
    for (const auto &arguments : std::vector<std::vector<std::string>>{{"stop", "now"}, {"stop"}, {"--json", "stop"}}) {
        const ProcessResult result = runAimhead(arguments, untouched.environment());
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err, "aimhead: unknown command 'stop' (see aimhead --help)\n");
        EXPECT_EQ(result.out, "");
    }
    const ProcessResult pan = runAimhead({"abc", "1571"}, untouched.environment());
    EXPECT_EQ(pan.status, 2);
    EXPECT_EQ(pan.err, "aimhead: pan must be a whole number of milliradians from -32768 to 32767, got 'abc'\n");
    const ProcessResult extra = runAimhead({"get", "--json", "now"}, untouched.environment());
    EXPECT_EQ(extra.err, "aimhead: get takes 0 arguments, got 1 (see aimhead --help)\n");
    EXPECT_EQ(untouched.line.countFrames(200ms), 0);
}

TEST(AimheadCompletion, OffersEveryVerbAndOptionOfTheHelpAndNothingElse)
{
    const std::set<std::string> listed = verbsAndOptionsOfTheHelp();
    ASSERT_TRUE(listed.contains("jog") && listed.contains("--flow-control") && listed.contains("-h")) << listed.size();
    EXPECT_EQ(wordsOf(completionOffers({"aimhead", ""})), listed);
    EXPECT_EQ(completionOffers({"aimhead", "get", "--js"}), "--json\n") << "options after the verb too";
    EXPECT_EQ(completionOffers({"aimhead", "--flow-control", ""}), "keep off\n");
    EXPECT_EQ(completionOffers({"aimhead", "--baud", "19200", "--reply-timeout", "50", "ho"}), "home\n");
}

TEST(AimheadSettings, RefuseValuesTheLibraryRefusesBeforeTouchingTheLine)
{
    UntouchedLine untouched;
    const std::string baud = "not a supported line speed (1200 to 230400)";
    const std::string timeout = "must be a whole number of milliseconds from 10 to 60000, got ";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--baud", "1234", "get"}, "aimhead: --baud '1234': " + baud},
        {{"get", "--baud=230401"}, "aimhead: --baud '230401': " + baud},
        {{"--baud", "1199"}, "aimhead: --baud '1199': " + baud},
        {{"--baud", "9600x", "0", "1571"}, "aimhead: --baud '9600x': " + baud},
        {{"--reply-timeout", "9", "get"}, "aimhead: --reply-timeout " + timeout + "'9'"},
        {{"--reply-timeout", "60001", "get"}, "aimhead: --reply-timeout " + timeout + "'60001'"},
        {{"--reply-timeout", "-10", "get"}, "aimhead: --reply-timeout " + timeout + "'-10'"},
        {{"--flow-control", "on", "get"}, "aimhead: --flow-control takes keep (as the device has it) or off, got 'on'"},
        {{"--flow-control", "OFF", "get"},
         "aimhead: --flow-control takes keep (as the device has it) or off, got 'OFF'"},
    };
    for (const auto &[arguments, message] : cases) {
        const ProcessResult result = runAimhead(arguments, untouched.environment());
        EXPECT_EQ(result.status, 2) << message;
        EXPECT_EQ(result.err, message + "\n");
    }
    const ProcessResult server = runAimhead({"--server", "/nonexistent/socket", "--baud", "19200", "get"}, {});
    EXPECT_EQ(server.status, 2);
    EXPECT_EQ(server.err, "aimhead: --baud, --reply-timeout and --flow-control set the port, which the daemon at "
                          "/nonexistent/socket owns (see aimhead --help)\n");
    EXPECT_EQ(untouched.line.countFrames(200ms), 0);
}

TEST(AimheadSettings, TakeTheBoundsOfTheLibrarysRanges)
{
    for (const auto &arguments : std::vector<std::vector<std::string>>{{"--baud", "1200"},
                                                                       {"--baud", "230400"},
                                                                       {"--reply-timeout", "10"},
                                                                       {"--reply-timeout", "60000"},
                                                                       {"--flow-control", "keep"},
                                                                       {"--flow-control", "off"}}) {
        std::vector<std::string> run = arguments;
        run.insert(run.end(), {"-d", "/nonexistent/ttyUSB7", "get"});
        const ProcessResult result = runAimhead(run, {});
        EXPECT_EQ(result.status, 1) << arguments[0] << " " << arguments[1];
        EXPECT_EQ(result.err, "/nonexistent/ttyUSB7: No such file or directory\nunable to open port\n")
            << "taken, and the run went on to the port";
    }
}

TEST(AimheadSettings, LineSpeedIsTheOneTheHeadNeeds)
{
    Simulator head({"--baud", "19200", "--speed", "0"});
    const ProcessResult matched = runAimhead({"--baud", "19200", "--no-initialise", "get"}, head.environment(), 10s);
    EXPECT_EQ(matched.status, 0) << matched.err;
    EXPECT_EQ(matched.out, "pan 0 tilt 1571\n");
    const ProcessResult missed = runAimhead({"--no-initialise", "get"}, head.environment(), 10s);
    EXPECT_EQ(missed.status, 1);
    EXPECT_NE(missed.err.find("does not answer"), std::string::npos) << missed.err;
}

TEST(AimheadSettings, FlowControlOffSwitchesRtsCtsOffOnAPortThatHadItOn)
{
    PtyPeer line;
    setHardwareFlowControl(line.master());
    std::vector<bool> kept;
    std::thread keptHead([&] { kept = answerNotingFlowControl(line); });
    const ProcessResult keep = runAimhead({"--no-initialise", "get"}, {{"AIMLINK_DEVICE", line.path()}}, 10s);
    keptHead.join();
    EXPECT_EQ(keep.status, 0) << keep.err;
    ASSERT_FALSE(kept.empty());
    EXPECT_TRUE(kept.front()) << "left as the device had it";

    std::vector<bool> switched;
    std::thread switchedHead([&] { switched = answerNotingFlowControl(line); });
    const ProcessResult off =
        runAimhead({"get", "--flow-control", "off", "--no-initialise"}, {{"AIMLINK_DEVICE", line.path()}}, 10s);
    switchedHead.join();
    EXPECT_EQ(off.status, 0) << off.err;
    EXPECT_EQ(off.out, "pan 0 tilt 1571\n");
    ASSERT_FALSE(switched.empty());
    EXPECT_FALSE(switched.front()) << "off while aimhead held the port";
    EXPECT_TRUE(hardwareFlowControl(line.master())) << "given back as it was";
}

// -v shows the conversation on standard error: each frame written and
// each reply read, in hex and with its meaning; without it, nothing.
TEST(AimheadVerbose, ShowsEachFrameWrittenAndEachReplyRead)
{
    Simulator head({"--speed", "0"});
    const std::string device = "aimlink: " + head.device() + ": ";
    for (const std::string option : {"-v", "--verbose"}) {
        const ProcessResult traced = runAimhead({"get", option}, head.environment(), 10s);
        EXPECT_EQ(traced.status, 0) << traced.err;
        EXPECT_EQ(traced.out, "pan 0 tilt 1571\n");
        for (const char *shown :
             {"wrote FF 30 30 00 90 30 EF (initialise)\n", "read FE 30 30 30 30 EF (acknowledgement)\n",
              "wrote FF 30 30 00 63 EF (position request)\n",
              "read FE 30 30 30 30 38 30 30 30 38 30 30 30 EF (report pan 0 tilt 0)\n"})
            EXPECT_NE(traced.err.find(device + shown), std::string::npos) << option << ": " << shown << traced.err;
    }
    const ProcessResult quiet = runAimhead({"--no-initialise", "get"}, head.environment(), 10s);
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "") << "no trace unless asked for";
    const ProcessResult server = runAimhead({"--server", "/nonexistent/socket", "-v", "get"}, {});
    EXPECT_EQ(server.status, 2);
    EXPECT_EQ(server.err, "aimhead: -v shows the frames on the port, which the daemon at /nonexistent/socket owns "
                          "(aimheadd -v shows them in its log) (see aimhead --help)\n");
}

TEST(AimheaddVerbose, LogsEachFrameWrittenAndEachReplyRead)
{
    Simulator head({"--speed", "0"});
    Daemon daemon(head.device(), {"-v", "--no-initialise"});
    EXPECT_TRUE(daemon.errorsShow(head.device() + ": wrote FF 30 30 00 63 EF (position request)", 5s))
        << daemon.errors();
    EXPECT_TRUE(
        daemon.errorsShow(head.device() + ": read FE 30 30 30 30 38 30 30 30 38 30 30 30 EF (report pan 0 tilt 0)", 5s))
        << daemon.errors();
    Simulator other({"--speed", "0"});
    Daemon plain(other.device(), {"--no-initialise"});
    EXPECT_TRUE(plain.errorsShow("opened; waiting for the head to answer", 5s)) << plain.errors();
    EXPECT_FALSE(plain.errorsShow("wrote FF", 500ms)) << plain.errors();
}

TEST(AimheaddSettings, FlowControlOffReachesThePortAndBadValuesAreRefused)
{
    PtyPeer line;
    setHardwareFlowControl(line.master());
    Daemon daemon(line.path(), {"--flow-control", "off", "--reply-timeout", "200", "--no-initialise"});
    const auto frame = line.readFrame(5s);
    ASSERT_TRUE(frame.has_value()) << daemon.errors();
    EXPECT_FALSE(hardwareFlowControl(line.master()));
    daemon.stop();
    for (const auto &[option, value] : std::vector<std::pair<std::string, std::string>>{
             {"--baud", "1234"}, {"--reply-timeout", "5"}, {"--flow-control", "on"}}) {
        const ProcessResult result = runProcess({aimheaddPath(), "-d", line.path(), option, value}, {}, 5s);
        EXPECT_EQ(result.status, 2) << option;
        EXPECT_EQ(occurrences(result.err, "\n"), 1) << result.err;
        EXPECT_EQ(result.err.rfind("aimheadd: " + option + " ", 0), 0u) << result.err;
    }
}

TEST(AimsimOptions, OneTableWithValuesCheckedAndUnknownOptionsNamed)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--frob"}, "aimsim: unknown option '--frob' (see aimsim --help)\n"},
        {{"--speed"}, "aimsim: --speed needs a value (see aimsim --help)\n"},
        {{"--reject", "0"}, "aimsim: --reject needs a whole number of at least 1, got '0' (see aimsim --help)\n"},
        {{"--baud", "1234"},
         "aimsim: --baud '1234': not a supported line speed (1200 to 230400) (see aimsim --help)\n"},
        {{"extra"}, "aimsim: unexpected argument 'extra' (see aimsim --help)\n"},
    };
    for (const auto &[arguments, message] : cases) {
        std::vector<std::string> run = {aimsimPath()};
        run.insert(run.end(), arguments.begin(), arguments.end());
        const ProcessResult result = runProcess(run, {}, 5s);
        EXPECT_EQ(result.status, 2) << message;
        EXPECT_EQ(result.err, message);
    }
    const ProcessResult help = runProcess({aimsimPath(), "--help"}, {}, 5s);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--baud N"), std::string::npos);
}

// SPDX-License-Identifier: MIT
// aimhead jog as a person uses it: keys typed into a terminal (a private
// tmux server), the screen read back, the simulated head on the line.
#include "support/process.h"
#include "support/stderr_capture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <unistd.h>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// One tmux server of our own, on its own socket; only it is ever killed.
// Each terminal has a socket of its own: kill-server returns before the
// server is gone, and a new session on the same socket could join the
// dying server and end with it.
class Terminal {
public:
    explicit Terminal(const std::string &command)
        : socket_("aimhead-jog-" + std::to_string(getpid()) + "-" + std::to_string(++made_))
    {
        tmux({"new-session", "-d", "-x", "80", "-y", "24", command});
    }
    ~Terminal() { tmux({"kill-server"}); }
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    void keys(const std::vector<std::string> &keys)
    {
        std::vector<std::string> arguments = {"send-keys", "-t", "0"};
        arguments.insert(arguments.end(), keys.begin(), keys.end());
        tmux(arguments);
    }
    std::string screen() { return tmux({"capture-pane", "-p", "-t", "0"}).out; }
    // Whether the screen shows text within the time-out.
    bool shows(const std::string &text, std::chrono::milliseconds timeout)
    {
        for (const auto deadline = std::chrono::steady_clock::now() + timeout; screen().find(text) == std::string::npos;
             std::this_thread::sleep_for(50ms))
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
        return true;
    }

private:
    ProcessResult tmux(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), {"/usr/bin/tmux", "-L", socket_, "-f", "/dev/null"});
        return runProcess(arguments, {}, 5s);
    }
    static inline int made_ = 0;
    std::string socket_;
};

} // namespace

TEST(AimheadJog, ArrowsStepTheHeadSavesAPresetAndQuitRestoresTheTerminal)
{
    if (access("/usr/bin/tmux", X_OK) != 0)
        GTEST_SKIP() << "needs tmux";
    char pattern[] = "/tmp/aimhead-jog-XXXXXX";
    const fs::path config = mkdtemp(pattern);
    Simulator head({"--trace", "--speed", "0"});
    Terminal terminal("AIMLINK_DEVICE=" + head.device() + " XDG_CONFIG_HOME=" + config.string() + " " + aimheadPath() +
                      " --no-initialise jog; echo exit status $?; sleep 60");
    ASSERT_TRUE(terminal.shows("target    pan 0 tilt 1571", 10s)) << terminal.screen();
    terminal.keys({"Right", "Right", "+", "Up"});
    EXPECT_TRUE(terminal.shows("target    pan 20 tilt 1621", 5s)) << terminal.screen();
    EXPECT_TRUE(terminal.shows("reported  pan 20 tilt 1621", 5s)) << terminal.screen();
    EXPECT_TRUE(terminal.shows("link      up", 5s)) << terminal.screen();
    terminal.keys({"s", "door", "Enter"});
    EXPECT_TRUE(terminal.shows("saved door at pan 20 tilt 1621", 5s)) << terminal.screen();
    terminal.keys({"q"});
    EXPECT_TRUE(terminal.shows("exit status 0", 5s)) << terminal.screen();
    EXPECT_EQ(terminal.screen().find("arrows move"), std::string::npos) << "the full screen is gone";
    head.stop();
    EXPECT_GE(occurrences(head.errors(), "-> move pan 7FF6 (-10) tilt 8019 (25)"), 1) << head.errors();
    std::ifstream presets(config / "aimhead" / "presets.json");
    const std::string saved((std::istreambuf_iterator<char>(presets)), {});
    fs::remove_all(config);
    EXPECT_NE(saved.find("\"door\""), std::string::npos) << saved;
}

TEST(AimheadJog, CtrlCAndALinkFailureAlsoRestoreTheTerminal)
{
    if (access("/usr/bin/tmux", X_OK) != 0)
        GTEST_SKIP() << "needs tmux";
    {
        Simulator head({"--speed", "0"});
        // The shell ignores Ctrl-C so that it stays to tell how aimhead ended.
        Terminal terminal("trap '' INT; AIMLINK_DEVICE=" + head.device() + " " + aimheadPath() +
                          " --no-initialise jog; echo exit status $?; sleep 60");
        ASSERT_TRUE(terminal.shows("link      up", 10s)) << terminal.screen();
        terminal.keys({"C-c"});
        EXPECT_TRUE(terminal.shows("exit status 130", 5s)) << terminal.screen();
        EXPECT_EQ(terminal.screen().find("arrows move"), std::string::npos) << terminal.screen();
    }
    Simulator head({"--speed", "0", "--hangup-after", "8"});
    Terminal terminal("AIMLINK_DEVICE=" + head.device() + " " + aimheadPath() +
                      " --no-initialise jog; echo exit status $?; sleep 60");
    EXPECT_TRUE(terminal.shows("exit status 1", 10s)) << terminal.screen();
    const std::string screen = terminal.screen();
    EXPECT_NE(screen.find("the link to the head failed: hang-up on the line"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("arrows move"), std::string::npos) << screen;
}

// A copy of aimhead without the jog program beside it, as a broken install
// would leave it: one line naming what is missing, and no port touched.
TEST(AimheadJog, WithoutItsProgramSaysWhichIsMissing)
{
    const fs::path directory = fs::temp_directory_path() / ("aimhead-alone-" + std::to_string(getpid()));
    fs::create_directories(directory / "bin");
    fs::copy_file(aimheadPath(), directory / "bin" / "aimhead");
    const ProcessResult run = runProcess({(directory / "bin" / "aimhead").string(), "-d", "/dev/null", "jog"});
    fs::remove_all(directory);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "aimhead: cannot start the jog screen " +
                           (directory / "bin/../libexec/aimhead/aimhead-jog").string() +
                           ": No such file or directory\n");
}

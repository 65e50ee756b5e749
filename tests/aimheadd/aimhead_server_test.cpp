// SPDX-License-Identifier: MIT
// aimhead as a client of aimheadd: the same commands and messages through the
// daemon's socket, the failures that only a daemon has, and the pointer to
// the daemon when the port is taken.
#include "aimheadd_support.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A directory of our own, removed at the end.
struct TemporaryDirectory {
    TemporaryDirectory()
    {
        char name[] = "/tmp/aimhead-server-test-XXXXXX";
        if (mkdtemp(name) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path = name;
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

} // namespace

TEST(AimheadServer, MoveGoesThroughTheDaemonToTheHead)
{
    Simulator head({"--trace", "--speed", "0"});
    Daemon daemon(head.device());
    // The port is the daemon's: a run that opened it would be refused.
    const ProcessResult result = runAimhead({"--server", daemon.socket(), "--json", "1000", "1571"},
                                            {{"AIMLINK_DEVICE", "/nonexistent/ttyUSB7"}}, 10s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(Json::parse(result.out), Json::parse(R"({"pan":1000,"tilt":1571})"));
    EXPECT_TRUE(head.errorsShow("[FF 30 30 00 62 37 45 30 43 38 30 30 30 EF]", 2s)) << head.errors();
    EXPECT_EQ(daemon.errors().find("disconnected:"), std::string::npos) << "aimhead leaves quietly\n"
                                                                        << daemon.errors();
}

// A daemon that ends while a client waits for the arrival: the client says
// so at once, with status 1, rather than waiting out the 30 s of a move.
TEST(AimheadServer, DaemonEndingMidMoveEndsTheRunAtOnce)
{
    Simulator head({"--trace", "--speed", "100"}); // 500 counts take 5 s
    Daemon daemon(head.device());
    BackgroundProcess run({aimheadPath(), "--server", daemon.socket(), "1000", "1571"});
    ASSERT_TRUE(head.errorsShow("-> move", 5s)) << head.errors();
    EXPECT_EQ(daemon.stop(), 0);
    const auto stopped = std::chrono::steady_clock::now();
    EXPECT_EQ(run.wait(5s), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 1s);
    EXPECT_EQ(run.errors(), "aimhead: " + daemon.socket() + ": the daemon closed the connection\n");
}

TEST(AimheadServer, GetThroughTheEnvironmentUnlessADeviceIsNamed)
{
    Simulator head({"--speed", "0", "--start", "500,0"});
    Daemon daemon(head.device());
    const ProcessResult result = runAimhead({"get"}, {{"AIMHEAD_SERVER", daemon.socket()}}, 10s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.rfind("pan ", 0), 0u) << result.out;
    EXPECT_EQ(result.err, "");
    const ProcessResult direct = runAimhead({"-d", head.device(), "get"}, {{"AIMHEAD_SERVER", daemon.socket()}}, 10s);
    EXPECT_EQ(direct.status, 1);
    EXPECT_NE(direct.err.find(head.device() + ": port is in use by another process\n"), std::string::npos)
        << "-d goes to the port, which the daemon holds: " << direct.err;
}

TEST(AimheadServer, NoDaemonAtThePathIsOneLineAndStatusOne)
{
    TemporaryDirectory directory;
    const std::string socket = directory.path + "/socket";
    const ProcessResult result = runAimhead({"--server", socket, "get"}, {}, 10s);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "aimhead: no daemon at " + socket + ": No such file or directory\n");
    EXPECT_LT(result.elapsed, 1s);
}

TEST(AimheadServer, BadCommandLinesAreRefusedBeforeConnecting)
{
    // No daemon listens there: reaching for one would end with status 1.
    const Environment nowhere = {{"AIMHEAD_SERVER", "/nonexistent/socket"}};
    const ProcessResult angle = runAimhead({"abc", "1571"}, nowhere);
    EXPECT_EQ(angle.status, 2);
    EXPECT_EQ(angle.err, "aimhead: pan must be a whole number of milliradians from -32768 to 32767, got 'abc'\n");
    const ProcessResult both = runAimhead({"--server", "/nonexistent/socket", "-d", "/dev/null", "get"}, {});
    EXPECT_EQ(both.status, 2);
    EXPECT_EQ(both.err, "aimhead: -d and --server exclude each other: the daemon owns the port (see aimhead --help)\n");
    const ProcessResult jog = runAimhead({"jog"}, nowhere);
    EXPECT_EQ(jog.status, 2);
    EXPECT_EQ(jog.err, "aimhead: jog needs the serial port and does not work through the daemon (--server) (see "
                       "aimhead --help)\n");
}

TEST(AimheadServer, SilentHeadGivesTheSameMessageAsOnThePort)
{
    Simulator head({"--silent-after", "0"});
    Daemon daemon(head.device());
    const ProcessResult result = runAimhead({"--server", daemon.socket(), "0", "1571"}, {}, 10s);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "aimhead: the head on " + head.device() + " does not answer\n");
    EXPECT_LT(result.elapsed, 4s);
}

TEST(AimheadServer, TakenPortPointsToTheDaemonAtTheDefaultSocket)
{
    Simulator head({"--speed", "0"});
    Daemon daemon(head.device());
    // The default socket is $XDG_RUNTIME_DIR/aimhead/socket: a link makes it the daemon's.
    TemporaryDirectory runtime;
    std::filesystem::create_directory_symlink(std::filesystem::path(daemon.socket()).parent_path(),
                                              runtime.path + "/aimhead");
    const std::string socket = runtime.path + "/aimhead/socket";
    const ProcessResult result =
        runAimhead({"get"}, {{"AIMLINK_DEVICE", head.device()}, {"XDG_RUNTIME_DIR", runtime.path}}, 10s);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, head.device() + ": port is in use by another process\nunable to open port\n" +
                              "aimhead: a daemon serves this head at " + socket + "; use --server " + socket + "\n");
    // Another head's port, taken by another run: the daemon serves not that one.
    Simulator other({"--speed", "400"});
    BackgroundProcess first({aimheadPath(), "1000", "1571"}, other.environment());
    usleep(300 * 1000);
    const ProcessResult second =
        runAimhead({"get"}, {{"AIMLINK_DEVICE", other.device()}, {"XDG_RUNTIME_DIR", runtime.path}}, 10s);
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, other.device() + ": port is in use by another process\nunable to open port\n");
    EXPECT_EQ(first.wait(10s), 0) << first.errors();
}

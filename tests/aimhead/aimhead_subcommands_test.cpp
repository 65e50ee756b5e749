// SPDX-License-Identifier: MIT
// aimhead's set-up subcommands against the simulated head, and the presets
// file they keep.
#include "support/process.h"
#include "support/stderr_capture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A fresh configuration directory for the presets file, removed afterwards.
class ConfigHome {
public:
    ConfigHome()
    {
        char pattern[] = "/tmp/aimhead-config-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~ConfigHome() { fs::remove_all(path_); }
    ConfigHome(const ConfigHome &) = delete;
    ConfigHome &operator=(const ConfigHome &) = delete;
    const fs::path &path() const { return path_; }
    fs::path presetsFile() const { return path_ / "aimhead" / "presets.json"; }

private:
    fs::path path_;
};

std::string slurp(const fs::path &file)
{
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(AimheadGet, PrintsTheReportedPositionInTheCallersFrameWithoutInitialising)
{
    // Counts 100, 200: pan mirrored and doubled, tilt doubled and offset.
    Simulator head({"--trace", "--start", "100,200"});
    const Environment elsewhere = {{"AIMLINK_DEVICE", "/nonexistent/port"}};
    const ProcessResult plain = runAimhead({"-d", head.device(), "--no-initialise", "get"}, elsewhere, 10s);
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out, "pan -200 tilt 1971\n");
    const ProcessResult json = runAimhead({"--json", "--no-initialise", "get"}, head.environment(), 10s);
    EXPECT_EQ(json.out, "{\"pan\":-200,\"tilt\":1971}\n");
    head.stop();
    EXPECT_EQ(occurrences(head.errors(), "-> initialise"), 0) << head.errors();
    EXPECT_EQ(occurrences(head.errors(), "-> move"), 0);
}

TEST(AimheadGet, InitialisesFirstUnlessToldNot)
{
    Simulator head({"--trace", "--speed", "0"});
    const ProcessResult result = runAimhead({"get"}, head.environment(), 10s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "pan 0 tilt 1571\n");
    head.stop();
    EXPECT_EQ(occurrences(head.errors(), "-> initialise"), 1) << head.errors();
}

TEST(AimheadBy, MovesRelativeToTheReportedPosition)
{
    Simulator head({"--trace", "--start", "100,200", "--speed", "0"});
    const ProcessResult result =
        runAimhead({"--json", "--no-initialise", "by", "100", "-100"}, head.environment(), 10s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "{\"pan\":-100,\"tilt\":1871}\n");
    head.stop();
    EXPECT_EQ(occurrences(head.errors(), "-> move pan 8032 (50) tilt 8096 (150)"), 1) << head.errors();
}

TEST(AimheadHome, SendsTheHomeFrameAndWaitsForArrival)
{
    Simulator head({"--trace", "--start", "100,200", "--speed", "2000"});
    const ProcessResult result = runAimhead({"--no-initialise", "home"}, head.environment(), 10s);
    EXPECT_EQ(result.status, 0) << result.err;
    head.stop();
    EXPECT_EQ(occurrences(head.errors(), "-> home  [FF 30 30 00 57 EF]"), 1) << head.errors();
    EXPECT_EQ(occurrences(head.errors(), "<- position 0 0"), 1) << "ends on the first report of home";
}

TEST(AimheadSubcommands, BadWordsAreRefusedBeforeTheLineIsTouched)
{
    const Environment environment = {{"AIMLINK_DEVICE", "/nonexistent/port"}, {"XDG_CONFIG_HOME", "/nonexistent"}};
    struct Case {
        std::vector<std::string> arguments;
        std::string err;
    };
    const Case cases[] = {
        {{"get", "now"}, "aimhead: get takes 0 arguments, got 1 (see aimhead --help)\n"},
        {{"by", "5"}, "aimhead: by takes 2 arguments, got 1 (see aimhead --help)\n"},
        {{"by", "5", "x"}, "aimhead: tilt step must be a whole number of milliradians from -32768 to 32767, got 'x'\n"},
        {{"save", "../door"},
         "aimhead: a preset name is 1 to 32 letters, digits, '_', '-' or '.', not starting with '-' or '.'; got "
         "'../door' (see aimhead --help)\n"},
        {{"forget", ".door"},
         "aimhead: a preset name is 1 to 32 letters, digits, '_', '-' or '.', not starting with '-' or '.'; got "
         "'.door' (see aimhead --help)\n"},
        {{"goto", "a b"},
         "aimhead: a preset name is 1 to 32 letters, digits, '_', '-' or '.', not starting with '-' or '.'; got "
         "'a b' (see aimhead --help)\n"},
        {{"save", "door", "5"}, "aimhead: save takes NAME, or NAME PAN TILT (see aimhead --help)\n"},
        {{"-d"}, "aimhead: -d needs a device (see aimhead --help)\n"},
    };
    for (const Case &bad : cases) {
        const ProcessResult result = runAimhead(bad.arguments, environment, 5s);
        EXPECT_EQ(result.status, 2) << bad.arguments[0];
        EXPECT_EQ(result.err, bad.err);
    }
}

TEST(AimheadPresets, AreSavedListedVisitedAndForgotten)
{
    ConfigHome config;
    Simulator head({"--trace", "--start", "100,200", "--speed", "0"});
    Environment environment = head.environment();
    environment.emplace_back("XDG_CONFIG_HOME", config.path().string());

    EXPECT_EQ(runAimhead({"save", "door", "500", "2000"}, environment).status, 0);
    const ProcessResult kept = runAimhead({"save", "desk"}, environment, 10s);
    EXPECT_EQ(kept.status, 0) << kept.err;
    const ProcessResult listed = runAimhead({"presets"}, environment);
    EXPECT_EQ(listed.out, "desk pan -200 tilt 1971\ndoor pan 500 tilt 2000\n");

    const ProcessResult visited = runAimhead({"goto", "door"}, environment, 10s);
    EXPECT_EQ(visited.status, 0) << visited.err;
    EXPECT_EQ(runAimhead({"forget", "door"}, environment).status, 0);
    EXPECT_EQ(runAimhead({"--json", "presets"}, environment).out, "{\"desk\":{\"pan\":-200,\"tilt\":1971}}\n");

    const ProcessResult again = runAimhead({"goto", "door"}, environment);
    EXPECT_EQ(again.status, 4);
    EXPECT_EQ(again.err, "aimhead: no preset named 'door' in " + config.presetsFile().string() + "\n");
    EXPECT_EQ(runAimhead({"forget", "door"}, environment).status, 4);
    head.stop();
    EXPECT_EQ(occurrences(head.errors(), "-> move pan 7F06 (-250) tilt 80D6 (214)"), 1) << head.errors();
    EXPECT_EQ(occurrences(head.errors(), "-> initialise"), 1) << "saving keeps the view: no initialise";
}

TEST(AimheadPresets, FileIsReplacedWholeAndPrivate)
{
    ConfigHome config;
    const Environment environment = {{"XDG_CONFIG_HOME", ""}, {"HOME", config.path().string()}};
    EXPECT_EQ(runAimhead({"save", "a", "1", "1571"}, environment).status, 0);
    EXPECT_EQ(runAimhead({"save", "b", "2", "1571"}, environment).status, 0);
    const fs::path file = config.path() / ".config" / "aimhead" / "presets.json";
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0) << "falls back to ~/.config";
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1)
        << "no temporary file left behind";
    EXPECT_EQ(runAimhead({"presets"}, environment).out, "a pan 1 tilt 1571\nb pan 2 tilt 1571\n");
}

// Each save reads the file, adds to it and replaces it: programs saving at
// the same moment must not drop each other's presets. They are all started
// from this one thread, then waited for: qemu-user can hang a child forked
// while other threads of the parent fork or start.
TEST(AimheadPresets, SavesAtTheSameMomentAreAllKept)
{
    ConfigHome config;
    const Environment environment = {{"XDG_CONFIG_HOME", config.path().string()}};
    constexpr size_t kSavers = 12;
    std::vector<std::unique_ptr<BackgroundProcess>> savers;
    for (size_t i = 0; i < kSavers; ++i)
        savers.push_back(std::make_unique<BackgroundProcess>(
            std::vector<std::string>{aimheadPath(), "save", "view" + std::to_string(i), std::to_string(i), "1571"},
            environment));
    for (const auto &saver : savers)
        EXPECT_EQ(saver->wait(60s), 0) << saver->errors();
    const std::string listed = runAimhead({"presets"}, environment).out;
    for (size_t i = 0; i < kSavers; ++i)
        EXPECT_NE(listed.find("view" + std::to_string(i) + " pan " + std::to_string(i) + " tilt 1571\n"),
                  std::string::npos)
            << listed;
}

// Another program's lock is waited for while it is held briefly, and named
// when it is held for longer than a save should ever take.
TEST(AimheadPresets, ALockHeldElsewhereIsWaitedForThenNamed)
{
    ConfigHome config;
    const Environment environment = {{"XDG_CONFIG_HOME", config.path().string()}};
    ASSERT_EQ(runAimhead({"save", "first", "1", "1571"}, environment).status, 0);
    const fs::path directory = config.presetsFile().parent_path();
    const int held = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::thread release([held] {
        std::this_thread::sleep_for(300ms);
        flock(held, LOCK_UN);
    });
    const ProcessResult waited = runAimhead({"save", "second", "2", "1571"}, environment, 10s);
    release.join();
    EXPECT_EQ(waited.status, 0) << waited.err;
    EXPECT_GE(waited.elapsed, 250ms) << "saved while the lock was held";

    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const ProcessResult refused = runAimhead({"forget", "first"}, environment, 10s);
    close(held);
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(refused.err, "aimhead: " + directory.string() + ": locked by another program for 3 s\n");
    EXPECT_EQ(runAimhead({"presets"}, environment).out, "first pan 1 tilt 1571\nsecond pan 2 tilt 1571\n");
}

TEST(AimheadPresets, CorruptFileIsReportedAndNeverOverwritten)
{
    ConfigHome config;
    fs::create_directories(config.presetsFile().parent_path());
    const Environment environment = {{"XDG_CONFIG_HOME", config.path().string()}};
    for (const std::string corrupt :
         {"{\"presets\": {\"door\": {\"pan\": 1", "[1, 2]", "{\"presets\": {\"door\": {\"pan\": \"x\", \"tilt\": 1}}}",
          "{\"presets\": {\"a b\": {\"pan\": 1, \"tilt\": 1}}}"}) {
        std::ofstream(config.presetsFile()) << corrupt;
        for (const std::vector<std::string> &arguments :
             {std::vector<std::string>{"save", "x", "1", "1"}, {"forget", "door"}, {"presets"}}) {
            const ProcessResult result = runAimhead(arguments, environment);
            EXPECT_EQ(result.status, 3) << corrupt;
            EXPECT_EQ(result.err.rfind("aimhead: " + config.presetsFile().string() + ": not a presets file: ", 0), 0u)
                << result.err;
            EXPECT_EQ(occurrences(result.err, "\n"), 1) << result.err;
        }
        EXPECT_EQ(slurp(config.presetsFile()), corrupt) << "left as it was";
    }
}

TEST(AimheadCompletion, OffersSubcommandsOptionsAndPresetNames)
{
    ConfigHome config;
    const std::string programs = fs::path(aimheadPath()).parent_path().string();
    const Environment environment = {{"XDG_CONFIG_HOME", config.path().string()},
                                     {"PATH", programs + ":/usr/bin:/bin"}};
    for (const char *name : {"door", "desk", "shelf"})
        ASSERT_EQ(runAimhead({"save", name, "0", "1571"}, environment).status, 0);
    const std::string script =
        "source \"$0\"\n"
        "offer() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _aimhead; echo \"${COMPREPLY[*]}\"; }\n"
        "offer aimhead go\n"
        "offer aimhead --no\n"
        "offer aimhead --server /run/aimhead/socket go\n"
        "offer aimhead goto d\n"
        "offer aimhead --json -d /dev/null forget ''\n"
        "offer aimhead goto door ''\n";
    const ProcessResult result = runProcess({"/bin/bash", "-c", script, AIMHEAD_COMPLETION}, environment, 10s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "goto\n--no-initialise\ngoto\ndesk door\ndesk door shelf\n\n");
}

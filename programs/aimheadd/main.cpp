// aimheadd: owns the camera head and shares it with local programs over a
// unix socket (JSON lines) and, on request, with rotator clients over TCP.
#include "daemon_socket.h"
#include "event_loop.h"
#include "head_service.h"
#include "http_server.h"
#include "json_server.h"
#include "log.h"
#include "presets.h"
#include "rotctld_server.h"
#include "sockets.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#ifndef AIMLINK_VERSION
#define AIMLINK_VERSION "unknown"
#endif

namespace {

using namespace aimheadd;

enum ExitStatus {
    kStopped = 0,
    kFailure = 1,
    kBadCommandLine = 2,
    kSocketFailed = 3,
    kRotatorPortFailed = 4,
    kWebFailed = 5
};

constexpr char kUsage[] =
    "Usage: aimheadd [options]\n"
    "Owns the pan-tilt camera head and shares it with many programs at once.\n"
    "\n"
    "Options:\n"
    "  -d, --device PATH       serial device of the head (default: AIMLINK_DEVICE, else /dev/ttyS3)\n"
    "  -s, --socket PATH       local socket (default: $XDG_RUNTIME_DIR/aimhead/socket,\n"
    "                          else /run/aimhead/socket)\n"
    "  --rotctld [ADDR:]PORT   also speak Hamlib's rotator protocol on TCP (off by default;\n"
    "                          ADDR defaults to 127.0.0.1; PORT to 4533 when none is given)\n"
    "  --http [ADDR:]PORT      also serve the web page and its HTTP API (off by default;\n"
    "                          ADDR defaults to 127.0.0.1; beyond loopback, changes need a token)\n"
    "  --http-token-file FILE  take the web token from the first line of FILE instead of\n"
    "                          making one and logging it\n"
    "  --presets FILE          the preset file the web page uses (default:\n"
    "                          $XDG_CONFIG_HOME/aimhead/presets.json)\n"
    "  --no-initialise         do not send the initialise frame when the device is first opened\n"
    "  -v, --verbose           also log every client's connect and command\n"
    "  -h, --help              show this text\n"
    "  --version               show the version\n"
    "Runs until SIGINT or SIGTERM. Exit status: 0 after a signal, 1 on an internal failure,\n"
    "2 for bad options, 3 when the socket cannot be set up, 4 when the rotator port cannot,\n"
    "5 when the web server cannot.\n";

struct Options {
    std::string device;
    std::string socket;
    std::optional<std::string> rotctld;
    std::optional<std::string> http;
    std::string httpTokenFile;
    std::string presets;
    bool initialise = true;
    bool verbose = false;
};

int badOption(const std::string &message)
{
    std::fprintf(stderr, "aimheadd: %s (see aimheadd --help)\n", message.c_str());
    return kBadCommandLine;
}

// Fills options; returns an exit status when the program should end now.
std::optional<int> parseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        const bool hasValue = i + 1 < argc;
        const auto value = [&]() -> std::string { return argv[++i]; };
        if (option == "-h" || option == "--help") {
            std::fputs(kUsage, stdout);
            return kStopped;
        }
        if (option == "--version") {
            std::printf("aimheadd %s (aimlink %s)\n", AIMLINK_VERSION, aimlink_version());
            return kStopped;
        }
        if ((option == "-d" || option == "--device") && hasValue)
            options.device = value();
        else if ((option == "-s" || option == "--socket") && hasValue)
            options.socket = value();
        else if (option == "--rotctld")
            options.rotctld = hasValue && argv[i + 1][0] != '-' ? value() : std::string("4533");
        else if (option == "--http" && hasValue)
            options.http = value();
        else if (option == "--http-token-file" && hasValue)
            options.httpTokenFile = value();
        else if (option == "--presets" && hasValue)
            options.presets = value();
        else if (option == "--no-initialise" || option == "--no-initialize")
            options.initialise = false;
        else if (option == "-v" || option == "--verbose")
            options.verbose = true;
        else if (option == "-d" || option == "--device" || option == "-s" || option == "--socket" ||
                 option == "--http" || option == "--http-token-file" || option == "--presets")
            return badOption(std::string(option) + " needs a value");
        else
            return badOption("unknown option '" + std::string(option) + "'");
    }
    if (options.socket.empty())
        options.socket = aimhead::defaultSocketPath();
    if (options.presets.empty()) {
        try {
            options.presets = aimhead::defaultPresetsPath();
        } catch (const aimhead::PresetsError &) {
            // Left empty: the web page's presets then say what is missing.
        }
    }
    return std::nullopt;
}

// SIGINT and SIGTERM arrive as a descriptor the loop reads: the daemon ends
// between events, never inside one.
int signalDescriptor()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
}

// The device path the library will use, for the socket's group.
std::string devicePath(const std::string &device)
{
    aimlink_head *probe = aimlink_new(device.empty() ? nullptr : device.c_str());
    std::string path = probe != nullptr ? aimlink_device(probe) : device;
    aimlink_free(probe);
    return path;
}

int serve(const Options &options)
{
    EventLoop loop;
    const int signals = signalDescriptor();
    loop.watch(signals, EPOLLIN, [&loop](uint32_t) { loop.stop(); });

    HeadService head(loop, {options.device, options.initialise});
    int localFd = -1;
    try {
        localFd = listenLocal(options.socket, devicePath(options.device));
    } catch (const std::runtime_error &error) {
        logLine(Priority::Error, error.what());
        return kSocketFailed;
    }
    JsonServer local(loop, head, localFd);
    std::unique_ptr<RotctldServer> rotator;
    if (options.rotctld) {
        try {
            rotator = std::make_unique<RotctldServer>(loop, head, listenTcp(*options.rotctld));
        } catch (const std::runtime_error &error) {
            logLine(Priority::Error, error.what());
            unlink(options.socket.c_str());
            return kRotatorPortFailed;
        }
    }
    std::unique_ptr<HttpServer> web;
    if (options.http) {
        try {
            web = std::make_unique<HttpServer>(
                loop, head, HttpServer::Options{*options.http, options.httpTokenFile, options.presets});
        } catch (const std::runtime_error &error) {
            logLine(Priority::Error, error.what());
            unlink(options.socket.c_str());
            return kWebFailed;
        }
        web->start();
        logLine(Priority::Notice, "web page on " + web->url() +
                                      (web->token().empty() || !options.httpTokenFile.empty()
                                           ? std::string()
                                           : " (token for changes: " + web->token() + ")"));
    }
    head.start();
    logLine(Priority::Notice, "serving " + head.device() + " on " + options.socket +
                                  (options.rotctld ? ", rotator protocol on " + *options.rotctld : std::string()));
    loop.run();
    logLine(Priority::Notice, "stopping");
    unlink(options.socket.c_str());
    loop.forget(signals);
    close(signals);
    return kStopped;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (const auto ended = parseOptions(argc, argv, options))
        return *ended;
    setVerbose(options.verbose);
    try {
        return serve(options);
    } catch (const std::exception &error) {
        logLine(Priority::Error, error.what());
        return kFailure;
    }
}

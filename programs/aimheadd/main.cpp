// SPDX-License-Identifier: MIT
// aimheadd: owns the camera head and shares it with local programs over a
// unix socket (JSON lines) and, on request, with rotator clients over TCP.
#include "daemon_options.h"
#include "event_loop.h"
#include "head_service.h"
#include "http_server.h"
#include "json_server.h"
#include "log.h"
#include "mqtt_bridge.h"
#include "rotctld_server.h"
#include "sockets.h"
#include "text.h"

#include <csignal>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#ifndef AIMLINK_VERSION
#define AIMLINK_VERSION "unknown"
#endif

namespace {

using namespace aimheadd;

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

// Every surface caps its clients well below the hard limit: with the soft
// one raised to it, the local socket and the device's reopen always find
// the descriptors they need.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        logLine(Priority::Warning, std::string("cannot raise the descriptor limit: ") + aimlink::errorText(errno));
}

std::unique_ptr<mqtt::Bridge> makeBridge(EventLoop &loop, HeadService &head, const Options &options,
                                         const std::string &webUrl)
{
    std::string id = options.mqttId;
    if (id.empty()) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        id = mqtt::defaultId(host, devicePath(options.device));
    }
    return std::make_unique<mqtt::Bridge>(
        loop, head,
        mqtt::Bridge::Options{*options.mqtt, options.mqttCa, options.mqttCredentials, id, options.mqttPrefix,
                              options.mqttDiscovery ? options.mqttDiscoveryPrefix : std::string(), AIMLINK_VERSION,
                              webUrl, options.presets});
}

int serve(const Options &options)
{
    raiseDescriptorLimit();
    EventLoop loop;
    const int signals = signalDescriptor();
    loop.watch(signals, EPOLLIN, [&loop](uint32_t) { loop.stop(); });

    HeadService head(loop, {options.device, options.initialise, options.line});
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
            rotator = std::make_unique<RotctldServer>(
                loop, head, listenTcp("rotator port " + *options.rotctld, *options.rotctld).fd, options.rotctldAllowed);
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
                loop, head,
                HttpServer::Options{*options.http, options.httpTokenFile, options.presets, options.httpHosts});
        } catch (const std::runtime_error &error) {
            logLine(Priority::Error, error.what());
            unlink(options.socket.c_str());
            return kWebFailed;
        }
        logLine(Priority::Notice,
                "web page on " + web->url() +
                    (web->madeTokenFile().empty() ? std::string()
                                                  : " (token for changes in " + web->madeTokenFile() + ")"));
    }
    std::unique_ptr<mqtt::Bridge> broker;
    if (options.mqtt) {
        try {
            broker = makeBridge(loop, head, options, web ? web->url() : std::string());
        } catch (const std::runtime_error &error) {
            logLine(Priority::Error, error.what());
            unlink(options.socket.c_str());
            return kMqttFailed;
        }
    }
    std::unique_ptr<onvif::OnvifPort> onvifPort;
    if (options.onvif.where) {
        try {
            onvifPort = std::make_unique<onvif::OnvifPort>(loop, head, options.presets, options.onvif);
        } catch (const std::runtime_error &error) {
            logLine(Priority::Error, error.what());
            unlink(options.socket.c_str());
            return kOnvifFailed;
        }
        logLine(Priority::Notice, "ONVIF device on " + onvifPort->deviceUrl());
    }
    head.start();
    if (broker)
        broker->start();
    logLine(Priority::Notice, "serving " + head.device() + " on " + options.socket +
                                  (options.rotctld ? ", rotator protocol on " + *options.rotctld : std::string()));
    loop.run();
    logLine(Priority::Notice, "stopping");
    if (broker)
        broker->stop();
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

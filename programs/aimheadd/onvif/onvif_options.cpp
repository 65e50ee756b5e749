// SPDX-License-Identifier: MIT
#include "onvif_options.h"

#include "sockets.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <utility>

#include <arpa/inet.h>
#include <unistd.h>

namespace aimheadd::onvif {
namespace {

constexpr std::array<std::pair<Option, const char *>, 8> kNames{{
    {Option::Address, "--onvif"},
    {Option::Host, "--onvif-host"},
    {Option::StreamUri, "--onvif-stream-uri"},
    {Option::SnapshotUri, "--onvif-snapshot-uri"},
    {Option::Video, "--onvif-video"},
    {Option::FieldOfView, "--onvif-fov"},
    {Option::Credentials, "--onvif-credentials"},
    {Option::Discovery, "--onvif-discovery"},
}};

std::string nameOf(Option option)
{
    return std::find_if(kNames.begin(), kNames.end(), [option](const auto &entry) { return entry.first == option; })
        ->second;
}

bool printable(const std::string &text)
{
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c > ' ' && c < 0x7f; });
}

// The port of "[ADDR:]PORT": the address is checked when it is bound.
std::optional<std::string> portProblem(const std::string &where)
{
    const std::string port = splitAddress(where).port;
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit) ||
        std::stoul(port) > 65535)
        return "the port must be a number from 0 to 65535, as in 8000 or 0.0.0.0:8000";
    return std::nullopt;
}

// A URI with a scheme, such as rtsp://camera.local:8554/head: clients take
// it as it is, so it may not hold spaces or control characters.
std::optional<std::string> uriProblem(const std::string &uri)
{
    const auto scheme = uri.find("://");
    if (scheme == std::string::npos || scheme == 0 || !printable(uri) || uri.size() > 1024)
        return "expected a URI such as rtsp://HOST:8554/PATH, without spaces";
    return std::nullopt;
}

std::optional<std::string> hostProblem(const std::string &host)
{
    if (host.empty() || host.size() > 253 || !printable(host) || host.find_first_of("/@?#") != std::string::npos)
        return "expected a host name such as camera.local";
    return std::nullopt;
}

std::optional<std::string> take(Option option, const std::string &value, Settings &settings)
{
    switch (option) {
    case Option::Address:
        settings.where = value;
        return portProblem(value);
    case Option::Host:
        settings.hosts.push_back(value);
        return hostProblem(value);
    case Option::StreamUri:
        settings.streamUri = value;
        return uriProblem(value);
    case Option::SnapshotUri:
        settings.snapshotUri = value;
        return uriProblem(value);
    case Option::Video:
        if (const auto mode = parseVideoMode(value)) {
            settings.video = *mode;
            return std::nullopt;
        }
        return "expected WIDTHxHEIGHT@FPS, such as 1920x1080@25";
    case Option::FieldOfView:
        settings.fov = parseFieldOfView(value);
        if (!settings.fov)
            return "expected H,V in degrees, such as 62.2,48.8, each above 0 and at most 360";
        return std::nullopt;
    case Option::Credentials:
        try {
            settings.credentials = readCredentials(value);
        } catch (const std::runtime_error &error) {
            return error.what();
        }
        return std::nullopt;
    case Option::Discovery:
        settings.discovery = true;
        return std::nullopt;
    }
    return "unknown";
}

// A numeric address that is not on loopback; a name is told apart once it
// is bound.
bool beyondLoopback(const std::string &host)
{
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) != 127;
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && !IN6_IS_ADDR_LOOPBACK(&v6);
}

constexpr char kCredentialsNeeded[] =
    " reaches beyond loopback: give --onvif-credentials FILE (user:password, mode 0600)";

std::string thisHost()
{
    std::array<char, 256> host{};
    gethostname(host.data(), host.size() - 1);
    return host.data();
}

// The host that discovery names: the bound address, else (bound to every
// address) the first --onvif-host, else none, for the address each probe
// came to.
std::string announcedHost(const std::string &hostAndPort, const std::vector<std::string> &hosts)
{
    std::string host = hostAndPort.substr(0, hostAndPort.rfind(':'));
    if (host != "0.0.0.0" && host != "[::]")
        return host;
    return hosts.empty() ? std::string() : hosts.front();
}

DeviceOptions deviceOptions(const Settings &settings)
{
    return {thisHost(), settings.streamUri, settings.snapshotUri, settings.video, settings.fov, settings.credentials};
}

HttpListener::Options listening(const Settings &settings)
{
    HttpListener::Options options{*settings.where, settings.hosts, {}, "ONVIF", "--onvif-host"};
    options.limits.maxBody = kMaxRequestBody;
    return options;
}

} // namespace

std::optional<std::string> takeOption(Option option, const std::string &value, Settings &settings)
{
    settings.given.push_back(nameOf(option));
    if (auto problem = take(option, value, settings))
        // The credentials' reason names the file itself.
        return nameOf(option) + (option == Option::Credentials ? ": " : " '" + value + "': ") + *problem;
    return std::nullopt;
}

std::optional<std::string> checkSettings(const Settings &settings)
{
    if (!settings.where && !settings.given.empty())
        return settings.given.front() + " needs --onvif [ADDR:]PORT";
    if (settings.where && !settings.credentials && beyondLoopback(splitAddress(*settings.where).host))
        return "--onvif " + *settings.where + kCredentialsNeeded;
    return std::nullopt;
}

OnvifPort::OnvifPort(EventLoop &loop, HeadService &head, const std::string &presetsPath, const Settings &settings)
    : presets_(presetsPath), device_(loop, head, presets_, deviceOptions(settings)),
      listener_(loop, listening(settings), [this](const HttpRequest &request) { return device_.handle(request); })
{
    if (!listener_.loopbackOnly() && !settings.credentials)
        throw std::runtime_error("ONVIF address " + *settings.where + kCredentialsNeeded);
    if (settings.discovery)
        discovery_ =
            std::make_unique<Discovery>(loop, endpointReference(thisHost() + ":" + head.device()),
                                        announcedHost(listener_.hostAndPort(), settings.hosts), listener_.port());
}

std::string OnvifPort::deviceUrl() const { return "http://" + listener_.hostAndPort() + "/onvif/device_service"; }

} // namespace aimheadd::onvif

// SPDX-License-Identifier: MIT
#include "aimheadd_support.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string freshDirectory()
{
    char path[] = "/tmp/aimheadd-test-XXXXXX";
    if (mkdtemp(path) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return path;
}

int connectLocal(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return fd;
    close(fd);
    return -1;
}

std::vector<std::string> withOptions(const std::string &device, const std::string &socket,
                                     std::vector<std::string> options)
{
    options.insert(options.begin(), {aimheaddPath(), "-d", device, "--socket", socket});
    return options;
}

} // namespace

Daemon::Daemon(const std::string &device, std::vector<std::string> options)
    : Daemon(freshDirectory(), device, std::move(options))
{
}

Daemon::Daemon(const std::string &directory, const std::string &device, std::vector<std::string> options)
    : BackgroundProcess(withOptions(device, directory + "/socket", std::move(options))), directory_(directory),
      socket_(directory + "/socket")
{
    // It listens within a moment of starting; look every 10 ms for 5 s.
    const auto deadline = Clock::now() + milliseconds(5000);
    for (int fd = connectLocal(socket_); fd < 0; fd = connectLocal(socket_)) {
        if (Clock::now() > deadline || wait(milliseconds(0)) >= 0)
            throw std::runtime_error("aimheadd did not start listening: " + errors());
        std::this_thread::sleep_for(milliseconds(10));
    }
}

Daemon::~Daemon()
{
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

int Daemon::openDescriptors() const
{
    const std::filesystem::path fds = "/proc/" + std::to_string(pid()) + "/fd";
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(fds), {}));
}

long Daemon::residentKiB() const
{
    std::ifstream status("/proc/" + std::to_string(pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

DaemonClient::DaemonClient(const std::string &socket) : fd_(connectLocal(socket))
{
    if (fd_ < 0)
        throw std::runtime_error("cannot connect to " + socket);
}

DaemonClient::~DaemonClient() { close(fd_); }

bool DaemonClient::send(const std::string &text)
{
    const std::string line = text + "\n";
    for (size_t sent = 0; sent < line.size();) {
        const ssize_t count = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (count < 0)
            return false;
        sent += static_cast<size_t>(count);
    }
    return true;
}

std::optional<Json> DaemonClient::next(milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const size_t newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            const std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return Json::parse(line);
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        pollfd ready{fd_, POLLIN, 0};
        if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0)
            return std::nullopt;
        char chunk[4096];
        const ssize_t count = recv(fd_, chunk, sizeof chunk, 0);
        if (count <= 0)
            return std::nullopt;
        buffered_.append(chunk, static_cast<size_t>(count));
    }
}

std::optional<Json> DaemonClient::nextWhere(const std::function<bool(const Json &)> &wanted, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        auto line = next(std::max(left, milliseconds(0)));
        if (!line || wanted(*line))
            return line;
    }
}

std::optional<Json> DaemonClient::ask(Json request, milliseconds timeout)
{
    const int id = nextId_++;
    request["id"] = id;
    if (!send(request))
        return std::nullopt;
    return nextWhere([id](const Json &line) { return line.contains("id") && line["id"] == id; }, timeout);
}

bool DaemonClient::closedByDaemon(milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        pollfd ready{fd_, POLLIN, 0};
        if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0)
            return false;
        char chunk[65536];
        const ssize_t count = recv(fd_, chunk, sizeof chunk, 0);
        if (count == 0 || (count < 0 && errno == ECONNRESET))
            return true;
    }
}

std::string aimheaddPath() { return AIMHEADD_PATH; }

int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw std::runtime_error("no free TCP port on 127.0.0.1");
    close(fd);
    return ntohs(address.sin_port);
}

// SPDX-License-Identifier: MIT
#include "sockets.h"
#include "text.h"

#include "log.h"
#include "peer_user.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace aimheadd {

namespace {

constexpr int kBacklog = 128;
// Floods of TCP clients wait here rather than be refused by the kernel: the
// servers cap and refuse them themselves, one line each.
constexpr int kTcpBacklog = 1024;
constexpr std::chrono::milliseconds kAcceptPause(200);

[[noreturn]] void fail(const std::string &what, const std::string &reason)
{
    throw std::runtime_error(what + ": " + reason);
}

[[noreturn]] void failClosing(int fd, const std::string &what, const std::string &step)
{
    const int saved = errno;
    close(fd);
    fail(what, step + ": " + aimlink::errorText(saved));
}

sockaddr_un localAddress(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        fail("socket " + path,
             "a socket path must have 1 to " + std::to_string(sizeof address.sun_path - 1) + " characters");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

bool somebodyListens(const sockaddr_un &address)
{
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answered = connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    close(probe);
    return answered;
}

void makeParent(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return;
    const std::string directory = path.substr(0, slash);
    if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST)
        fail("socket directory " + directory, aimlink::errorText(errno));
}

void replaceStale(const std::string &path, const sockaddr_un &address)
{
    struct stat existing {};
    if (lstat(path.c_str(), &existing) != 0)
        return;
    if (!S_ISSOCK(existing.st_mode))
        fail("socket " + path, "something other than a socket is there");
    if (somebodyListens(address))
        fail("socket " + path, "another daemon is listening there");
    unlink(path.c_str());
}

// Clients in the device's group may use the daemon as they may use the device.
void shareWithDeviceGroup(const std::string &path, const std::string &device)
{
    struct stat deviceStatus {};
    if (stat(device.c_str(), &deviceStatus) != 0)
        return;
    if (chown(path.c_str(), static_cast<uid_t>(-1), deviceStatus.st_gid) != 0)
        logLine(Priority::Warning,
                "socket " + path + ": cannot give it the group of " + device + ": " + aimlink::errorText(errno));
}

} // namespace

int listenLocal(const std::string &path, const std::string &device)
{
    const sockaddr_un address = localAddress(path);
    makeParent(path);
    replaceStale(path, address);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        fail("socket " + path, aimlink::errorText(errno));
    // Made with its final mode: it is never reachable more widely, not even
    // until a chmod.
    const mode_t previous = umask(0117);
    const int bound = bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    umask(previous);
    if (bound != 0)
        failClosing(fd, "socket " + path, "bind");
    if (listen(fd, kBacklog) != 0)
        failClosing(fd, "socket " + path, "listen");
    try {
        shareWithDeviceGroup(path, device);
    } catch (...) {
        close(fd);
        throw;
    }
    return fd;
}

HostAndPort splitAddress(const std::string &where)
{
    HostAndPort split{"127.0.0.1", where};
    const size_t colon = where.rfind(':');
    if (colon != std::string::npos) {
        split.host = where.substr(0, colon);
        split.port = where.substr(colon + 1);
        if (split.host.size() >= 2 && split.host.front() == '[' && split.host.back() == ']')
            split.host = split.host.substr(1, split.host.size() - 2);
    }
    return split;
}

int portNumber(const std::string &what, const std::string &port)
{
    size_t used = 0;
    int number = -1;
    try {
        number = std::stoi(port, &used);
    } catch (const std::exception &) {
        used = 0;
    }
    if (port.empty() || used != port.size() || number < 0 || number > 65535)
        fail(what, "the port must be a number from 0 to 65535");
    return number;
}

TcpListening listenTcp(const std::string &what, const std::string &where)
{
    const auto [host, port] = splitAddress(where);
    portNumber(what, port);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0)
        fail(what, "'" + host + "' is not a numeric address");
    TcpListening bound;
    bound.ipv6 = found->ai_family == AF_INET6;
    bound.loopback = isLoopback(found->ai_addr);
    bound.fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int yes = 1;
    const bool listening = bound.fd >= 0 && setsockopt(bound.fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
                           bind(bound.fd, found->ai_addr, found->ai_addrlen) == 0 && listen(bound.fd, kTcpBacklog) == 0;
    freeaddrinfo(found);
    if (!listening) {
        const int saved = errno;
        if (bound.fd >= 0)
            close(bound.fd);
        fail(what, aimlink::errorText(saved));
    }
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(bound.fd, reinterpret_cast<sockaddr *>(&address), &length);
    bound.port = ntohs(bound.ipv6 ? reinterpret_cast<sockaddr_in6 &>(address).sin6_port
                                  : reinterpret_cast<sockaddr_in &>(address).sin_port);
    bound.hostAndPort = (bound.ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(bound.port);
    return bound;
}

Listener::Listener(EventLoop &loop, int fd, std::function<void(int client)> accepted)
    : loop_(loop), fd_(fd), accepted_(std::move(accepted))
{
    loop_.watch(fd_, EPOLLIN, [this](uint32_t) {
        const int client = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client >= 0) {
            accepted_(client);
        } else if (errno == EMFILE || errno == ENFILE) {
            // Out of descriptors: the pending client would wake the loop at
            // once, again and again. Pause accepting until some are freed.
            logLine(Priority::Warning, std::string("accepting a client failed: ") + aimlink::errorText(errno));
            loop_.change(fd_, 0);
            loop_.after(kAcceptPause, [this] { loop_.change(fd_, EPOLLIN); });
        } else if (errno != EAGAIN && errno != ECONNABORTED && errno != EINTR) {
            logLine(Priority::Warning, std::string("accepting a client failed: ") + aimlink::errorText(errno));
        }
    });
}

Listener::~Listener()
{
    loop_.forget(fd_);
    close(fd_);
}

std::string peerName(int fd)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 && credentials.pid > 0)
        return "pid " + std::to_string(credentials.pid) + ", uid " + std::to_string(credentials.uid);
    sockaddr_storage address{};
    length = sizeof address;
    char host[NI_MAXHOST] = "?";
    char port[NI_MAXSERV] = "?";
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        getnameinfo(reinterpret_cast<sockaddr *>(&address), length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV);
    return std::string(host) + ":" + port;
}

} // namespace aimheadd

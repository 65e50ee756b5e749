// SPDX-License-Identifier: MIT
// The daemon as a process and a client of its local socket, for the tests
// and the benchmark.
#ifndef AIMLINK_TESTS_AIMHEADD_SUPPORT_H
#define AIMLINK_TESTS_AIMHEADD_SUPPORT_H

#include "support/process.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;
using std::chrono::milliseconds;

// aimheadd on device with its socket in a fresh directory.
class Daemon : public BackgroundProcess {
public:
    explicit Daemon(const std::string &device, std::vector<std::string> options = {});
    ~Daemon();
    const std::string &socket() const { return socket_; }
    // Descriptors and resident memory (KiB) of the running daemon.
    int openDescriptors() const;
    long residentKiB() const;

private:
    Daemon(const std::string &directory, const std::string &device, std::vector<std::string> options);
    std::string directory_;
    std::string socket_;
};

// One connection to the daemon's local socket.
class DaemonClient {
public:
    explicit DaemonClient(const std::string &socket);
    ~DaemonClient();
    DaemonClient(const DaemonClient &) = delete;
    DaemonClient &operator=(const DaemonClient &) = delete;

    // Sends text and a newline; false when the daemon has closed the connection.
    bool send(const std::string &text);
    bool send(const Json &request) { return send(request.dump()); }
    // The next line from the daemon, parsed; nullopt at the time-out or the end.
    std::optional<Json> next(milliseconds timeout = milliseconds(5000));
    // The next line that matches, skipping others.
    std::optional<Json> nextWhere(const std::function<bool(const Json &)> &wanted,
                                  milliseconds timeout = milliseconds(5000));
    // Sends a request and returns the reply with its id, skipping events.
    std::optional<Json> ask(Json request, milliseconds timeout = milliseconds(5000));
    // True once the daemon has closed the connection (within the time-out).
    bool closedByDaemon(milliseconds timeout = milliseconds(5000));
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    int nextId_ = 1;
    std::string buffered_;
};

std::string aimheaddPath();
// A TCP port on 127.0.0.1 that was free a moment ago.
int freePort();

#endif

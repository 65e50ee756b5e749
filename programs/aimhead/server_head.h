// SPDX-License-Identifier: MIT
// The head through aimheadd, which owns the port: what the JSON requests,
// replies and events on its local socket mean (the socket's lines are
// daemon_line.h's). The daemon initialised the head and keeps polling it;
// this side only reads its state, moves and waits.
#ifndef AIMHEAD_SERVER_HEAD_H
#define AIMHEAD_SERVER_HEAD_H

#include "daemon_line.h"
#include "head.h"

#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace aimhead {

class ServerHead final : public Head {
public:
    explicit ServerHead(std::string socket);
    // A run calls close(), which lets the daemon know; the line's own end
    // only gives the descriptor back.
    ~ServerHead() override = default;

    // Connects, learns the device and watches the head until it answers.
    int open() override;
    int position(aimlink_angles &reported) override;
    int moveTo(aimlink_angles wanted) override;
    int home() override;
    bool lastPosition(aimlink_angles &reported) override;
    void close() override;

private:
    enum class Read { Line, TimedOut, Failed };

    // The next line within the deadline, noted; on Failed the failure line
    // is out and the connection closed.
    Read next(Clock::time_point deadline, nlohmann::json &line);
    // Sends a request with the next id and returns the id; -1 after the
    // failure line.
    int send(nlohmann::json request);
    // The reply to a request sent now, events noted on the way.
    Read ask(nlohmann::json request, Clock::time_point deadline, nlohmann::json &reply);
    void note(const nlohmann::json &line);
    int waitForArrival(nlohmann::json request, aimlink_angles target);
    int fail(const std::string &line);
    // fail(), for a read.
    Read failed(const std::string &line);
    int daemonRefused(const nlohmann::json &reply);
    std::string linkFailure() const;
    std::string lastReported() const;
    void endIfAsked();
    void stopWatching();

    std::string socket_; // escaped, for messages
    std::string path_;
    DaemonLine line_;
    bool watching_ = false;
    int nextId_ = 1;
    std::string device_; // escaped, for messages
    std::string link_;
    std::string reason_;
    std::optional<aimlink_angles> position_;
};

// After the port was refused as in use: when the daemon at the default
// socket serves device, says so on standard error with the option to use.
void pointToDaemon(const std::string &device);

} // namespace aimhead

#endif

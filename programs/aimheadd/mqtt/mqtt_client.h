// SPDX-License-Identifier: MIT
// One connection to an MQTT broker through libmosquitto, driven by the
// daemon's event loop: the library's socket is watched for reading (and for
// writing while it has bytes queued), a timer keeps the keepalive, and a lost
// or refused connection is tried again after 0.1 s, doubling to 30 s until a
// connection has lasted 10 s. No thread of its own, and nothing blocks but
// the name lookup of a connect.
#ifndef AIMHEADD_MQTT_CLIENT_H
#define AIMHEADD_MQTT_CLIENT_H

#include "event_loop.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct mosquitto;
struct mqtt5__property; // NOLINT(bugprone-reserved-identifier): libmosquitto names it so
struct mosquitto_message;

namespace aimheadd::mqtt {

class Client {
public:
    struct Options {
        std::string clientId;
        std::string host;
        int port = 1883;
        std::string caFile; // set for TLS
        std::string user;
        std::string password;
        std::string willTopic; // the last will, retained
        std::string willPayload;
    };
    struct Message {
        std::string topic;
        std::string_view payload;
        bool retained;
        std::string correlation; // MQTT v5 correlation data, empty when none
    };

    // Throws std::runtime_error naming the broker and the reason when the
    // options cannot be set (a CA file that TLS cannot load).
    Client(EventLoop &loop, Options options);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Called on each connection accepted by the broker (subscribe and
    // publish there), and for each message.
    void onConnected(std::function<void()> handler) { connected_ = std::move(handler); }
    void onMessage(std::function<void(const Message &)> handler) { message_ = std::move(handler); }

    // The first attempt; failures are retried in the background.
    void start();
    // Publishes payload and disconnects, waiting at most bound for the bytes
    // to leave.
    void stop(const std::string &topic, const std::string &payload, std::chrono::milliseconds bound);

    bool connected() const { return connected_now_; }
    // QoS 1. Dropped while disconnected: everything is published again at
    // the next connect.
    void publish(const std::string &topic, std::string_view payload, bool retain,
                 const std::string &correlation = std::string());
    void subscribe(const std::string &topic, bool retainAsPublished);

private:
    static void connectCallback(mosquitto *, void *self, int rc, int flags, const mqtt5__property *);
    static void disconnectCallback(mosquitto *, void *self, int rc, const mqtt5__property *);
    static void messageCallback(mosquitto *, void *self, const mosquitto_message *message,
                                const mqtt5__property *properties);

    void attempt();
    void watchSocket();
    void forgetSocket();
    void onReady(uint32_t events);
    void flush();
    void keepAlive();
    void lost(int rc);
    void weighUp(std::chrono::steady_clock::duration lasted);
    void retryLater();

    EventLoop &loop_;
    Options options_;
    mosquitto *mosq_ = nullptr;
    int fd_ = -1;
    bool writing_ = false;
    bool connected_now_ = false;
    bool stopping_ = false;
    bool lostLogged_ = false;
    std::chrono::milliseconds backoff_;
    std::chrono::steady_clock::time_point connectedAt_;
    int shortLived_ = 0; // connections in a row lost right after they were taken
    std::optional<EventLoop::TimerId> retry_;
    std::optional<EventLoop::TimerId> keepalive_;
    std::function<void()> connected_;
    std::function<void(const Message &)> message_;
};

} // namespace aimheadd::mqtt

#endif

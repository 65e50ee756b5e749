// SPDX-License-Identifier: MIT
#include "mqtt_client.h"

#include "log.h"

#include <algorithm>
#include <stdexcept>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/epoll.h>

namespace aimheadd::mqtt {

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{100};
constexpr std::chrono::milliseconds kLongestBackoff{30000};
constexpr int kKeepaliveSeconds = 30;
// A connection that lasted this long counts as working, and the next loss
// is tried again quickly; one lost sooner keeps the back-off growing.
constexpr std::chrono::seconds kSteadyConnection{10};
// Lost this soon after the broker took it, kShortLivedInARow times over:
// something ends each session, most often a second daemon with the id.
constexpr std::chrono::seconds kShortLived{1};
constexpr int kShortLivedInARow = 3;
// loop_misc sends the ping once the keepalive has passed since the last
// packet; a check every few seconds is early enough and costs nothing.
constexpr std::chrono::seconds kKeepaliveCheck{5};

std::string brokerName(const Client::Options &options)
{
    return "broker " + options.host + ":" + std::to_string(options.port);
}

// libmosquitto keeps its state per process: set up once, for good.
void initialiseLibrary()
{
    static const int once = mosquitto_lib_init();
    (void)once;
}

} // namespace

Client::Client(EventLoop &loop, Options options) : loop_(loop), options_(std::move(options)), backoff_(kFirstBackoff)
{
    initialiseLibrary();
    mosq_ = mosquitto_new(options_.clientId.c_str(), true, this);
    if (mosq_ == nullptr)
        throw std::runtime_error(brokerName(options_) + ": cannot create the MQTT client");
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(mosq_, connectCallback);
    mosquitto_disconnect_v5_callback_set(mosq_, disconnectCallback);
    mosquitto_message_v5_callback_set(mosq_, messageCallback);
    if (!options_.caFile.empty() &&
        mosquitto_tls_set(mosq_, options_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error(brokerName(options_) + ": cannot use the CA file " + options_.caFile);
    if (!options_.user.empty())
        mosquitto_username_pw_set(mosq_, options_.user.c_str(), options_.password.c_str());
    if (!options_.willTopic.empty())
        mosquitto_will_set_v5(mosq_, options_.willTopic.c_str(), static_cast<int>(options_.willPayload.size()),
                              options_.willPayload.data(), 1, true, nullptr);
}

Client::~Client()
{
    forgetSocket();
    for (const auto &timer : {retry_, keepalive_})
        if (timer)
            loop_.cancel(*timer);
    mosquitto_destroy(mosq_);
}

void Client::start()
{
    keepalive_ = loop_.after(kKeepaliveCheck, [this] { keepAlive(); });
    attempt();
}

void Client::attempt()
{
    retry_.reset();
    const int rc = mosquitto_connect_async(mosq_, options_.host.c_str(), options_.port, kKeepaliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        lost(rc);
        return;
    }
    watchSocket();
}

void Client::watchSocket()
{
    forgetSocket();
    fd_ = mosquitto_socket(mosq_);
    if (fd_ < 0)
        return;
    writing_ = mosquitto_want_write(mosq_);
    loop_.watch(fd_, EPOLLIN | (writing_ ? EPOLLOUT : 0U), [this](uint32_t events) { onReady(events); });
}

void Client::forgetSocket()
{
    if (fd_ >= 0)
        loop_.forget(fd_);
    fd_ = -1;
}

void Client::onReady(uint32_t events)
{
    if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0 && mosquitto_loop_read(mosq_, 16) != MOSQ_ERR_SUCCESS)
        return; // the disconnect callback has taken it from here
    flush();
}

// Writes what is queued, and watches for room while some is left.
void Client::flush()
{
    if (fd_ < 0)
        return;
    if (mosquitto_want_write(mosq_) && mosquitto_loop_write(mosq_, 16) != MOSQ_ERR_SUCCESS)
        return;
    const bool wantWrite = fd_ >= 0 && mosquitto_want_write(mosq_);
    if (fd_ >= 0 && wantWrite != writing_) {
        writing_ = wantWrite;
        loop_.change(fd_, EPOLLIN | (writing_ ? EPOLLOUT : 0U));
    }
}

void Client::keepAlive()
{
    keepalive_ = loop_.after(kKeepaliveCheck, [this] { keepAlive(); });
    if (fd_ >= 0 && mosquitto_loop_misc(mosq_) == MOSQ_ERR_SUCCESS)
        flush();
}

void Client::connectCallback(mosquitto *, void *self, int rc, int, const mqtt5__property *)
{
    auto &client = *static_cast<Client *>(self);
    if (rc != 0) {
        // The broker refused (bad credentials, not allowed): it will say
        // so again, so the back-off applies as to any failure, and the
        // log says it once until a connection succeeds.
        if (!client.lostLogged_)
            logLine(Priority::Warning, brokerName(client.options_) + ": refused the connection: " +
                                           mosquitto_reason_string(rc) + "; trying again with back-off");
        client.lostLogged_ = true;
        return;
    }
    client.connected_now_ = true;
    client.connectedAt_ = std::chrono::steady_clock::now();
    client.lostLogged_ = false;
    logLine(Priority::Notice, "connected to " + brokerName(client.options_));
    // libmosquitto holds its own locks around a callback: what the handler
    // publishes waits until the library has returned.
    client.loop_.defer([&client] {
        if (client.connected_now_ && client.connected_)
            client.connected_();
    });
}

void Client::disconnectCallback(mosquitto *, void *self, int rc, const mqtt5__property *)
{
    auto &client = *static_cast<Client *>(self);
    client.forgetSocket();
    const bool was = client.connected_now_;
    client.connected_now_ = false;
    if (client.stopping_)
        return;
    if (was) {
        client.lostLogged_ = false;
        client.weighUp(std::chrono::steady_clock::now() - client.connectedAt_);
    }
    client.lost(rc);
}

// How long the lost connection lasted sets the back-off: the broker that
// comes back after a restart is met again at once, and two daemons given one
// --mqtt-id, each taking the session from the other, slow down to a try
// every 30 s instead of fighting ten times a second. The second case is said.
void Client::weighUp(std::chrono::steady_clock::duration lasted)
{
    if (lasted >= kSteadyConnection)
        backoff_ = kFirstBackoff;
    shortLived_ = lasted < kShortLived ? shortLived_ + 1 : 0;
    if (shortLived_ == kShortLivedInARow)
        logLine(Priority::Error, brokerName(options_) + ": the connection is closed right after each connect (" +
                                     std::to_string(kShortLivedInARow) + " times): is the client id '" +
                                     options_.clientId +
                                     "' also used by another daemon (one --mqtt-id on two heads), or does the "
                                     "broker refuse what this one sends?");
}

void Client::lost(int rc)
{
    connected_now_ = false;
    if (!lostLogged_) {
        std::string reason = rc == MOSQ_ERR_ERRNO ? "cannot connect" : mosquitto_strerror(rc);
        if (reason.ends_with('.'))
            reason.pop_back(); // "The connection was lost."
        logLine(Priority::Warning, brokerName(options_) + ": " + reason + "; trying again with back-off");
        lostLogged_ = true;
    }
    retryLater();
}

void Client::retryLater()
{
    if (retry_ || stopping_)
        return;
    retry_ = loop_.after(backoff_, [this] { attempt(); });
    backoff_ = std::min(backoff_ * 2, kLongestBackoff);
}

void Client::messageCallback(mosquitto *, void *self, const mosquitto_message *message,
                             const mqtt5__property *properties)
{
    auto &client = *static_cast<Client *>(self);
    if (!client.message_)
        return;
    void *data = nullptr;
    uint16_t length = 0;
    std::string correlation;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length, false) != nullptr) {
        correlation.assign(static_cast<const char *>(data), length);
        free(data); // NOLINT(cppcoreguidelines-no-malloc): the library allocates it so
    }
    // Handled once the library has returned, as a connection is.
    client.loop_.defer([&client, topic = std::string(message->topic),
                        payload = std::string(static_cast<const char *>(message->payload),
                                              static_cast<std::size_t>(message->payloadlen)),
                        retained = message->retain, correlation = std::move(correlation)] {
        if (!client.stopping_ && client.message_)
            client.message_({topic, payload, retained, correlation});
    });
}

void Client::publish(const std::string &topic, std::string_view payload, bool retain, const std::string &correlation)
{
    if (!connected_now_)
        return;
    mosquitto_property *properties = nullptr;
    if (!correlation.empty())
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<uint16_t>(correlation.size()));
    mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain,
                         properties);
    mosquitto_property_free_all(&properties);
    flush();
}

void Client::subscribe(const std::string &topic, bool retainAsPublished)
{
    mosquitto_subscribe_v5(mosq_, nullptr, topic.c_str(), 1, retainAsPublished ? MQTT_SUB_OPT_RETAIN_AS_PUBLISHED : 0,
                           nullptr);
    flush();
}

void Client::stop(const std::string &topic, const std::string &payload, std::chrono::milliseconds bound)
{
    if (retry_)
        loop_.cancel(*retry_);
    retry_.reset();
    if (connected_now_) {
        publish(topic, payload, true);
        const auto deadline = Clock::now() + bound;
        // Bounded: the daemon is ending and may not wait long for a broker.
        while (fd_ >= 0 && mosquitto_want_write(mosq_) && Clock::now() < deadline) {
            pollfd ready{fd_, POLLOUT, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (poll(&ready, 1, static_cast<int>(std::max<int64_t>(left.count(), 1))) <= 0 ||
                mosquitto_loop_write(mosq_, 16) != MOSQ_ERR_SUCCESS)
                break;
        }
    }
    stopping_ = true;
    mosquitto_disconnect(mosq_);
    forgetSocket();
}

} // namespace aimheadd::mqtt

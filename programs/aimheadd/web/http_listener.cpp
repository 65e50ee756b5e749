// SPDX-License-Identifier: MIT
#include "http_listener.h"

#include "peer_user.h"
#include "sockets.h"
#include "text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <list>
#include <stdexcept>
#include <unordered_map>

#include <microhttpd.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace aimheadd {

void HttpStream::send(std::string_view text)
{
    if (finished_)
        return;
    if (pending_.size() + text.size() > maxPending_) {
        finish();
        return;
    }
    pending_.append(text);
    if (wake_)
        wake_();
}

void HttpStream::finish()
{
    if (finished_)
        return;
    finished_ = true;
    pending_.clear();
    if (wake_)
        wake_();
    if (auto action = std::move(onFinished_))
        action();
}

std::size_t HttpStream::take(char *into, std::size_t room)
{
    const std::size_t taken = std::min(room, pending_.size());
    pending_.copy(into, taken);
    pending_.erase(0, taken);
    return taken;
}

namespace {

// Beyond the cap, this many more are accepted only to be told 503; past
// them, clients wait in the backlog until a place is free.
constexpr unsigned kRefusalSlots = 16;
// A connection that has waited this long for its request may lose its
// place to a new one when all places are taken.
constexpr std::chrono::milliseconds kEvictableAfter(100);

[[noreturn]] void fail(const std::string &what, const std::string &reason)
{
    throw std::runtime_error(what + ": " + reason);
}

// A client whose whole request head sits unread in its socket has sent it:
// the server is behind, not the client slow, and it keeps its place.
bool requestSitsUnread(int fd)
{
    std::array<char, 8192> peeked{};
    const ssize_t got = recv(fd, peeked.data(), peeked.size(), MSG_PEEK | MSG_DONTWAIT);
    return got > 0 &&
           std::string_view(peeked.data(), static_cast<std::size_t>(got)).find("\r\n\r\n") != std::string_view::npos;
}

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string numericHost(const sockaddr *address, socklen_t length)
{
    char host[NI_MAXHOST] = "?";
    getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    std::string text = host;
    if (text.rfind("::ffff:", 0) == 0 && text.find('.') != std::string::npos)
        text.erase(0, 7);
    return text;
}

HttpResponse refusal(int status, const std::string &message)
{
    HttpResponse response;
    response.status = status;
    response.body = nlohmann::json{{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return response;
}

// The name and the port of a Host header: "name", "name:port", "[v6]" or
// "[v6]:port". An empty name when it is none of these.
struct HostHeader {
    std::string name;
    std::string port;
};

HostHeader parseHost(const std::string &host)
{
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos || (close + 1 < host.size() && host[close + 1] != ':'))
            return {};
        return {lowered(host.substr(1, close - 1)), close + 1 < host.size() ? host.substr(close + 2) : ""};
    }
    const size_t colon = host.find(':');
    if (colon == std::string::npos)
        return {lowered(host), ""};
    if (host.find(':', colon + 1) != std::string::npos)
        return {};
    return {lowered(host.substr(0, colon)), host.substr(colon + 1)};
}

struct HeaderTally {
    unsigned count = 0;
    std::size_t bytes = 0;
};

MHD_Result tallyHeader(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    auto *tally = static_cast<HeaderTally *>(cls);
    ++tally->count;
    tally->bytes += std::strlen(key) + (value == nullptr ? 0 : std::strlen(value)) + 4;
    return MHD_YES;
}

MHD_Result collectHeader(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    static_cast<std::map<std::string, std::string> *>(cls)->emplace(lowered(key), value == nullptr ? "" : value);
    return MHD_YES;
}

} // namespace

struct HttpListener::Impl {
    // One client's connection, from accept to close.
    struct Connection {
        MHD_Connection *mhd = nullptr;
        int fd = -1;
        std::string address;
        std::string localAddress;
        bool loopback = false;
        bool localLoopback = false;
        bool waiting = true; // for a whole request
        bool evicted = false;
        bool overCap = false;
        Clock::time_point waitingSince = Clock::now();
        EventLoop::TimerId deadline = 0;
        std::optional<std::optional<uid_t>> uid; // looked up once, when first needed
    };
    // A stream's link to the connection sending it.
    struct StreamLink {
        Impl *impl = nullptr;
        MHD_Connection *mhd = nullptr;
        std::shared_ptr<HttpStream> stream;
        bool suspended = false;
        bool gone = false;
    };
    // One request, from its request line to its completion.
    struct Exchange {
        std::string uri;
        Connection *connection = nullptr;
        bool started = false;
        bool answered = false;
        bool bodyTooBig = false;
        std::optional<HttpResponse> refused;
        std::string body;
        std::shared_ptr<StreamLink> link;
    };

    Impl(EventLoop &loop, Options options, Handler handler);
    ~Impl();

    void run();
    void scheduleRun()
    {
        loop.defer([this, alive = std::weak_ptr<char>(lifetime)] {
            if (alive.lock())
                run();
        });
    }
    void armDeadline(Connection &connection);
    void connectionStarted(MHD_Connection *mhd, void **context);
    void connectionClosed(Connection *connection);
    bool overCap(const Connection &incoming, bool mayEvict);
    bool evictOne(const std::string *address);
    void keepAccepting();
    bool stillOverCap(Connection &connection);
    std::optional<HttpResponse> check(Exchange &exchange, MHD_Connection *mhd);
    std::optional<HttpResponse> checkHost(const Connection &connection, MHD_Connection *mhd) const;
    MHD_Result answer(MHD_Connection *mhd, const char *url, const char *method, const char *upload, size_t *size,
                      Exchange &exchange);
    HttpRequest request(MHD_Connection *mhd, const char *url, const char *method, Exchange &exchange);
    MHD_Result queue(MHD_Connection *mhd, Exchange &exchange, HttpResponse response);
    MHD_Response *streamResponse(MHD_Connection *mhd, Exchange &exchange, std::shared_ptr<HttpStream> stream);
    void completed(Exchange *exchange);

    // MHD's callbacks, with this as their first argument.
    static void *uriSeen(void *self, const char *uri, MHD_Connection *mhd);
    static MHD_Result accessHandler(void *self, MHD_Connection *mhd, const char *url, const char *method,
                                    const char *version, const char *upload, size_t *size, void **context);
    static void requestCompleted(void *self, MHD_Connection *mhd, void **context, MHD_RequestTerminationCode code);
    static void connectionNotice(void *self, MHD_Connection *mhd, void **context, MHD_ConnectionNotificationCode code);
    static ssize_t readStream(void *cls, uint64_t position, char *into, size_t room);
    static void freeStream(void *cls);

    EventLoop &loop;
    Options options;
    Handler handler;
    TcpListening bound;
    MHD_Daemon *daemon = nullptr;
    int epoll = -1;
    EventLoop::TimerId timer = 0;
    EventLoop::TimerId evictTimer = 0;
    std::list<Connection> connections;
    std::unordered_map<std::string, unsigned> perAddress;
    std::vector<std::weak_ptr<StreamLink>> links;
    // Deferred runs check it: the loop may outlive the listener.
    std::shared_ptr<char> lifetime = std::make_shared<char>();
};

HttpListener::Impl::Impl(EventLoop &loop_, Options options_, Handler handler_)
    : loop(loop_), options(std::move(options_)), handler(std::move(handler_))
{
    const std::string what = options.name + " address " + options.where;
    bound = listenTcp(what, options.where);
    const HttpLimits &limits = options.limits;
    const auto memory = static_cast<size_t>(limits.maxRequestLine + limits.maxHeaderBlock + 4096);
    const unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | (bound.ipv6 ? MHD_USE_IPv6 : 0);
    daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &accessHandler, this, MHD_OPTION_LISTEN_SOCKET, bound.fd,
                              MHD_OPTION_CONNECTION_LIMIT, limits.maxConnections + kRefusalSlots,
                              MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(limits.idleTimeout.count()),
                              MHD_OPTION_CONNECTION_MEMORY_LIMIT, memory, MHD_OPTION_URI_LOG_CALLBACK, &uriSeen, this,
                              MHD_OPTION_NOTIFY_COMPLETED, &requestCompleted, this, MHD_OPTION_NOTIFY_CONNECTION,
                              &connectionNotice, this, MHD_OPTION_END);
    if (daemon == nullptr) {
        close(bound.fd);
        fail(what, "the HTTP server does not start");
    }
    epoll = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
    loop.watch(epoll, EPOLLIN, [this](uint32_t) { run(); });
}

HttpListener::Impl::~Impl()
{
    loop.forget(epoll);
    loop.cancel(timer);
    loop.cancel(evictTimer);
    // MHD stops only with no connection suspended: the streams end first.
    for (const auto &weak : links)
        if (const auto link = weak.lock()) {
            link->stream->finish();
            if (link->suspended) {
                link->suspended = false;
                MHD_resume_connection(link->mhd);
            }
        }
    MHD_run(daemon);
    MHD_stop_daemon(daemon);
    close(bound.fd);
}

// One round of MHD's work, then a timer for its next time-out: it has no
// thread to keep time itself.
void HttpListener::Impl::run()
{
    MHD_run(daemon);
    loop.cancel(timer);
    timer = 0;
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (MHD_get_timeout(daemon, &ms) == MHD_YES)
        timer = loop.after(std::chrono::milliseconds(ms), [this] {
            timer = 0;
            run();
        });
}

// Trickling bytes keeps a connection from MHD's idle time-out; this one
// counts from the start of the request, so a slow client is dropped anyway.
void HttpListener::Impl::armDeadline(Connection &connection)
{
    loop.cancel(connection.deadline);
    connection.waiting = true;
    connection.waitingSince = Clock::now();
    connection.deadline = loop.after(options.limits.requestTimeout, [this, &connection] {
        connection.deadline = 0;
        shutdown(connection.fd, SHUT_RDWR);
        scheduleRun();
    });
}

void HttpListener::Impl::connectionStarted(MHD_Connection *mhd, void **context)
{
    Connection &connection = connections.emplace_back();
    connection.mhd = mhd;
    connection.fd = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CONNECTION_FD)->connect_fd;
    const sockaddr *peer = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CLIENT_ADDRESS)->client_addr;
    connection.address = numericHost(peer, bound.ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    connection.loopback = isLoopback(peer);
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(connection.fd, reinterpret_cast<sockaddr *>(&local), &length);
    connection.localAddress = numericHost(reinterpret_cast<sockaddr *>(&local), length);
    connection.localLoopback = isLoopback(reinterpret_cast<sockaddr *>(&local));
    connection.overCap = overCap(connection, true);
    ++perAddress[connection.address];
    armDeadline(connection);
    *context = &connection;
    keepAccepting();
}

// With every one of MHD's places taken, MHD stops accepting, and a client
// behind a burst of slow ones would wait in the backlog until their
// deadlines: the oldest of them gives its place up as soon as it may.
void HttpListener::Impl::keepAccepting()
{
    loop.cancel(evictTimer);
    evictTimer = 0;
    if (connections.size() < options.limits.maxConnections + kRefusalSlots || evictOne(nullptr))
        return;
    const auto oldest = std::min_element(connections.begin(), connections.end(), [](const auto &a, const auto &b) {
        return std::make_pair(a.evicted || !a.waiting, a.waitingSince) <
               std::make_pair(b.evicted || !b.waiting, b.waitingSince);
    });
    if (oldest->evicted || !oldest->waiting)
        return; // MHD accepts again once a request ends
    // The oldest may have been spared for a request the server has not read
    // yet: look again once it has had time to.
    const auto due = std::max(oldest->waitingSince + kEvictableAfter, Clock::now() + kEvictableAfter / 4);
    evictTimer = loop.at(due, [this] {
        evictTimer = 0;
        keepAccepting();
    });
}

void HttpListener::Impl::connectionClosed(Connection *connection)
{
    if (connection == nullptr)
        return;
    loop.cancel(connection->deadline);
    if (!connection->evicted && --perAddress[connection->address] == 0)
        perAddress.erase(connection->address);
    connections.remove_if([connection](const Connection &each) { return &each == connection; });
    if (evictTimer != 0 && connections.size() < options.limits.maxConnections + kRefusalSlots) {
        loop.cancel(evictTimer);
        evictTimer = 0;
    }
    // MHD takes its listening socket back only in a round of its own, and
    // nothing else may wake it while every client is slow.
    scheduleRun();
}

// When every place is taken, the longest-waiting client that has not sent
// its request may give its place up; when none does, the newcomer is refused.
bool HttpListener::Impl::overCap(const Connection &incoming, bool mayEvict)
{
    const HttpLimits &limits = options.limits;
    const auto found = perAddress.find(incoming.address);
    const unsigned fromAddress = found == perAddress.end() ? 0 : found->second;
    if (fromAddress >= limits.maxPerAddress && !(mayEvict && evictOne(&incoming.address)))
        return true;
    unsigned total = 0;
    for (const auto &[address, count] : perAddress)
        total += count;
    return total >= limits.maxConnections && !(mayEvict && evictOne(nullptr));
}

// A client refused a place at accept may have one by the time its request
// is read: the burst that filled the places has often been answered since.
// It takes a free place only: the clients read in the same round as this
// one have sent their requests too, and must not lose theirs to it.
bool HttpListener::Impl::stillOverCap(Connection &connection)
{
    --perAddress[connection.address];
    connection.overCap = overCap(connection, false);
    ++perAddress[connection.address];
    return connection.overCap;
}

bool HttpListener::Impl::evictOne(const std::string *address)
{
    const auto now = Clock::now();
    Connection *oldest = nullptr;
    for (Connection &each : connections)
        if (each.waiting && !each.evicted && each.mhd != nullptr && now - each.waitingSince >= kEvictableAfter &&
            (address == nullptr || each.address == *address) &&
            (oldest == nullptr || each.waitingSince < oldest->waitingSince) && !requestSitsUnread(each.fd))
            oldest = &each;
    if (oldest == nullptr)
        return false;
    oldest->evicted = true;
    if (--perAddress[oldest->address] == 0)
        perAddress.erase(oldest->address);
    shutdown(oldest->fd, SHUT_RDWR);
    scheduleRun();
    return true;
}

std::optional<HttpResponse> HttpListener::Impl::checkHost(const Connection &connection, MHD_Connection *mhd) const
{
    const char *sent = MHD_lookup_connection_value(mhd, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    const HostHeader host = parseHost(sent == nullptr ? "" : sent);
    const bool known = host.name == lowered(connection.localAddress) ||
                       (connection.localLoopback && host.name == "localhost") ||
                       std::any_of(options.hosts.begin(), options.hosts.end(),
                                   [&](const std::string &name) { return lowered(name) == host.name; });
    if (known && !host.name.empty() && (host.port.empty() || host.port == std::to_string(bound.port)))
        return std::nullopt;
    return refusal(421, "this server does not answer to the host '" + std::string(sent == nullptr ? "" : sent) +
                            "' (see " + options.hostOption + ")");
}

// What is refused before any handler sees the request.
std::optional<HttpResponse> HttpListener::Impl::check(Exchange &exchange, MHD_Connection *mhd)
{
    const HttpLimits &limits = options.limits;
    if (exchange.connection->overCap && stillOverCap(*exchange.connection)) {
        HttpResponse busy = refusal(503, "too many connections; try again");
        busy.headers = {{"Retry-After", "1"}, {"Connection", "close"}};
        return busy;
    }
    if (exchange.uri.size() > limits.maxRequestLine)
        return refusal(414, "the request target is over " + std::to_string(limits.maxRequestLine) + " bytes");
    HeaderTally tally;
    MHD_get_connection_values(mhd, MHD_HEADER_KIND, &tallyHeader, &tally);
    if (tally.count > limits.maxHeaders || tally.bytes > limits.maxHeaderBlock)
        return refusal(431, "the headers are over " + std::to_string(limits.maxHeaders) + " fields or " +
                                std::to_string(limits.maxHeaderBlock) + " bytes");
    if (auto wrongHost = checkHost(*exchange.connection, mhd))
        return wrongHost;
    const char *length = MHD_lookup_connection_value(mhd, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length != nullptr && std::strtoull(length, nullptr, 10) > limits.maxBody)
        return refusal(413, "the body is over " + std::to_string(limits.maxBody) + " bytes");
    return std::nullopt;
}

MHD_Result HttpListener::Impl::answer(MHD_Connection *mhd, const char *url, const char *method, const char *upload,
                                      size_t *size, Exchange &exchange)
{
    if (!exchange.started) {
        exchange.started = true;
        if (auto refused = check(exchange, mhd))
            return queue(mhd, exchange, std::move(*refused));
        return MHD_YES;
    }
    if (*size != 0) {
        // Past the limit the rest is read and dropped, so that the client
        // hears 413 rather than a reset; the request deadline bounds it.
        if (!exchange.answered && !exchange.bodyTooBig && exchange.body.size() + *size <= options.limits.maxBody)
            exchange.body.append(upload, *size);
        else
            exchange.bodyTooBig = true;
        *size = 0;
        return MHD_YES;
    }
    if (exchange.answered)
        return MHD_YES;
    loop.cancel(exchange.connection->deadline);
    exchange.connection->deadline = 0;
    if (exchange.bodyTooBig)
        return queue(mhd, exchange,
                     refusal(413, "the body is over " + std::to_string(options.limits.maxBody) + " bytes"));
    return queue(mhd, exchange, handler(request(mhd, url, method, exchange)));
}

HttpRequest HttpListener::Impl::request(MHD_Connection *mhd, const char *url, const char *method, Exchange &exchange)
{
    Connection &connection = *exchange.connection;
    HttpRequest request;
    request.method = method;
    request.path = url;
    const size_t question = exchange.uri.find('?');
    if (question != std::string::npos)
        request.query = exchange.uri.substr(question + 1);
    MHD_get_connection_values(mhd, MHD_HEADER_KIND, &collectHeader, &request.headers);
    request.host = request.headers["host"];
    request.body = std::move(exchange.body);
    request.peerAddress = connection.address;
    request.loopback = connection.loopback;
    if (connection.loopback && !connection.uid)
        connection.uid.emplace(loopbackPeerUid(connection.fd));
    if (connection.uid)
        request.peerUid = *connection.uid;
    return request;
}

MHD_Response *HttpListener::Impl::streamResponse(MHD_Connection *mhd, Exchange &exchange,
                                                 std::shared_ptr<HttpStream> stream)
{
    auto link = std::make_shared<StreamLink>();
    link->impl = this;
    link->mhd = mhd;
    link->stream = std::move(stream);
    exchange.link = link;
    std::erase_if(links, [](const auto &weak) { return weak.expired(); });
    links.push_back(link);
    link->stream->wakeWith([weak = std::weak_ptr<StreamLink>(link)] {
        const auto alive = weak.lock();
        if (!alive || alive->gone || !alive->suspended)
            return;
        alive->suspended = false;
        MHD_resume_connection(alive->mhd);
        alive->impl->scheduleRun();
    });
    return MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &readStream, new std::shared_ptr<StreamLink>(link),
                                             &freeStream);
}

MHD_Result HttpListener::Impl::queue(MHD_Connection *mhd, Exchange &exchange, HttpResponse response)
{
    exchange.answered = true;
    // Answered, if only with a refusal: no longer a client that holds a
    // place without sending, whose place a newcomer may take.
    exchange.connection->waiting = false;
    MHD_Response *sent = response.stream ? streamResponse(mhd, exchange, std::move(response.stream))
                                         : MHD_create_response_from_buffer(response.body.size(), response.body.data(),
                                                                           MHD_RESPMEM_MUST_COPY);
    if (sent == nullptr)
        return MHD_NO;
    MHD_add_response_header(sent, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
    for (const auto &[name, value] : response.headers)
        MHD_add_response_header(sent, name.c_str(), value.c_str());
    const MHD_Result queued = MHD_queue_response(mhd, static_cast<unsigned>(response.status), sent);
    MHD_destroy_response(sent);
    return queued;
}

void HttpListener::Impl::completed(Exchange *exchange)
{
    if (exchange == nullptr)
        return;
    if (exchange->link) {
        exchange->link->gone = true;
        exchange->link->stream->finish();
    }
    if (exchange->connection != nullptr && !exchange->connection->evicted) {
        armDeadline(*exchange->connection);
        // A client between requests has had its answer: it is the first to
        // give its place up to a newcomer.
        exchange->connection->waitingSince -= kEvictableAfter;
    }
    delete exchange;
}

void *HttpListener::Impl::uriSeen(void *, const char *uri, MHD_Connection *mhd)
{
    auto *exchange = new Exchange;
    exchange->uri = uri;
    if (const auto *info = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_SOCKET_CONTEXT))
        exchange->connection = static_cast<Connection *>(info->socket_context);
    return exchange;
}

MHD_Result HttpListener::Impl::accessHandler(void *self, MHD_Connection *mhd, const char *url, const char *method,
                                             const char *, const char *upload, size_t *size, void **context)
{
    auto *exchange = static_cast<Exchange *>(*context);
    if (exchange == nullptr || exchange->connection == nullptr)
        return MHD_NO;
    return static_cast<Impl *>(self)->answer(mhd, url, method, upload, size, *exchange);
}

void HttpListener::Impl::requestCompleted(void *self, MHD_Connection *, void **context, MHD_RequestTerminationCode)
{
    static_cast<Impl *>(self)->completed(static_cast<Exchange *>(*context));
    *context = nullptr;
}

void HttpListener::Impl::connectionNotice(void *self, MHD_Connection *mhd, void **context,
                                          MHD_ConnectionNotificationCode code)
{
    auto *impl = static_cast<Impl *>(self);
    if (code == MHD_CONNECTION_NOTIFY_STARTED)
        impl->connectionStarted(mhd, context);
    else
        impl->connectionClosed(static_cast<Connection *>(*context));
}

ssize_t HttpListener::Impl::readStream(void *cls, uint64_t, char *into, size_t room)
{
    auto &link = **static_cast<std::shared_ptr<StreamLink> *>(cls);
    const std::size_t taken = link.stream->take(into, room);
    if (taken > 0)
        return static_cast<ssize_t>(taken);
    if (link.stream->finished())
        return MHD_CONTENT_READER_END_OF_STREAM;
    // Nothing to send: out of MHD's polling until the stream wakes it.
    link.suspended = true;
    MHD_suspend_connection(link.mhd);
    return 0;
}

void HttpListener::Impl::freeStream(void *cls) { delete static_cast<std::shared_ptr<StreamLink> *>(cls); }

HttpListener::HttpListener(EventLoop &loop, Options options, Handler handler)
    : impl_(std::make_unique<Impl>(loop, std::move(options), std::move(handler)))
{
}

HttpListener::~HttpListener() = default;

const std::string &HttpListener::hostAndPort() const { return impl_->bound.hostAndPort; }

uint16_t HttpListener::port() const { return impl_->bound.port; }

bool HttpListener::loopbackOnly() const { return impl_->bound.loopback; }

} // namespace aimheadd

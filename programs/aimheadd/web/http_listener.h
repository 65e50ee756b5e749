// SPDX-License-Identifier: MIT
// One HTTP port of the daemon, served by libmicrohttpd from the daemon's own
// event loop: no thread of its own, every handler runs on the loop's thread.
// The listener bounds what a client may send before any handler runs (the
// request line, each header, the header count and block, the body, chunked or
// not), drops clients that send too slowly, caps connections in all and per
// address, and checks the Host header against the names this port answers to.
// The web page and the ONVIF device each run one on a port of their own.
#ifndef AIMHEADD_HTTP_LISTENER_H
#define AIMHEADD_HTTP_LISTENER_H

#include "event_loop.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace aimheadd {

struct HttpRequest {
    std::string method;                         // as sent: "GET", "POST", ...
    std::string path;                           // without the query
    std::string query;                          // after '?', undecoded; empty when none
    std::string host;                           // the Host header as sent, checked already
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;                           // whole, within the listener's limit
    std::string peerAddress;                    // numeric, without the port
    bool loopback = false;                      // the peer is on this machine's loopback
    std::optional<uid_t> peerUid;               // the user owning the peer's socket, on loopback
};

// The open-ended body of a response, such as an event stream: what send()
// is given goes out as the client takes it. The listener finishes it when
// the client goes away; its owner may finish it at any time.
class HttpStream {
public:
    explicit HttpStream(std::size_t maxPending = 65536) : maxPending_(maxPending) {}
    // Queues text. A client that leaves more than maxPending bytes untaken
    // is not keeping up: its stream is finished instead.
    void send(std::string_view text);
    void finish();
    bool finished() const { return finished_; }
    // Called once, when the stream finishes for whatever reason.
    void onFinished(std::function<void()> action) { onFinished_ = std::move(action); }

    // For the listener: moves up to room queued bytes into into, and asks
    // to be woken when there is more to send or the stream finishes.
    std::size_t take(char *into, std::size_t room);
    void wakeWith(std::function<void()> wake) { wake_ = std::move(wake); }

private:
    std::size_t maxPending_;
    std::string pending_;
    bool finished_ = false;
    std::function<void()> wake_;
    std::function<void()> onFinished_;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers; // added after the listener's own
    std::shared_ptr<HttpStream> stream;                       // when set, sent instead of body, as it comes
};

struct HttpLimits {
    std::size_t maxBody = 4096;
    std::size_t maxRequestLine = 8192;
    std::size_t maxHeaderBlock = 16384;
    unsigned maxConnections = 64;
    unsigned maxPerAddress = 16;
    std::chrono::seconds idleTimeout{5}; // a client silent this long mid-request is dropped
    unsigned maxHeaders = 64;
    // A client must send each whole request within this; trickling bytes
    // does not extend it.
    std::chrono::seconds requestTimeout{5};
};

class HttpListener {
public:
    using Handler = std::function<HttpResponse(const HttpRequest &)>;

    struct Options {
        std::string where;              // [ADDR:]PORT; ADDR defaults to 127.0.0.1, PORT 0 takes any free port
        std::vector<std::string> hosts; // further names the Host header may carry, beside the bound address
                                        // and, on loopback, "localhost"
        HttpLimits limits;
        std::string name = "web";               // in messages, as in "web address 127.0.0.1:80: ..."
        std::string hostOption = "--http-host"; // named when a Host is refused
    };

    // Binds the port and starts answering from loop. Throws
    // std::runtime_error naming the address and the reason.
    HttpListener(EventLoop &loop, Options options, Handler handler);
    ~HttpListener();
    HttpListener(const HttpListener &) = delete;
    HttpListener &operator=(const HttpListener &) = delete;

    // The bound address and port, as in "127.0.0.1:8080" or "[::1]:8080".
    const std::string &hostAndPort() const;
    uint16_t port() const;
    bool loopbackOnly() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace aimheadd

#endif

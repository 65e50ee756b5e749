// SPDX-License-Identifier: MIT
// The web page and its small HTTP API: the head's state, moves, home and
// presets, with live updates as Server-Sent Events. Everything runs on the
// event loop's thread, through an HttpListener: the head service is never
// touched from elsewhere.
#ifndef AIMHEADD_HTTP_SERVER_H
#define AIMHEADD_HTTP_SERVER_H

#include "head_service.h"
#include "http_listener.h"
#include "preset_store.h"

#include <memory>
#include <string>
#include <vector>

namespace aimheadd {

class HttpServer {
public:
    struct Options {
        std::string where;              // [ADDR:]PORT; ADDR defaults to 127.0.0.1, PORT 0 takes any free port
        std::string tokenFile;          // read the token from here instead of making one
        std::string presets;            // the preset file
        std::vector<std::string> hosts; // names the page is reached by, beside its address and localhost
    };

    // Binds the port and starts answering. Throws std::runtime_error naming
    // the address, or the token file, and the reason.
    HttpServer(EventLoop &loop, HeadService &head, const Options &options);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // "http://ADDR:PORT/" as bound.
    const std::string &url() const { return url_; }
    // Where the token this server made is kept, readable by the device's
    // group; empty when it made none (on loopback, or given a token file).
    const std::string &madeTokenFile() const { return madeTokenFile_; }

private:
    HttpResponse route(const HttpRequest &request);
    HttpResponse events();
    HttpResponse move(const HttpRequest &request);
    HttpResponse home(const HttpRequest &request);
    HttpResponse listPresets() const;
    HttpResponse recallPreset(const HttpRequest &request, const std::string &name);
    HttpResponse savePreset(const std::string &name);
    std::optional<HttpResponse> refusedChange(const HttpRequest &request) const;
    void publish(const std::string &state);
    void beat();

    EventLoop &loop_;
    HeadService &head_;
    PresetStore presets_;
    std::string token_;
    std::string madeTokenFile_;
    std::string latest_;
    HeadService::SubscriptionId subscription_ = 0;
    EventLoop::TimerId heartbeat_ = 0;
    // Before the listener: it finishes the streams as it closes.
    std::vector<std::shared_ptr<HttpStream>> streams_;
    std::unique_ptr<HttpListener> listener_;
    std::string url_;
};

} // namespace aimheadd

#endif

// The web page and its small HTTP API: the head's state, moves, home and
// presets, with live updates as Server-Sent Events. The HTTP library runs
// its own threads; everything that touches the head is handed to the event
// loop's thread through a mailbox, and the state reaches the streams
// through a feed, so the head service stays single-threaded.
#ifndef AIMHEADD_HTTP_SERVER_H
#define AIMHEADD_HTTP_SERVER_H

#include "head_service.h"
#include "loop_mailbox.h"
#include "preset_store.h"
#include "state_feed.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace aimheadd {

class HttpServer {
public:
    struct Options {
        std::string where;     // [ADDR:]PORT; ADDR defaults to 127.0.0.1, PORT 0 takes any free port
        std::string tokenFile; // read the token from here instead of making one
        std::string presets;   // the preset file
    };

    // Binds the port. Throws std::runtime_error naming the address, or the
    // token file, and the reason.
    HttpServer(EventLoop &loop, HeadService &head, const Options &options);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Starts answering, on the library's threads.
    void start();
    // "http://ADDR:PORT/" as bound.
    const std::string &url() const { return url_; }
    // Needed for changes when bound beyond loopback; empty otherwise.
    const std::string &token() const { return token_; }

private:
    using Request = httplib::Request;
    using Response = httplib::Response;

    void addRoutes();
    void serveAsset(const Request &request, Response &response) const;
    void position(Response &response) const;
    void events(Response &response);
    void move(const Request &request, Response &response);
    void home(const Request &request, Response &response);
    void listPresets(Response &response) const;
    void recallPreset(const Request &request, Response &response);
    void savePreset(const Request &request, Response &response);
    bool allowedToChange(const Request &request, Response &response) const;
    void answerCommand(const std::optional<std::variant<HeadService::Accepted, HeadService::Refused>> &result,
                       Response &response) const;

    HeadService &head_;
    LoopMailbox mailbox_;
    StateFeed feed_;
    PresetStore presets_;
    std::string token_;
    std::string url_;
    HeadService::SubscriptionId subscription_;
    std::atomic<int> streams_{0};
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
};

} // namespace aimheadd

#endif

#include "http_server.h"

#include "json_protocol.h"
#include "log.h"
#include "presets.h"
#include "sockets.h"
#include "text.h"
#include "web_assets.h"

#include <array>
#include <cerrno>
#include <fstream>
#include <map>
#include <stdexcept>

#include <arpa/inet.h>
#include <httplib.h>
#include <sys/random.h>

namespace aimheadd {

namespace {

constexpr size_t kMaxBodyBytes = 4096;
// Each open page holds one of the library's threads for its stream.
constexpr int kMaxStreams = 16;
constexpr size_t kSpareThreads = 4;
// A comment on an idle stream shows a page that went away without a word.
constexpr std::chrono::seconds kStreamKeepAlive(15);
// How long a request may wait for the event loop before it is refused.
constexpr std::chrono::milliseconds kLoopTimeout(2000);
// Idle browser connections close soon: the library checks them often.
constexpr time_t kKeepAliveSeconds = 2;
constexpr size_t kTokenBytes = 16;

enum class Family { Loopback, Other };

[[noreturn]] void fail(const std::string &what, const std::string &reason)
{
    throw std::runtime_error(what + ": " + reason);
}

Family addressFamily(const std::string &where, const std::string &host)
{
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127 ? Family::Loopback : Family::Other;
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6) ? Family::Loopback : Family::Other;
    fail("web address " + where, "'" + host + "' is not a numeric address");
}

int portNumber(const std::string &where, const std::string &port)
{
    size_t used = 0;
    int number = -1;
    try {
        number = std::stoi(port, &used);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used == 0 || used != port.size() || number < 0 || number > 65535)
        fail("web address " + where, "the port must be a number from 0 to 65535");
    return number;
}

std::string randomToken()
{
    std::array<unsigned char, kTokenBytes> bytes{};
    if (getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        fail("web token", std::string("no random bytes: ") + aimlink::errorText(errno));
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char byte : bytes) {
        token += kHex[byte >> 4];
        token += kHex[byte & 15];
    }
    return token;
}

std::string readToken(const std::string &path)
{
    std::ifstream file(path);
    if (!file)
        fail("token file " + path, aimlink::errorText(errno));
    std::string token;
    std::getline(file, token);
    if (token.size() < 8)
        fail("token file " + path, "the token must have at least 8 characters");
    return token;
}

void reply(httplib::Response &response, int status, const Json &body)
{
    response.status = status;
    response.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

void refuse(httplib::Response &response, int status, const std::string &message)
{
    reply(response, status, {{"error", message}});
}

std::string stateText(const HeadState &state, const std::string &device)
{
    Json fields = stateFields(state);
    fields["device"] = device;
    // When the daemon learnt it, in Unix milliseconds: pages can tell how old a state is.
    fields["at"] =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    return fields.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string clientName(const httplib::Request &request)
{
    return "web client " + request.remote_addr + ":" + std::to_string(request.remote_port);
}

// The body as the socket protocol's move request, so that both check the
// numbers alike.
std::variant<MoveRequest, std::string> moveFromBody(const std::string &body)
{
    Json object = Json::parse(body, nullptr, false);
    if (object.is_discarded() || !object.is_object())
        return std::string("the body must be a JSON object such as {\"pan\": 0, \"tilt\": 1571}");
    object["id"] = 0;
    object["cmd"] = "move";
    object.erase("wait");
    auto parsed = parseRequest(object.dump());
    if (const auto *error = std::get_if<RequestError>(&parsed))
        return error->message;
    return std::get<MoveRequest>(std::get<Request>(parsed).command);
}

using Route = std::map<std::string, httplib::Server::Handler>;

// Registers the handlers of one path; the other methods get 405 with the
// methods the path takes.
void addRoute(httplib::Server &server, const std::string &pattern, const Route &route)
{
    std::string allow;
    for (const auto &[method, handler] : route)
        allow += (allow.empty() ? "" : ", ") + method;
    const httplib::Server::Handler notAllowed = [allow](const httplib::Request &request, httplib::Response &response) {
        response.set_header("Allow", allow);
        refuse(response, 405, request.method + " is not allowed on " + request.path + "; use " + allow);
    };
    const auto handlerFor = [&](const std::string &method) {
        const auto found = route.find(method);
        return found != route.end() ? found->second : notAllowed;
    };
    server.Get(pattern, handlerFor("GET"));
    server.Post(pattern, handlerFor("POST"));
    server.Put(pattern, handlerFor("PUT"));
    server.Patch(pattern, handlerFor("PATCH"));
    server.Delete(pattern, handlerFor("DELETE"));
}

} // namespace

HttpServer::HttpServer(EventLoop &loop, HeadService &head, const Options &options)
    : head_(head), mailbox_(loop), presets_(options.presets), server_(std::make_unique<httplib::Server>())
{
    const auto [host, port] = splitAddress(options.where);
    const Family family = addressFamily(options.where, host);
    const int wanted = portNumber(options.where, port);
    if (!options.tokenFile.empty())
        token_ = readToken(options.tokenFile);
    else if (family == Family::Other)
        token_ = randomToken();

    server_->new_task_queue = [] { return new httplib::ThreadPool(kMaxStreams + kSpareThreads); };
    server_->set_payload_max_length(kMaxBodyBytes);
    server_->set_keep_alive_timeout(kKeepAliveSeconds);
    addRoutes();
    errno = 0;
    const int bound =
        wanted == 0 ? server_->bind_to_any_port(host) : (server_->bind_to_port(host, wanted) ? wanted : -1);
    if (bound <= 0)
        fail("web address " + options.where, errno != 0 ? aimlink::errorText(errno) : "cannot listen there");
    url_ =
        "http://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(bound) + "/";

    feed_.publish(stateText(head_.state(), head_.device()));
    subscription_ = head_.subscribe(
        [this](const HeadService::Change &change) { feed_.publish(stateText(change.state, head_.device())); });
}

HttpServer::~HttpServer()
{
    feed_.close();
    mailbox_.close();
    server_->stop();
    if (thread_.joinable())
        thread_.join();
    head_.unsubscribe(subscription_);
}

void HttpServer::start()
{
    thread_ = std::thread([this] {
        if (!server_->listen_after_bind() && !feed_.closed())
            logLine(Priority::Error, "web server on " + url_ + " stopped");
    });
}

void HttpServer::addRoutes()
{
    httplib::Server &server = *server_;
    // The library's own refusals come without a body; ours have one.
    server.set_error_handler([](const Request &request, Response &response) {
        if (!response.body.empty())
            return;
        if (response.status == 413)
            refuse(response, 413, "the body is over " + std::to_string(kMaxBodyBytes) + " bytes");
        else if (response.status == 404)
            refuse(response, 404, "nothing at " + request.path);
        else
            refuse(response, response.status,
                   request.method + " " + request.path + ": malformed request (a body needs a Content-Length)");
    });
    const auto get = [this](void (HttpServer::*handler)(Response &) const) {
        return [this, handler](const Request &, Response &response) { (this->*handler)(response); };
    };
    const auto change = [this](void (HttpServer::*handler)(const Request &, Response &)) {
        return [this, handler](const Request &request, Response &response) {
            if (allowedToChange(request, response))
                (this->*handler)(request, response);
        };
    };
    const auto asset = [this](const Request &request, Response &response) { serveAsset(request, response); };
    addRoute(server, "/|/index\\.html|/app\\.js|/style\\.css", {{"GET", asset}});
    addRoute(server, "/api/position", {{"GET", get(&HttpServer::position)}});
    addRoute(server, "/api/events", {{"GET", [this](const Request &, Response &response) { events(response); }}});
    addRoute(server, "/api/move", {{"POST", change(&HttpServer::move)}});
    addRoute(server, "/api/home", {{"POST", change(&HttpServer::home)}});
    addRoute(server, "/api/presets", {{"GET", get(&HttpServer::listPresets)}});
    addRoute(server, "/api/presets/([^/]*)",
             {{"POST", change(&HttpServer::recallPreset)}, {"PUT", change(&HttpServer::savePreset)}});
}

void HttpServer::serveAsset(const Request &request, Response &response) const
{
    const WebAsset *asset = findWebAsset(request.path);
    if (asset == nullptr) {
        refuse(response, 404, "nothing at " + request.path);
        return;
    }
    response.set_header("Cache-Control", "no-cache");
    response.set_content(std::string(asset->body), std::string(asset->type));
}

void HttpServer::position(Response &response) const { response.set_content(feed_.latest().text, "application/json"); }

// Sends the state at once, then each new state as it comes.
void HttpServer::events(Response &response)
{
    if (++streams_ > kMaxStreams) {
        --streams_;
        refuse(response, 503, "too many pages are open (" + std::to_string(kMaxStreams) + ")");
        return;
    }
    response.set_header("Cache-Control", "no-cache");
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, sent = uint64_t{0}](size_t, httplib::DataSink &sink) mutable {
            const auto snapshot = sent == 0 ? std::optional(feed_.latest()) : feed_.next(sent, kStreamKeepAlive);
            if (feed_.closed())
                return false;
            if (!snapshot) {
                static constexpr std::string_view kComment = ": still here\n\n";
                return sink.write(kComment.data(), kComment.size());
            }
            sent = snapshot->sequence;
            const std::string message = "data: " + snapshot->text + "\n\n";
            return sink.write(message.data(), message.size());
        },
        [this](bool) { --streams_; });
}

void HttpServer::move(const Request &request, Response &response)
{
    const auto parsed = moveFromBody(request.body);
    if (const auto *problem = std::get_if<std::string>(&parsed)) {
        refuse(response, 400, *problem);
        return;
    }
    const MoveRequest wanted = std::get<MoveRequest>(parsed);
    answerCommand(
        mailbox_.call<std::variant<HeadService::Accepted, HeadService::Refused>>(
            [this, owner = clientName(request), wanted] { return head_.move(owner, wanted.pan, wanted.tilt); },
            kLoopTimeout),
        response);
}

void HttpServer::home(const Request &request, Response &response)
{
    answerCommand(mailbox_.call<std::variant<HeadService::Accepted, HeadService::Refused>>(
                      [this, owner = clientName(request)] { return head_.home(owner); }, kLoopTimeout),
                  response);
}

void HttpServer::listPresets(Response &response) const
{
    try {
        Json list = Json::array();
        for (const auto &[name, view] : presets_.load())
            list.push_back({{"name", name}, {"pan", view.pan}, {"tilt", view.tilt}});
        reply(response, 200, {{"presets", list}});
    } catch (const std::runtime_error &error) {
        refuse(response, 500, error.what());
    }
}

void HttpServer::recallPreset(const Request &request, Response &response)
{
    const std::string name = request.matches[1];
    try {
        const auto presets = presets_.load();
        const auto found = presets.find(name);
        if (found == presets.end()) {
            refuse(response, 404, "no preset named '" + name + "'");
            return;
        }
        const aimlink_angles view = found->second;
        answerCommand(mailbox_.call<std::variant<HeadService::Accepted, HeadService::Refused>>(
                          [this, owner = clientName(request), view] { return head_.move(owner, view.pan, view.tilt); },
                          kLoopTimeout),
                      response);
    } catch (const std::runtime_error &error) {
        refuse(response, 500, error.what());
    }
}

// Keeps the reported position under the name.
void HttpServer::savePreset(const Request &request, Response &response)
{
    const std::string name = request.matches[1];
    if (!aimhead::validPresetName(name)) {
        refuse(response, 400, "a preset name has 1 to 32 letters, digits, '-', '_' or '.', and no leading '-' or '.'");
        return;
    }
    const auto position =
        mailbox_.call<std::optional<aimlink_angles>>([this] { return head_.state().position; }, kLoopTimeout);
    if (!position || !*position) {
        refuse(response, 409, "the head has not reported a position yet");
        return;
    }
    try {
        presets_.save(name, **position);
        reply(response, 201, {{"name", name}, {"pan", (*position)->pan}, {"tilt", (*position)->tilt}});
    } catch (const std::runtime_error &error) {
        refuse(response, 500, error.what());
    }
}

// A change from a page of another site is refused, as is one without the
// token when the daemon is reachable beyond this machine.
bool HttpServer::allowedToChange(const Request &request, Response &response) const
{
    if (request.has_header("Origin")) {
        const std::string origin = request.get_header_value("Origin");
        if (origin != "http://" + request.get_header_value("Host")) {
            refuse(response, 403, "a page from " + origin + " may not move the head");
            return false;
        }
    }
    if (!token_.empty() && request.get_header_value("Authorization") != "Bearer " + token_) {
        refuse(response, 403, "changes need the token (Authorization: Bearer TOKEN)");
        return false;
    }
    return true;
}

void HttpServer::answerCommand(const std::optional<std::variant<HeadService::Accepted, HeadService::Refused>> &result,
                               Response &response) const
{
    if (!result) {
        refuse(response, 503, "the daemon is busy or stopping; try again");
        return;
    }
    if (const auto *refused = std::get_if<HeadService::Refused>(&*result)) {
        refuse(response, 503, refused->message);
        return;
    }
    const auto &accepted = std::get<HeadService::Accepted>(*result);
    reply(response, 202, {{"target", anglesJson(accepted.target)}, {"limited", accepted.limited}});
}

} // namespace aimheadd

// SPDX-License-Identifier: MIT
#include "http_server.h"

#include "json_protocol.h"
#include "peer_user.h"
#include "presets.h"
#include "text.h"
#include "web_assets.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <string_view>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace aimheadd {

namespace {

// Each open page holds a stream; beyond these a page is told to come back.
constexpr std::size_t kMaxStreams = 16;
// A comment on every stream this often: writing to a page that went away
// fails within two beats, and frees its place.
constexpr std::chrono::milliseconds kHeartbeat(500);
constexpr std::string_view kHeartbeatText = ": \n\n";
constexpr size_t kTokenBytes = 16;
constexpr std::string_view kPresetPrefix = "/api/presets/";

// The page's own origin only, and never inside another site's frame.
const std::vector<std::pair<std::string, std::string>> kPageHeaders = {
    {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'"},
    {"X-Frame-Options", "DENY"},
    {"X-Content-Type-Options", "nosniff"},
    {"Cache-Control", "no-cache"},
};

// The methods each path takes; the preset path takes a name after it.
constexpr std::array<std::pair<std::string_view, std::string_view>, 10> kPaths = {{
    {"/", "GET"},
    {"/index.html", "GET"},
    {"/app.js", "GET"},
    {"/style.css", "GET"},
    {"/api/position", "GET"},
    {"/api/events", "GET"},
    {"/api/move", "POST"},
    {"/api/home", "POST"},
    {"/api/presets", "GET"},
    {kPresetPrefix, "POST, PUT"},
}};

constexpr std::array<std::string_view, 6> kKnownMethods = {"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH"};

[[noreturn]] void fail(const std::string &what, const std::string &reason)
{
    throw std::runtime_error(what + ": " + reason);
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

// Next to the presets, for the device's group to read: the journal is
// readable more widely, so the token never goes there.
std::string keepToken(const std::string &token, const std::string &presets, const std::string &device)
{
    const size_t slash = presets.rfind('/');
    if (presets.empty())
        fail("web token", "no directory to keep it in; give --presets or --http-token-file");
    std::string path = (slash == std::string::npos ? std::string(".") : presets.substr(0, slash)) + "/web-token";
    unlink(path.c_str());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0)
        fail("web token file " + path, aimlink::errorText(errno));
    struct stat status {};
    const std::string line = token + "\n";
    const bool kept = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    const int saved = errno;
    if (stat(device.c_str(), &status) == 0 && fchown(fd, static_cast<uid_t>(-1), status.st_gid) != 0)
        fchmod(fd, 0600);
    close(fd);
    if (!kept)
        fail("web token file " + path, aimlink::errorText(saved));
    return path;
}

// Takes as long whatever the guess: the time of a refusal tells nothing
// about how much of the token a guess got right.
bool sameSecret(std::string_view given, std::string_view secret)
{
    unsigned char difference = given.size() == secret.size() ? 0 : 1;
    for (std::size_t i = 0; i < secret.size(); ++i)
        difference |= static_cast<unsigned char>(secret[i] ^ (i < given.size() ? given[i] : 0));
    return difference == 0;
}

HttpResponse reply(int status, const Json &body)
{
    HttpResponse response;
    response.status = status;
    response.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
    return response;
}

HttpResponse refuse(int status, const std::string &message) { return reply(status, {{"error", message}}); }

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

std::string clientName(const HttpRequest &request) { return "web client " + request.peerAddress; }

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

HttpResponse answerCommand(const std::variant<HeadService::Accepted, HeadService::Refused> &result)
{
    if (const auto *refused = std::get_if<HeadService::Refused>(&result))
        return refuse(503, refused->message);
    const auto &accepted = std::get<HeadService::Accepted>(result);
    return reply(202, {{"target", anglesJson(accepted.target)}, {"limited", accepted.limited}});
}

// The methods path takes, as an Allow header lists them; empty for a path
// that is not here.
std::string_view methodsFor(std::string_view path)
{
    for (const auto &[known, methods] : kPaths)
        if (path == known || (known == kPresetPrefix && path.starts_with(kPresetPrefix) &&
                              path.find('/', kPresetPrefix.size()) == std::string_view::npos))
            return methods;
    return {};
}

bool takes(std::string_view methods, std::string_view method)
{
    for (size_t start = 0; start < methods.size();) {
        const size_t end = std::min(methods.find(", ", start), methods.size());
        if (methods.substr(start, end - start) == method)
            return true;
        start = end + 2;
    }
    return false;
}

// The origin a page of this server has: the Host it was reached by (the
// listener has checked it) with the port spelt out or, for 80, left out.
bool fromOwnOrigin(const std::string &origin, const std::string &host, uint16_t port)
{
    std::string name = host;
    const size_t colon = name.rfind(':');
    if (colon != std::string::npos && name.find(']', colon) == std::string::npos)
        name.erase(colon);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string own = "http://" + name;
    return origin == own + ":" + std::to_string(port) || (port == 80 && origin == own);
}

} // namespace

HttpServer::HttpServer(EventLoop &loop, HeadService &head, const Options &options)
    : loop_(loop), head_(head), presets_(options.presets)
{
    HttpListener::Options listening{options.where, options.hosts, {}};
    // Every open page of one address holds a stream: room for all of them
    // and for that address's other requests.
    listening.limits.maxPerAddress = 2 * kMaxStreams;
    listener_ =
        std::make_unique<HttpListener>(loop_, listening, [this](const HttpRequest &request) { return route(request); });
    if (!options.tokenFile.empty())
        token_ = readToken(options.tokenFile);
    else if (!listener_->loopbackOnly()) {
        token_ = randomToken();
        madeTokenFile_ = keepToken(token_, options.presets, head_.device());
    }
    url_ = "http://" + listener_->hostAndPort() + "/";
    latest_ = stateText(head_.state(), head_.device());
    subscription_ = head_.subscribe(
        [this](const HeadService::Change &change) { publish(stateText(change.state, head_.device())); });
}

HttpServer::~HttpServer()
{
    head_.unsubscribe(subscription_);
    loop_.cancel(heartbeat_);
    listener_.reset();
}

HttpResponse HttpServer::route(const HttpRequest &request)
{
    const std::string_view methods = methodsFor(request.path);
    HttpResponse response;
    if (methods.empty() && std::find(kKnownMethods.begin(), kKnownMethods.end(), request.method) == kKnownMethods.end())
        response = refuse(501, request.method + " is not a method this server knows");
    else if (methods.empty())
        response = refuse(404, "nothing at " + request.path);
    else if (!takes(methods, request.method)) {
        response = refuse(405, request.method + " is not allowed on " + request.path + "; use " + std::string(methods));
        response.headers.emplace_back("Allow", methods);
    } else if (request.method != "GET") {
        const std::string name = request.path.substr(std::min(request.path.size(), kPresetPrefix.size()));
        if (auto refused = refusedChange(request))
            response = std::move(*refused);
        else if (request.path == "/api/move")
            response = move(request);
        else if (request.path == "/api/home")
            response = home(request);
        else
            response = request.method == "PUT" ? savePreset(name) : recallPreset(request, name);
    } else if (request.path == "/api/position")
        response = reply(200, Json::parse(latest_));
    else if (request.path == "/api/events")
        response = events();
    else if (request.path == "/api/presets")
        response = listPresets();
    else if (const WebAsset *asset = findWebAsset(request.path)) {
        response.contentType = asset->type;
        response.body = asset->body;
    }
    response.headers.insert(response.headers.end(), kPageHeaders.begin(), kPageHeaders.end());
    return response;
}

// Sends the state at once, then each new state as it comes.
HttpResponse HttpServer::events()
{
    if (streams_.size() >= kMaxStreams) {
        HttpResponse busy = refuse(503, "too many pages are open (" + std::to_string(kMaxStreams) + ")");
        busy.headers.emplace_back("Retry-After", "2");
        busy.headers.emplace_back("Connection", "close");
        return busy;
    }
    auto stream = std::make_shared<HttpStream>();
    stream->send("data: " + latest_ + "\n\n");
    stream->onFinished([this, gone = stream.get()] {
        std::erase_if(streams_, [gone](const auto &each) { return each.get() == gone; });
    });
    streams_.push_back(stream);
    if (heartbeat_ == 0)
        heartbeat_ = loop_.after(kHeartbeat, [this] { beat(); });
    HttpResponse response;
    response.contentType = "text/event-stream";
    response.stream = std::move(stream);
    return response;
}

void HttpServer::publish(const std::string &state)
{
    latest_ = state;
    const std::string message = "data: " + state + "\n\n";
    // A copy: a stream that cannot keep up leaves the list as it is sent to.
    for (const auto streams = streams_; const auto &stream : streams)
        stream->send(message);
}

void HttpServer::beat()
{
    heartbeat_ = 0;
    for (const auto streams = streams_; const auto &stream : streams)
        stream->send(kHeartbeatText);
    if (!streams_.empty())
        heartbeat_ = loop_.after(kHeartbeat, [this] { beat(); });
}

HttpResponse HttpServer::move(const HttpRequest &request)
{
    const auto parsed = moveFromBody(request.body);
    if (const auto *problem = std::get_if<std::string>(&parsed))
        return refuse(400, *problem);
    const MoveRequest wanted = std::get<MoveRequest>(parsed);
    return answerCommand(head_.move(clientName(request), wanted.pan, wanted.tilt));
}

HttpResponse HttpServer::home(const HttpRequest &request) { return answerCommand(head_.home(clientName(request))); }

HttpResponse HttpServer::listPresets() const
{
    try {
        Json list = Json::array();
        for (const auto &[name, view] : presets_.load())
            list.push_back({{"name", name}, {"pan", view.pan}, {"tilt", view.tilt}});
        return reply(200, {{"presets", list}});
    } catch (const std::runtime_error &error) {
        return refuse(500, error.what());
    }
}

HttpResponse HttpServer::recallPreset(const HttpRequest &request, const std::string &name)
{
    try {
        const auto presets = presets_.load();
        const auto found = presets.find(name);
        if (found == presets.end())
            return refuse(404, "no preset named '" + name + "'");
        return answerCommand(head_.move(clientName(request), found->second.pan, found->second.tilt));
    } catch (const std::runtime_error &error) {
        return refuse(500, error.what());
    }
}

// Keeps the reported position under the name.
HttpResponse HttpServer::savePreset(const std::string &name)
{
    if (!aimhead::validPresetName(name))
        return refuse(400, "a preset name has 1 to 32 letters, digits, '-', '_' or '.', and no leading '-' or '.'");
    const auto &position = head_.state().position;
    if (!position)
        return refuse(409, "the head has not reported a position yet");
    try {
        presets_.save(name, *position);
        return reply(201, {{"name", name}, {"pan", position->pan}, {"tilt", position->tilt}});
    } catch (const std::runtime_error &error) {
        return refuse(500, error.what());
    }
}

// A change from a page of another site is refused, as is one from a local
// user who may not use the device, or one without the token when the
// daemon is reachable beyond this machine.
std::optional<HttpResponse> HttpServer::refusedChange(const HttpRequest &request) const
{
    const auto origin = request.headers.find("origin");
    if (origin != request.headers.end() && !fromOwnOrigin(origin->second, request.host, listener_->port()))
        return refuse(403, "a page from " + origin->second + " may not move the head");
    // On this machine, who may use the device may change the head.
    if (request.loopback) {
        if (!request.peerUid)
            return refuse(403, "cannot tell whose the connection is, so changes are refused");
        if (const auto why = whyNotAllowed(*request.peerUid, head_.device()))
            return refuse(403, *why);
    }
    if (!token_.empty()) {
        const auto authorization = request.headers.find("authorization");
        const std::string given = authorization == request.headers.end() ? "" : authorization->second;
        if (!given.starts_with("Bearer ") || !sameSecret(std::string_view(given).substr(7), token_))
            return refuse(403, "changes need the token (Authorization: Bearer TOKEN)");
    }
    return std::nullopt;
}

} // namespace aimheadd

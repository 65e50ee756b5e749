// SPDX-License-Identifier: MIT
#include "mqtt_bridge.h"

#include "log.h"
#include "presets.h"
#include "rotctld_protocol.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace aimheadd::mqtt {

namespace {

// A move sends a report about every 50 ms: ten states a second keep a
// dashboard live without flooding the broker.
constexpr std::chrono::milliseconds kStateInterval{100};
constexpr std::chrono::milliseconds kStopBound{1000};
constexpr char kOwner[] = "mqtt";
constexpr aimlink_angles kLevel{0, 1571};

Credentials readCredentials(const std::string &file)
{
    struct stat status {};
    if (stat(file.c_str(), &status) != 0)
        throw std::runtime_error("credentials " + file + ": cannot be read");
    if ((status.st_mode & 0177) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        throw std::runtime_error("credentials " + file + ": mode " + mode +
                                 " lets others read it; it may be 0600 at most");
    }
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    const auto credentials = parseCredentials(text.str());
    if (!in || !credentials)
        throw std::runtime_error("credentials " + file + ": the first line must be user:password");
    return *credentials;
}

Client::Options clientOptions(const Bridge::Options &options, const Topics &topics)
{
    const auto parsed = parseBrokerUrl(options.url);
    if (const auto *problem = std::get_if<std::string>(&parsed))
        throw std::runtime_error(*problem);
    const auto &address = std::get<BrokerAddress>(parsed);
    if (address.tls && options.caFile.empty())
        throw std::runtime_error("broker " + options.url + ": mqtts:// needs --mqtt-ca FILE");
    if (!address.tls && !options.caFile.empty())
        throw std::runtime_error("broker " + options.url + ": --mqtt-ca is for mqtts:// only");
    if (!address.tls && !address.loopback)
        logLine(Priority::Warning, "broker " + options.url +
                                       ": beyond this machine without TLS, commands and credentials cross the "
                                       "network in the clear; use mqtts://");
    Client::Options client{"aimhead-" + options.id, address.host, address.port, options.caFile, {}, {},
                           topics.availability(),   "offline"};
    if (!options.credentialsFile.empty()) {
        const auto credentials = readCredentials(options.credentialsFile);
        client.user = credentials.user;
        client.password = credentials.password;
    }
    return client;
}

std::string refusal(const std::variant<HeadService::Accepted, HeadService::Refused> &outcome)
{
    return std::get<HeadService::Refused>(outcome).message;
}

} // namespace

Bridge::Bridge(EventLoop &loop, HeadService &head, const Options &options)
    : loop_(loop), head_(head), presets_(options.presets),
      presetsPath_(options.presets), topics_{options.prefix + "/" + options.id + "/"},
      discovery_{options.discoveryPrefix, options.id, topics_, options.version, options.webUrl},
      client_(std::make_unique<Client>(loop, clientOptions(options, topics_)))
{
    client_->onConnected([this] { connected(); });
    client_->onMessage([this](const Client::Message &message) { received(message); });
    watchPresets();
}

// The preset file is replaced by a rename whoever saves (aimhead, the web
// page, this bridge): a watch on its directory sees each save at once,
// without reading the file on a timer. The directory is made first, as the
// first save anywhere would make it. One that cannot be made is watched
// from the first save here that makes it; until then the presets go out at
// each connect.
void Bridge::watchPresets()
{
    const std::string &file = presetsPath_;
    if (file.empty())
        return;
    std::string directory;
    try {
        directory = aimhead::createPresetsDirectory(file);
    } catch (const aimhead::PresetsError &) {
        return; // a save here will say why, to the client that asked
    }
    presetsWatch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (presetsWatch_ < 0)
        return;
    if (inotify_add_watch(presetsWatch_, directory.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE) < 0) {
        close(presetsWatch_);
        presetsWatch_ = -1;
        return;
    }
    presetsFile_ = file.substr(file.rfind('/') + 1); // the whole name when it has no '/'
    loop_.watch(presetsWatch_, EPOLLIN, [this](uint32_t) { presetsChanged(); });
}

void Bridge::presetsChanged()
{
    alignas(inotify_event) char events[4096];
    bool ours = false;
    for (ssize_t got; (got = read(presetsWatch_, events, sizeof events)) > 0;)
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(events + at); // NOLINT: the kernel's layout
            ours = ours || (event->len > 0 && presetsFile_ == event->name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    if (ours) {
        publishPresets();
        presetListChanged();
    }
}

Bridge::~Bridge()
{
    if (presetsWatch_ >= 0) {
        loop_.forget(presetsWatch_);
        close(presetsWatch_);
    }
    if (subscription_ != 0)
        head_.unsubscribe(subscription_);
    if (stateTimer_)
        loop_.cancel(*stateTimer_);
}

void Bridge::start()
{
    subscription_ = head_.subscribe([this](const HeadService::Change &) { stateChanged(); });
    client_->start();
}

void Bridge::stop() { client_->stop(topics_.availability(), "offline", kStopBound); }

void Bridge::connected()
{
    client_->publish(topics_.availability(), "online", true);
    lastState_.clear();
    lastPresets_.clear();
    lastPresetNames_.clear();
    publishState();
    publishPresets();
    publishDiscovery();
    for (const auto &topic : commandTopics(topics_))
        client_->subscribe(topic, true); // to see which are retained, and ignore those
    if (!discovery_.prefix.empty())
        client_->subscribe(discovery_.prefix + "/status", false);
}

void Bridge::received(const Client::Message &message)
{
    if (!discovery_.prefix.empty() && message.topic == discovery_.prefix + "/status") {
        if (message.payload == "online")
            publishDiscovery();
        return;
    }
    const auto kind = commandFor(topics_, message.topic);
    if (!kind)
        return;
    if (message.retained) {
        // A retained command would run again at every reconnect.
        if (retainedLogged_.insert(message.topic).second)
            logLine(Priority::Warning, "mqtt: ignoring the retained command on " + message.topic +
                                           "; publish commands without the retain flag");
        return;
    }
    const Parsed parsed = parseCommand(*kind, message.payload);
    if (const auto *problem = std::get_if<std::string>(&parsed.command)) {
        reply(refusedResult(parsed.id, kind, *problem), message.correlation);
        return;
    }
    runCommand(*kind, std::get<Command>(parsed.command), parsed.id, message.correlation);
}

void Bridge::runCommand(CommandKind kind, const Command &command, const Json &id, const std::string &correlation)
{
    const auto outcome = perform(command);
    if (const auto *accepted = std::get_if<HeadService::Accepted>(&outcome))
        reply(acceptedResult(id, kind, accepted->target, accepted->limited), correlation);
    else
        reply(refusedResult(id, kind, refusal(outcome)), correlation);
}

std::variant<HeadService::Accepted, HeadService::Refused> Bridge::perform(const Command &command)
{
    struct Visitor {
        Bridge &bridge;
        auto operator()(const MoveTo &move) { return bridge.head_.move(kOwner, move.angles.pan, move.angles.tilt); }
        auto operator()(const PanTo &pan) { return bridge.moveAxis(pan.azimuth, std::nullopt); }
        auto operator()(const TiltTo &tilt) { return bridge.moveAxis(std::nullopt, tilt.elevation); }
        auto operator()(const GoHome &) { return bridge.head_.home(kOwner); }
        auto operator()(const Recall &recall) { return bridge.recall(recall.name); }
        auto operator()(const Save &save) { return bridge.save(save.name); }
    };
    return std::visit(Visitor{*this}, command);
}

// One axis moves; the other keeps the target it has (or where the head is).
std::variant<HeadService::Accepted, HeadService::Refused> Bridge::moveAxis(std::optional<double> azimuth,
                                                                           std::optional<double> elevation)
{
    const HeadState &state = head_.state();
    const rotctld::AzEl now = rotctld::toRotator(state.target.value_or(state.position.value_or(kLevel)));
    const auto angles = rotctld::toHead({azimuth.value_or(now.azimuth), elevation.value_or(now.elevation)});
    if (!angles) {
        const rotctld::AzEl low = rotctld::toRotator({AIMLINK_PAN_MIN, AIMLINK_TILT_MIN});
        const rotctld::AzEl high = rotctld::toRotator({AIMLINK_PAN_MAX, AIMLINK_TILT_MAX});
        char range[128];
        std::snprintf(range, sizeof range, "azimuth must be from %.1f to %.1f, elevation from %.1f to %.1f degrees",
                      low.azimuth, high.azimuth, low.elevation, high.elevation);
        return HeadService::Refused{AIMLINK_ERR_ARGUMENT, range};
    }
    return head_.move(kOwner, angles->pan, angles->tilt);
}

std::variant<HeadService::Accepted, HeadService::Refused> Bridge::recall(const std::string &name)
{
    try {
        const auto presets = presets_.load();
        const auto found = presets.find(name);
        if (found == presets.end())
            return HeadService::Refused{AIMLINK_ERR_ARGUMENT, "no preset named '" + name + "'"};
        return head_.move(kOwner, found->second.pan, found->second.tilt);
    } catch (const std::runtime_error &error) {
        return HeadService::Refused{AIMLINK_ERR_SYSTEM, error.what()};
    }
}

// Keeps the reported position under the name; the result's target is the view kept.
std::variant<HeadService::Accepted, HeadService::Refused> Bridge::save(const std::string &name)
{
    const auto position = head_.state().position;
    if (!position)
        return HeadService::Refused{AIMLINK_ERR_NO_REPORT, "the head has not reported a position yet"};
    try {
        presets_.save(name, *position);
        if (presetsWatch_ < 0)
            watchPresets();
    } catch (const std::runtime_error &error) {
        return HeadService::Refused{AIMLINK_ERR_SYSTEM, error.what()};
    }
    publishPresets();
    presetListChanged();
    return HeadService::Accepted{*position, false, 0};
}

void Bridge::reply(const Json &result, const std::string &correlation)
{
    client_->publish(topics_.result(), result.dump(), false, correlation);
}

// At once when the last state went out long enough ago, else once the
// interval is over, with whatever the state is by then: the arrival is
// never held back for long and never lost.
void Bridge::stateChanged()
{
    if (stateTimer_)
        return;
    const auto due = lastStateAt_ + kStateInterval;
    if (Clock::now() >= due) {
        publishState();
        return;
    }
    stateTimer_ = loop_.at(due, [this] {
        stateTimer_.reset();
        publishState();
    });
}

void Bridge::publishState()
{
    if (!client_->connected())
        return;
    std::string payload = statePayload(head_.state()).dump();
    if (payload == lastState_)
        return;
    lastState_ = std::move(payload);
    lastStateAt_ = Clock::now();
    client_->publish(topics_.state(), lastState_, true);
}

std::vector<std::string> Bridge::presetNames() const
{
    std::vector<std::string> names;
    try {
        for (const auto &[name, view] : presets_.load())
            names.push_back(name);
    } catch (const std::runtime_error &) {
        // publishPresets says what is wrong with the file.
    }
    return names;
}

void Bridge::publishPresets()
{
    try {
        std::string payload = presetsPayload(presets_.load()).dump();
        presetsFailureLogged_ = false;
        if (payload == lastPresets_ || !client_->connected())
            return;
        lastPresets_ = std::move(payload);
        client_->publish(topics_.presets(), lastPresets_, true);
    } catch (const std::runtime_error &error) {
        if (!presetsFailureLogged_)
            logLine(Priority::Warning, std::string("mqtt: ") + error.what());
        presetsFailureLogged_ = true;
    }
}

void Bridge::publishDiscovery()
{
    if (discovery_.prefix.empty() || !client_->connected())
        return;
    lastPresetNames_ = presetNames();
    for (const auto &[topic, payload] : discoveryMessages(discovery_, lastPresetNames_))
        client_->publish(topic, payload, true);
}

// Only the select lists the presets: the rest of the discovery stays as it is.
void Bridge::presetListChanged()
{
    if (discovery_.prefix.empty() || presetNames() == lastPresetNames_)
        return;
    publishDiscovery();
}

} // namespace aimheadd::mqtt

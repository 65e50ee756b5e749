// SPDX-License-Identifier: MIT
// The head on an MQTT broker: its availability, state and presets published
// retained under PREFIX/ID/, its commands taken from there with a result for
// each, and Home Assistant's discovery. Everything runs on the event loop's
// thread, reading the head service's state as it changes: no copy of it.
#ifndef AIMHEADD_MQTT_BRIDGE_H
#define AIMHEADD_MQTT_BRIDGE_H

#include "head_service.h"
#include "mqtt_client.h"
#include "mqtt_messages.h"
#include "preset_store.h"

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace aimheadd::mqtt {

class Bridge {
public:
    struct Options {
        std::string url;             // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
        std::string caFile;          // needed for mqtts://
        std::string credentialsFile; // "user:password", mode at most 0600
        std::string id;              // the head's id, already checked
        std::string prefix;          // the topics' prefix, already checked
        std::string discoveryPrefix; // empty: no Home Assistant discovery
        std::string version;         // the daemon's, for the device
        std::string webUrl;          // the web page, empty when off
        std::string presets;         // the preset file
    };

    // Checks the URL, the CA and credentials files; throws
    // std::runtime_error naming the one at fault and why.
    Bridge(EventLoop &loop, HeadService &head, const Options &options);
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    void start();
    // Says offline, retained, and leaves the broker.
    void stop();

private:
    void connected();
    void received(const Client::Message &message);
    void runCommand(CommandKind kind, const Command &command, const Json &id, const std::string &correlation);
    std::variant<HeadService::Accepted, HeadService::Refused> perform(const Command &command);
    std::variant<HeadService::Accepted, HeadService::Refused> moveAxis(std::optional<double> azimuth,
                                                                       std::optional<double> elevation);
    std::variant<HeadService::Accepted, HeadService::Refused> recall(const std::string &name);
    std::variant<HeadService::Accepted, HeadService::Refused> save(const std::string &name);
    void reply(const Json &result, const std::string &correlation);
    void stateChanged();
    void publishState();
    void publishPresets();
    void publishDiscovery();
    void watchPresets();
    void presetsChanged();
    void presetListChanged();
    std::vector<std::string> presetNames() const;

    EventLoop &loop_;
    HeadService &head_;
    PresetStore presets_;
    std::string presetsPath_;
    Topics topics_;
    Discovery discovery_;
    std::unique_ptr<Client> client_;
    HeadService::SubscriptionId subscription_ = 0;
    std::string lastState_;
    Clock::time_point lastStateAt_{};
    std::optional<EventLoop::TimerId> stateTimer_;
    std::set<std::string> retainedLogged_;
    bool presetsFailureLogged_ = false;
    std::string lastPresets_;
    std::vector<std::string> lastPresetNames_;
    int presetsWatch_ = -1; // inotify on the preset file's directory
    std::string presetsFile_;
};

} // namespace aimheadd::mqtt

#endif

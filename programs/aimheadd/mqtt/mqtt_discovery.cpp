// SPDX-License-Identifier: MIT
// Home Assistant's MQTT discovery for one head: every entity's config,
// with the keys Home Assistant documents for its MQTT integration.
#include "mqtt_messages.h"

#include "rotctld_protocol.h"

namespace aimheadd::mqtt {

namespace {

constexpr char kPresetNamePattern[] = "^[A-Za-z0-9_][A-Za-z0-9_.-]{0,31}$";
constexpr int kPresetNameMax = 32;

Json device(const Discovery &discovery)
{
    Json device = {{"identifiers", Json::array({"aimhead_" + discovery.id})},
                   {"name", "aimhead " + discovery.id},
                   {"manufacturer", "aimlink"},
                   {"model", "pan-tilt camera head"},
                   {"sw_version", discovery.version}};
    if (!discovery.webUrl.empty())
        device["configuration_url"] = discovery.webUrl;
    return device;
}

// The controls grey out when the daemon is gone and while the head's link
// is down; the connectivity sensor itself only needs the daemon.
Json availability(const Discovery &discovery, bool withLink)
{
    Json list = Json::array({{{"topic", discovery.topics.availability()}}});
    if (withLink)
        list.push_back({{"topic", discovery.topics.state()},
                        {"value_template", "{{ 'online' if value_json.link == 'up' else 'offline' }}"}});
    return list;
}

Json entity(const Discovery &discovery, const std::string &object, const std::string &name, bool withLink)
{
    return {{"name", name},
            {"unique_id", "aimhead_" + discovery.id + "_" + object},
            {"object_id", "aimhead_" + discovery.id + "_" + object},
            {"device", device(discovery)},
            {"availability", availability(discovery, withLink)},
            {"availability_mode", "all"}};
}

Json axisNumber(const Discovery &discovery, const char *axis, const char *name, const char *angle, double low,
                double high)
{
    Json config = entity(discovery, axis, name, true);
    config["command_topic"] = discovery.topics.base + axis + "/set";
    config["state_topic"] = discovery.topics.state();
    config["value_template"] = std::string("{{ value_json.position_degrees.") + angle + " | default(0) }}";
    config["min"] = low;
    config["max"] = high;
    config["step"] = 0.1;
    config["mode"] = "slider";
    config["unit_of_measurement"] = "°";
    config["qos"] = 1;
    return config;
}

Json homeButton(const Discovery &discovery)
{
    Json config = entity(discovery, "home", "Home", true);
    config["command_topic"] = discovery.topics.base + "home";
    config["payload_press"] = "PRESS";
    config["qos"] = 1;
    return config;
}

Json presetSelect(const Discovery &discovery, const std::vector<std::string> &names)
{
    Json config = entity(discovery, "preset", "Preset", true);
    config["command_topic"] = discovery.topics.base + "preset/recall";
    config["options"] = names;
    config["qos"] = 1;
    return config;
}

Json saveText(const Discovery &discovery)
{
    Json config = entity(discovery, "save_preset", "Save view as", true);
    config["command_topic"] = discovery.topics.base + "preset/save";
    config["pattern"] = kPresetNamePattern;
    config["min"] = 1;
    config["max"] = kPresetNameMax;
    config["qos"] = 1;
    return config;
}

Json positionSensor(const Discovery &discovery)
{
    Json config = entity(discovery, "position", "Position", false);
    config["state_topic"] = discovery.topics.state();
    config["value_template"] = "{{ value_json.position_degrees.azimuth | default('') }}° / "
                               "{{ value_json.position_degrees.elevation | default('') }}°";
    config["json_attributes_topic"] = discovery.topics.state();
    config["json_attributes_template"] =
        "{{ {'target': value_json.target_degrees, 'owner': value_json.owner | default(''), "
        "'link': value_json.link} | tojson }}";
    return config;
}

Json connectivitySensor(const Discovery &discovery)
{
    Json config = entity(discovery, "link", "Link", false);
    config["device_class"] = "connectivity";
    config["state_topic"] = discovery.topics.state();
    config["value_template"] = "{{ 'ON' if value_json.link == 'up' else 'OFF' }}";
    return config;
}

std::string configTopic(const Discovery &discovery, const char *component, const char *object)
{
    return discovery.prefix + "/" + component + "/aimhead_" + discovery.id + "/" + object + "/config";
}

} // namespace

std::vector<std::pair<std::string, std::string>> discoveryMessages(const Discovery &discovery,
                                                                   const std::vector<std::string> &presetNames)
{
    const rotctld::AzEl low = rotctld::toRotator({AIMLINK_PAN_MIN, AIMLINK_TILT_MIN});
    const rotctld::AzEl high = rotctld::toRotator({AIMLINK_PAN_MAX, AIMLINK_TILT_MAX});
    std::vector<std::pair<std::string, std::string>> messages = {
        {configTopic(discovery, "number", "pan"),
         axisNumber(discovery, "pan", "Pan", "azimuth", low.azimuth, high.azimuth).dump()},
        {configTopic(discovery, "number", "tilt"),
         axisNumber(discovery, "tilt", "Tilt", "elevation", low.elevation, high.elevation).dump()},
        {configTopic(discovery, "button", "home"), homeButton(discovery).dump()},
        {configTopic(discovery, "text", "save_preset"), saveText(discovery).dump()},
        {configTopic(discovery, "sensor", "position"), positionSensor(discovery).dump()},
        {configTopic(discovery, "binary_sensor", "link"), connectivitySensor(discovery).dump()},
        {configTopic(discovery, "select", "preset"),
         presetNames.empty() ? std::string() : presetSelect(discovery, presetNames).dump()},
    };
    return messages;
}

} // namespace aimheadd::mqtt

#include "preset_store.h"

#include "text.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace aimheadd {

namespace {

constexpr size_t kMaxNameLength = 32;

[[noreturn]] void fail(const std::string &path, const std::string &reason)
{
    throw std::runtime_error("preset file " + path + ": " + reason);
}

void makeDirectories(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string directory = path.substr(0, slash);
        if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST)
            fail(path, "cannot make " + directory + ": " + aimlink::errorText(errno));
    }
}

aimlink_angles viewFrom(const std::string &path, const std::string &name, const nlohmann::json &entry)
{
    const auto pan = entry.find("pan");
    const auto tilt = entry.find("tilt");
    if (!entry.is_object() || pan == entry.end() || tilt == entry.end() || !pan->is_number_integer() ||
        !tilt->is_number_integer())
        fail(path, "preset '" + name + "' needs whole numbers pan and tilt");
    return {pan->get<int32_t>(), tilt->get<int32_t>()};
}

} // namespace

std::string PresetStore::defaultPath()
{
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/')
        return std::string(config) + "/aimhead/presets.json";
    const char *home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config/aimhead/presets.json";
}

bool PresetStore::validName(const std::string &name)
{
    if (name.empty() || name.size() > kMaxNameLength || name.front() == '.')
        return false;
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                             c == '_' || c == '.';
        if (!allowed)
            return false;
    }
    return true;
}

PresetStore::Presets PresetStore::load() const
{
    const std::lock_guard lock(mutex_);
    return loadLocked();
}

PresetStore::Presets PresetStore::loadLocked() const
{
    std::ifstream file(path_);
    if (!file) {
        if (errno == ENOENT)
            return {};
        fail(path_, aimlink::errorText(errno));
    }
    std::stringstream text;
    text << file.rdbuf();
    const auto document = nlohmann::json::parse(text.str(), nullptr, false);
    if (document.is_discarded() || !document.is_object() || !document.contains("presets") ||
        !document["presets"].is_object())
        fail(path_, "not a preset file (a JSON object with \"presets\")");
    Presets presets;
    for (const auto &[name, entry] : document["presets"].items())
        presets[name] = viewFrom(path_, name, entry);
    return presets;
}

void PresetStore::save(const std::string &name, const aimlink_angles &view)
{
    const std::lock_guard lock(mutex_);
    Presets presets = loadLocked();
    presets[name] = view;
    nlohmann::json entries = nlohmann::json::object();
    for (const auto &[each, angles] : presets)
        entries[each] = {{"pan", angles.pan}, {"tilt", angles.tilt}};
    makeDirectories(path_);
    const std::string temporary = path_ + ".tmp." + std::to_string(getpid());
    {
        std::ofstream file(temporary, std::ios::trunc);
        file << nlohmann::json{{"presets", entries}}.dump(2) << '\n';
        if (!file.flush())
            fail(temporary, aimlink::errorText(errno));
    }
    if (std::rename(temporary.c_str(), path_.c_str()) != 0) {
        const int saved = errno;
        unlink(temporary.c_str());
        fail(path_, std::string("cannot replace it: ") + aimlink::errorText(saved));
    }
}

} // namespace aimheadd

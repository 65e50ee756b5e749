#include "presets.h"

#include "text.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace aimhead {
namespace {

using nlohmann::json;

constexpr size_t kLongestName = 32;

std::string shown(const std::filesystem::path &file) { return escaped(file.string()); }

std::string errorText(int error) { return std::error_code(error, std::generic_category()).message(); }

[[noreturn]] void failWith(const std::filesystem::path &file, const std::string &reason)
{
    throw PresetsError(shown(file) + ": " + reason);
}

bool isAngle(const json &value)
{
    return value.is_number_integer() && value.get<int64_t>() >= std::numeric_limits<int16_t>::min() &&
           value.get<int64_t>() <= std::numeric_limits<int16_t>::max();
}

Preset presetFrom(const std::filesystem::path &file, const std::string &name, const json &entry)
{
    if (!validPresetName(name))
        failWith(file, "not a presets file: bad preset name " + aimhead::quoted(name));
    if (!entry.is_object() || !entry.contains("pan") || !entry.contains("tilt") || !isAngle(entry["pan"]) ||
        !isAngle(entry["tilt"]))
        failWith(file, "not a presets file: preset " + aimhead::quoted(name) + " needs whole-number pan and tilt");
    return {entry["pan"].get<int32_t>(), entry["tilt"].get<int32_t>()};
}

std::string readWhole(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        failWith(file, errorText(errno));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeAll(int descriptor, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        const ssize_t count = write(descriptor, text.data() + done, text.size() - done);
        if (count < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category());
        done += count > 0 ? static_cast<size_t>(count) : 0;
    }
}

void writeReplacing(const std::filesystem::path &file, const std::string &text)
{
    std::string temporary = file.string() + ".XXXXXX";
    const int descriptor = mkostemp(temporary.data(), O_CLOEXEC);
    if (descriptor < 0)
        failWith(file, "cannot write: " + errorText(errno));
    try {
        writeAll(descriptor, text);
        if (fsync(descriptor) != 0 || fchmod(descriptor, 0600) != 0)
            throw std::system_error(errno, std::generic_category());
    } catch (const std::system_error &error) {
        close(descriptor);
        unlink(temporary.c_str());
        failWith(file, std::string("cannot write: ") + error.code().message());
    }
    close(descriptor);
    if (rename(temporary.c_str(), file.c_str()) != 0) {
        const int cause = errno;
        unlink(temporary.c_str());
        failWith(file, "cannot replace: " + errorText(cause));
    }
}

} // namespace

std::filesystem::path defaultPresetsPath()
{
    // NOLINTBEGIN(concurrency-mt-unsafe): read once, never set
    const char *config = std::getenv("XDG_CONFIG_HOME");
    const char *home = std::getenv("HOME");
    // NOLINTEND(concurrency-mt-unsafe)
    std::filesystem::path directory;
    if (config != nullptr && config[0] == '/')
        directory = config;
    else if (home != nullptr && home[0] == '/')
        directory = std::filesystem::path(home) / ".config";
    else
        throw PresetsError("presets: neither XDG_CONFIG_HOME nor HOME names a directory");
    return directory / "aimhead" / "presets.json";
}

bool validPresetName(std::string_view name)
{
    if (name.empty() || name.size() > kLongestName || name.front() == '-' || name.front() == '.')
        return false;
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                             c == '-' || c == '.';
        if (!allowed)
            return false;
    }
    return true;
}

Presets loadPresets(const std::filesystem::path &file)
{
    std::error_code error;
    if (!std::filesystem::exists(file, error) && !error)
        return {};
    const json document = json::parse(readWhole(file), nullptr, false);
    if (document.is_discarded())
        failWith(file, "not a presets file: not valid JSON; fix or remove it");
    if (!document.is_object() || !document.contains("presets") || !document["presets"].is_object())
        failWith(file, "not a presets file: no \"presets\" object; fix or remove it");
    Presets presets;
    for (const auto &[name, entry] : document["presets"].items())
        presets[name] = presetFrom(file, name, entry);
    return presets;
}

void storePresets(const std::filesystem::path &file, const Presets &presets)
{
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    if (error)
        failWith(file.parent_path(), "cannot create: " + error.message());
    json entries = json::object();
    for (const auto &[name, preset] : presets)
        entries[name] = {{"pan", preset.pan}, {"tilt", preset.tilt}};
    writeReplacing(file, json{{"presets", entries}}.dump(2) + "\n");
}

} // namespace aimhead

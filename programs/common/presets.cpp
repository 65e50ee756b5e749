// SPDX-License-Identifier: MIT
#include "presets.h"

#include "text.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace aimhead {
namespace {

using nlohmann::json;

constexpr size_t kLongestName = 32;

std::string shown(const std::string &file) { return aimlink::escaped(file); }

[[noreturn]] void failWith(const std::string &file, const std::string &reason)
{
    throw PresetsError(shown(file) + ": " + reason);
}

bool isAngle(const json &value)
{
    return value.is_number_integer() && value.get<int64_t>() >= std::numeric_limits<int16_t>::min() &&
           value.get<int64_t>() <= std::numeric_limits<int16_t>::max();
}

aimlink_angles presetFrom(const std::string &file, const std::string &name, const json &entry)
{
    if (!validPresetName(name))
        failWith(file, "not a presets file: bad preset name " + aimlink::quoted(name));
    if (!entry.is_object() || !entry.contains("pan") || !entry.contains("tilt") || !isAngle(entry["pan"]) ||
        !isAngle(entry["tilt"]))
        failWith(file, "not a presets file: preset " + aimlink::quoted(name) + " needs whole-number pan and tilt");
    return {entry["pan"].get<int32_t>(), entry["tilt"].get<int32_t>()};
}

// Plain reads rather than a stream: linking iostreams makes every run of
// aimhead set up their locales, nearly half a megabyte of resident memory.
std::string readWhole(const std::string &file)
{
    const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        failWith(file, aimlink::errorText(errno));
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t count = read(descriptor, chunk, sizeof chunk);
        if (count > 0) {
            text.append(chunk, static_cast<size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        const int error = errno;
        close(descriptor);
        if (count < 0)
            failWith(file, aimlink::errorText(error));
        return text;
    }
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

void writeReplacing(const std::string &file, const std::string &text)
{
    std::string temporary = file + ".XXXXXX";
    const int descriptor = mkostemp(temporary.data(), O_CLOEXEC);
    if (descriptor < 0)
        failWith(file, "cannot write: " + aimlink::errorText(errno));
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
        failWith(file, "cannot replace: " + aimlink::errorText(cause));
    }
}

// Creates the directory and any missing parents, private to the user as a
// configuration directory should be.
void createDirectories(const std::string &directory)
{
    for (size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        const std::string part = directory.substr(0, slash);
        if (!part.empty() && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            failWith(part, "cannot create: " + aimlink::errorText(errno));
        if (slash == std::string::npos)
            return;
    }
}

// An exclusive flock on the directory, not on the file: the file is
// replaced by a rename, and a lock on the old one would exclude no one who
// opened the new one. It adds no file of its own. A held lock is tried again
// every few milliseconds, for a bounded time.
class DirectoryLock {
public:
    explicit DirectoryLock(const std::string &directory)
        : descriptor_(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (descriptor_ < 0)
            failWith(directory, "cannot lock: " + aimlink::errorText(errno));
        const auto deadline = std::chrono::steady_clock::now() + kPresetsLockWait;
        while (flock(descriptor_, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            if ((error != EWOULDBLOCK && error != EINTR) || std::chrono::steady_clock::now() >= deadline) {
                close(descriptor_);
                failWith(directory, error == EWOULDBLOCK ? "locked by another program for " +
                                                               std::to_string(kPresetsLockWait.count() / 1000) + " s"
                                                         : "cannot lock: " + aimlink::errorText(error));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~DirectoryLock() { close(descriptor_); }
    DirectoryLock(const DirectoryLock &) = delete;
    DirectoryLock &operator=(const DirectoryLock &) = delete;

private:
    int descriptor_;
};

} // namespace

std::string defaultPresetsPath()
{
    // NOLINTBEGIN(concurrency-mt-unsafe): read once, never set
    const char *config = std::getenv("XDG_CONFIG_HOME");
    const char *home = std::getenv("HOME");
    // NOLINTEND(concurrency-mt-unsafe)
    std::string directory;
    if (config != nullptr && config[0] == '/')
        directory = config;
    else if (home != nullptr && home[0] == '/')
        directory = std::string(home) + "/.config";
    else
        throw PresetsError("presets: neither XDG_CONFIG_HOME nor HOME names a directory");
    return directory + "/aimhead/presets.json";
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

Presets loadPresets(const std::string &file)
{
    struct stat status {};
    if (stat(file.c_str(), &status) != 0 && errno == ENOENT)
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

std::string createPresetsDirectory(const std::string &file)
{
    const size_t slash = file.find_last_of('/');
    std::string directory = slash == std::string::npos ? std::string(".")
                            : slash == 0               ? std::string("/")
                                                       : file.substr(0, slash);
    createDirectories(directory);
    return directory;
}

bool updatePresets(const std::string &file, const std::function<bool(Presets &)> &change)
{
    const std::string directory = createPresetsDirectory(file);
    const DirectoryLock lock(directory);
    Presets presets = loadPresets(file);
    if (!change(presets))
        return false;
    json entries = json::object();
    for (const auto &[name, preset] : presets)
        entries[name] = {{"pan", preset.pan}, {"tilt", preset.tilt}};
    writeReplacing(file, json{{"presets", entries}}.dump(2) + "\n");
    return true;
}

} // namespace aimhead

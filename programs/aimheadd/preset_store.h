// Named views kept in a small JSON file, shared with aimhead's save and
// goto. The file is replaced atomically (a temporary file, then rename), and
// a file that cannot be read is reported with its path, never overwritten.
#ifndef AIMHEADD_PRESET_STORE_H
#define AIMHEADD_PRESET_STORE_H

#include "aimlink.h"

#include <map>
#include <mutex>
#include <string>

namespace aimheadd {

class PresetStore {
public:
    using Presets = std::map<std::string, aimlink_angles>;

    explicit PresetStore(std::string path) : path_(std::move(path)) {}

    // $XDG_CONFIG_HOME/aimhead/presets.json, else ~/.config/aimhead/presets.json.
    static std::string defaultPath();
    // 1 to 32 letters, digits, '-', '_' or '.', not starting with '.'.
    static bool validName(const std::string &name);

    // Both throw std::runtime_error naming the file and the reason.
    Presets load() const;
    void save(const std::string &name, const aimlink_angles &view);

    const std::string &path() const { return path_; }

private:
    Presets loadLocked() const;

    std::string path_;
    mutable std::mutex mutex_;
};

} // namespace aimheadd

#endif

// SPDX-License-Identifier: MIT
#include "replay_cache.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace aimheadd::onvif {
namespace {

std::uint32_t secondsOf(ReplayCache::Time time)
{
    return static_cast<std::uint32_t>(std::chrono::floor<std::chrono::seconds>(time.time_since_epoch()).count());
}

} // namespace

// A quarter more slots than digests keeps the probe runs short, and there
// is always an empty slot to end a search.
ReplayCache::ReplayCache(std::size_t most)
    : slots_(std::bit_ceil(most + most / 4 + 1)), mask_(slots_.size() - 1), most_(most)
{
}

std::size_t ReplayCache::home(const Slot &slot) const
{
    // A digest's bytes are uniform already: its first four are the hash.
    std::uint32_t hash = 0;
    std::memcpy(&hash, slot.key.data(), sizeof hash);
    return hash & mask_;
}

ReplayCache::Outcome ReplayCache::remember(const Digest &digest, Time forgetAt, Time now)
{
    forgetPassed(secondsOf(now));
    Slot wanted;
    std::copy_n(digest.begin(), wanted.key.size(), wanted.key.begin());
    // Forgotten in the first sweep of a later second, when the time has
    // passed whatever its fraction was.
    wanted.forgetAt = std::max<std::uint32_t>(secondsOf(forgetAt), 1);
    std::size_t index = home(wanted);
    for (; slots_[index].forgetAt != 0; index = next(index))
        if (slots_[index].key == wanted.key)
            return Outcome::Seen;
    if (held_ >= most_)
        return Outcome::Full;
    slots_[index] = wanted;
    ++held_;
    return Outcome::Remembered;
}

void ReplayCache::forgetPassed(std::uint32_t now)
{
    if (now == lastSweep_ || held_ == 0)
        return;
    lastSweep_ = now;
    for (std::size_t index = 0; index < slots_.size(); ++index)
        while (slots_[index].forgetAt != 0 && slots_[index].forgetAt < now)
            empty(index);
}

// Empties a slot and moves later slots of its run back into the gap, so
// that every digest stays reachable from its home without markers.
void ReplayCache::empty(std::size_t index)
{
    slots_[index] = Slot{};
    --held_;
    for (std::size_t probe = next(index); slots_[probe].forgetAt != 0; probe = next(probe)) {
        const std::size_t wanted = home(slots_[probe]);
        // The digest at probe may fill the gap unless its home lies
        // (cyclically) after the gap and up to probe.
        const bool staysPut =
            index <= probe ? (index < wanted && wanted <= probe) : (index < wanted || wanted <= probe);
        if (staysPut)
            continue;
        slots_[index] = slots_[probe];
        slots_[probe] = Slot{};
        index = probe;
    }
}

} // namespace aimheadd::onvif

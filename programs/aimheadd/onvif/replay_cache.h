// SPDX-License-Identifier: MIT
// The sign-ins seen within the last window, so that a replayed token is
// refused: a table of fixed size, allocated once, so that the daemon's
// memory stays the same however many clients sign in.
#ifndef AIMHEADD_ONVIF_REPLAY_CACHE_H
#define AIMHEADD_ONVIF_REPLAY_CACHE_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace aimheadd::onvif {

class ReplayCache {
public:
    using Time = std::chrono::system_clock::time_point;
    // A token's SHA-1 digest; its first 12 bytes are kept. Only a holder of
    // the password can make a digest, and two of them share those 96 bits
    // by chance about once in 2^48 pairs.
    using Digest = std::array<unsigned char, 20>;
    enum class Outcome { Remembered, Seen, Full };

    // Room for `most` digests at once.
    explicit ReplayCache(std::size_t most);

    // Remembers digest until `forgetAt`, unless it is remembered already or
    // the table holds `most`. Digests whose time has passed by `now` are
    // forgotten once a second at most.
    Outcome remember(const Digest &digest, Time forgetAt, Time now);

private:
    struct Slot {
        std::array<unsigned char, 12> key{};
        std::uint32_t forgetAt = 0; // seconds since 1970; 0 for an empty slot
    };

    std::size_t home(const Slot &slot) const;
    std::size_t next(std::size_t index) const { return (index + 1) & mask_; }
    void forgetPassed(std::uint32_t now);
    void empty(std::size_t index);

    std::vector<Slot> slots_; // open addressing, linear probing
    std::size_t mask_;
    std::size_t most_;
    std::size_t held_ = 0;
    std::uint32_t lastSweep_ = 0;
};

} // namespace aimheadd::onvif

#endif

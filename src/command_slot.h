// SPDX-License-Identifier: MIT
// The command slot: one pending command frame that the caller fills and the
// watcher takes. Its bytes and length may live in the exported variables of
// the original calls; its generation tells a frame taken out from one the
// caller queued since. Not locked by itself: the session holds its mutex
// around every call but empty().
#ifndef AIMLINK_COMMAND_SLOT_H
#define AIMLINK_COMMAND_SLOT_H

#include "aimlink_protocol.h"

#include <array>
#include <cstdint>

namespace aimlink {

// A copy of the slot's frame, as the watcher writes it.
struct SlotFrame {
    std::array<uint8_t, kMaxFrame> bytes{};
    size_t length = 0;
    uint64_t generation = 0;
    Bytes view() const { return {bytes.data(), length}; }
};

class CommandSlot {
public:
    // bytes: kMaxFrame bytes; length: 0 when empty.
    CommandSlot(uint8_t *bytes, int32_t *length) : bytes_(bytes), length_(length) {}

    // Everything zero, generation 0: a fresh open.
    void reset();
    // Replaces any pending frame with a new generation.
    void fill(Bytes frame);
    // A copy of the pending frame, left in place; false when empty.
    bool take(SlotFrame &frame) const;
    // Empties the slot after its frame went out, unless the caller refilled
    // it meanwhile: then the new frame waits for the next cycle.
    void release(const SlotFrame &frame);
    // Puts a frame back, but only into an empty slot of its own generation:
    // a command the caller queued since takes its place. True if it went back.
    bool restore(const SlotFrame &frame);
    // Empties it whatever it holds: the watcher has ended.
    void clear();
    // Safe without the lock: the original calls poll it.
    bool empty() const;

private:
    uint8_t *bytes_;
    int32_t *length_;
    uint64_t generation_ = 0;
};

} // namespace aimlink

#endif

// SPDX-License-Identifier: MIT
#include "command_slot.h"

#include <algorithm>
#include <atomic>

namespace aimlink {
namespace {

// The length is what a caller of the original calls reads without a lock.
void storeLength(int32_t *length, size_t value)
{
    std::atomic_ref<int32_t>(*length).store(static_cast<int32_t>(value), std::memory_order_release);
}

int32_t loadLength(int32_t *length) { return std::atomic_ref<int32_t>(*length).load(std::memory_order_acquire); }

} // namespace

void CommandSlot::reset()
{
    storeLength(length_, 0);
    std::fill_n(bytes_, kMaxFrame, 0);
    generation_ = 0;
}

void CommandSlot::fill(Bytes frame)
{
    const size_t length = std::min(frame.size(), kMaxFrame);
    std::copy_n(frame.begin(), length, bytes_);
    ++generation_;
    storeLength(length_, length);
}

bool CommandSlot::take(SlotFrame &frame) const
{
    const int32_t length = loadLength(length_);
    if (length <= 0)
        return false;
    frame.length = std::min<size_t>(static_cast<size_t>(length), kMaxFrame);
    std::copy_n(bytes_, frame.length, frame.bytes.begin());
    frame.generation = generation_;
    return true;
}

void CommandSlot::release(const SlotFrame &frame)
{
    if (generation_ == frame.generation)
        storeLength(length_, 0);
}

bool CommandSlot::restore(const SlotFrame &frame)
{
    if (frame.length == 0 || loadLength(length_) != 0 || generation_ != frame.generation)
        return false;
    std::copy_n(frame.bytes.begin(), frame.length, bytes_);
    storeLength(length_, frame.length);
    return true;
}

void CommandSlot::clear() { storeLength(length_, 0); }

bool CommandSlot::empty() const { return loadLength(length_) == 0; }

} // namespace aimlink

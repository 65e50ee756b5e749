// SPDX-License-Identifier: MIT
// The command slot's generation rule, over storage like the exported
// variables of the original calls.
#include "command_slot.h"

#include <gtest/gtest.h>

#include <vector>

using namespace aimlink;

namespace {

struct Storage {
    std::array<uint8_t, kMaxFrame> bytes{};
    int32_t length = 0;
    CommandSlot slot{bytes.data(), &length};
};

const std::vector<uint8_t> kFirst = {0xFF, 0x30, 0x30, 0x00, 0x57, 0xEF};
const std::vector<uint8_t> kSecond = {0xFF, 0x30, 0x30, 0x00, 0x90, 0x30, 0xEF};

std::vector<uint8_t> bytesOf(const SlotFrame &frame) { return {frame.view().begin(), frame.view().end()}; }

} // namespace

TEST(CommandSlot, HandsOutACopyAndStaysFullUntilReleased)
{
    Storage storage;
    SlotFrame frame;
    EXPECT_FALSE(storage.slot.take(frame));
    storage.slot.fill(kFirst);
    EXPECT_EQ(storage.length, 6);
    ASSERT_TRUE(storage.slot.take(frame));
    EXPECT_EQ(bytesOf(frame), kFirst);
    EXPECT_FALSE(storage.slot.empty());
    storage.slot.release(frame);
    EXPECT_TRUE(storage.slot.empty());
    // The bytes of the last frame stay for whoever looks.
    EXPECT_EQ(storage.bytes[4], 0x57);
}

TEST(CommandSlot, KeepsACommandQueuedWhileTheOldOneWasWritten)
{
    Storage storage;
    SlotFrame written;
    storage.slot.fill(kFirst);
    storage.slot.take(written);
    storage.slot.fill(kSecond);
    storage.slot.release(written);
    SlotFrame next;
    ASSERT_TRUE(storage.slot.take(next));
    EXPECT_EQ(bytesOf(next), kSecond);
}

TEST(CommandSlot, PutsAFrameBackOnlyIntoAnEmptySlotOfItsGeneration)
{
    Storage storage;
    SlotFrame written;
    storage.slot.fill(kFirst);
    storage.slot.take(written);
    EXPECT_FALSE(storage.slot.restore(written)); // still full
    storage.slot.release(written);
    EXPECT_TRUE(storage.slot.restore(written));
    SlotFrame again;
    ASSERT_TRUE(storage.slot.take(again));
    EXPECT_EQ(again.generation, written.generation);

    storage.slot.release(again);
    storage.slot.fill(kSecond);
    SlotFrame newer;
    storage.slot.take(newer);
    storage.slot.release(newer);
    EXPECT_FALSE(storage.slot.restore(written)); // a newer command went out since
    EXPECT_TRUE(storage.slot.empty());
    EXPECT_FALSE(storage.slot.restore(SlotFrame{}));
}

TEST(CommandSlot, StartsAfreshOnReset)
{
    Storage storage;
    storage.slot.fill(kFirst);
    storage.slot.reset();
    EXPECT_TRUE(storage.slot.empty());
    EXPECT_EQ(storage.bytes[0], 0);
    storage.slot.fill(kSecond);
    SlotFrame frame;
    storage.slot.take(frame);
    EXPECT_EQ(frame.generation, 1u);
    storage.slot.clear();
    EXPECT_TRUE(storage.slot.empty());
}

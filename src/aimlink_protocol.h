// SPDX-License-Identifier: MIT
// The byte protocol of the camera head: the table of commands, frame
// builders, position-field encoding and read-back, reply reassembly and
// classification, and the conversion between caller's milliradians and
// camera counts. Pure functions over byte spans; the watcher does the I/O
// around them.
#ifndef AIMLINK_AIMLINK_PROTOCOL_H
#define AIMLINK_AIMLINK_PROTOCOL_H

#include "aimlink.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace aimlink {

using Bytes = std::span<const uint8_t>;

constexpr uint8_t kFrameStart = 0xFF;
constexpr uint8_t kReplyStart = 0xFE;
constexpr uint8_t kEnd = 0xEF;
constexpr uint8_t kMoveCommand = 0x62;
constexpr uint8_t kHomeCommand = 0x57;
constexpr uint8_t kInitCommand = 0x90;
constexpr uint8_t kPollCommand = 0x63;

constexpr size_t kMaxFrame = 32;      // size of the command slot
constexpr size_t kMaxReply = 32;      // a longer run without the end byte is noise
constexpr size_t kAckReplyLength = 6; // FE, four status bytes, EF
constexpr size_t kDataReplyLength = 14;

// Travel of the head, camera counts.
constexpr int16_t kPanMin = -890;
constexpr int16_t kPanMax = 890;
constexpr int16_t kTiltMin = -267;
constexpr int16_t kTiltMax = 800;

// Pan and tilt in camera counts: a target, a limit or a reported position.
struct Counts {
    int16_t pan;
    int16_t tilt;
};

// Each builder writes its frame to the front of out (at least kMaxFrame
// bytes) and returns its length. Frames contain a 00 byte: never strings.
size_t buildInitFrame(std::span<uint8_t> out);
size_t buildHomeFrame(std::span<uint8_t> out);
size_t buildMoveFrame(std::span<uint8_t> out, int16_t panCount, int16_t tiltCount);
size_t buildPollFrame(std::span<uint8_t> out);

// Offset binary in four upper-case hex digits: 0 -> "8000", -1 -> "7FFF".
std::array<uint8_t, 4> encodeCount(int16_t count);
// Exact inverse of encodeCount, digits 0-9, A-F, a-f; nullopt for any other byte.
std::optional<int16_t> decodeCount(std::span<const uint8_t, 4> field);

enum class ReplyKind { NotReply, Rejection, Acknowledgement, Position, Corrupt };

// What the head does with each command frame, and what the client makes of
// it. A new command is a row here plus its public call.
// Other: a frame put into the slot by hand, of no command known here.
enum class Command { Initialise, Home, Move, Poll, Other };
enum class TargetRule {
    Keeps,     // the target stays as it was
    Home,      // the home position becomes the target
    Requested, // the counts the caller asked for become the target
};
struct CommandRow {
    Command command;
    const char *name; // in a trace
    uint8_t code;     // byte 4 of the frame
    // Writes the frame to the front of out (at least kMaxFrame bytes); only
    // a move reads the counts. Null for Other.
    size_t (*build)(std::span<uint8_t> out, Counts requested);
    ReplyKind expects; // Acknowledgement or Position
    size_t replyLength;
    // A lost move or home would leave the caller waiting for ever; a
    // repeated initialise would restart the head's own initialisation.
    bool resentWhenUnanswered;
    TargetRule sets;
};

const CommandRow &commandRow(Command command);
// The row of a frame by its command byte. A frame of no known command is
// taken as one the head acknowledges, not sent again, setting no target.
const CommandRow &rowOfFrame(Bytes frame);
// The target a command sets, or nullopt when it keeps the one there was.
std::optional<Counts> targetSetBy(const CommandRow &row, Counts requested);

// A complete reply, FE up to and including its end byte.
ReplyKind classifyReply(Bytes reply);

// The position carried by a reply that classifyReply calls Position.
Counts replyPosition(Bytes reply);

// Reassembles one reply from a byte stream that may split it across reads
// and carry noise around it: bytes before FE are skipped, a new FE restarts
// the reply (FE never occurs inside one), and a run of more than kMaxReply
// bytes without the end byte is dropped.
struct ReplyAssembler {
    std::array<uint8_t, kMaxReply> bytes{};
    size_t length = 0;
    bool complete = false;
};

// Feeds input until a reply completes or input runs out; returns the number
// of bytes consumed. After completion, reply() holds it until resetReply().
size_t feedReply(ReplyAssembler &assembler, Bytes input);
Bytes reply(const ReplyAssembler &assembler);
void resetReply(ReplyAssembler &assembler);
// The fewest bytes that must still come before the reply being collected can
// be complete: 0 when none has started or it is complete.
size_t bytesStillExpected(const ReplyAssembler &assembler);

// What a reply says, for a trace: "acknowledgement", "report pan P tilt T"
// (counts) and the like.
std::string describeReply(Bytes reply);

// " %02X" for each byte up to and including the first equal to end, or all.
std::string formatDump(Bytes bytes, uint8_t end);

// Caller's milliradians to the head's camera counts, unlimited: pan is
// mirrored (6282 - pan), tilt offset by 1571, both halved rounding down.
Counts anglesToCounts(int16_t panAngle, int16_t tiltAngle);
Counts limitCounts(Counts counts);
// Back to the caller's frame: the angles, within (-3141, 3141] for pan, that
// give these counts.
constexpr int32_t panCountToAngle(int16_t panCount) { return -2 * int32_t{panCount}; }
constexpr int32_t tiltCountToAngle(int16_t tiltCount) { return 2 * int32_t{tiltCount} + 1571; }

// Home is counts 0, 0; callers see it in their own frame.
constexpr Counts kHomeCounts{0, 0};
static_assert(panCountToAngle(kHomeCounts.pan) == AIMLINK_HOME_PAN);
static_assert(tiltCountToAngle(kHomeCounts.tilt) == AIMLINK_HOME_TILT);
// The travel callers are told of is the head's, in their frame.
static_assert(panCountToAngle(kPanMax) == AIMLINK_PAN_MIN && panCountToAngle(kPanMin) == AIMLINK_PAN_MAX);
static_assert(tiltCountToAngle(kTiltMin) == AIMLINK_TILT_MIN && tiltCountToAngle(kTiltMax) == AIMLINK_TILT_MAX);

} // namespace aimlink

#endif

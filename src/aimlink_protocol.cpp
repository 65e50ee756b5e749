// SPDX-License-Identifier: MIT
// The byte protocol of the camera head: pure functions over byte spans.
#include "aimlink_protocol.h"

#include <algorithm>
#include <initializer_list>

namespace aimlink {
namespace {

constexpr std::array<uint8_t, 4> kFramePrefix = {kFrameStart, 0x30, 0x30, 0x00};
constexpr char kHexDigits[] = "0123456789ABCDEF";

size_t buildCommand(std::span<uint8_t> out, std::initializer_list<uint8_t> body)
{
    auto next = std::copy(kFramePrefix.begin(), kFramePrefix.end(), out.begin());
    next = std::copy(body.begin(), body.end(), next);
    *next++ = kEnd;
    return static_cast<size_t>(next - out.begin());
}

std::optional<uint8_t> hexValue(uint8_t digit)
{
    if (digit >= '0' && digit <= '9')
        return static_cast<uint8_t>(digit - '0');
    if (digit >= 'A' && digit <= 'F')
        return static_cast<uint8_t>(digit - 'A' + 10);
    if (digit >= 'a' && digit <= 'f')
        return static_cast<uint8_t>(digit - 'a' + 10);
    return std::nullopt;
}

bool statusAccepted(Bytes reply)
{
    if (reply.size() < 5)
        return false;
    return std::all_of(reply.begin() + 1, reply.begin() + 5, [](uint8_t b) { return b == 0x30; });
}

// Signed 16-bit arithmetic with wrap-around, as the head's firmware does it.
int16_t wrap16(int value) { return static_cast<int16_t>(value); }

} // namespace

size_t buildInitFrame(std::span<uint8_t> out) { return buildCommand(out, {kInitCommand, 0x30}); }
size_t buildHomeFrame(std::span<uint8_t> out) { return buildCommand(out, {kHomeCommand}); }
size_t buildPollFrame(std::span<uint8_t> out) { return buildCommand(out, {kPollCommand}); }

size_t buildMoveFrame(std::span<uint8_t> out, int16_t panCount, int16_t tiltCount)
{
    const auto p = encodeCount(panCount);
    const auto t = encodeCount(tiltCount);
    return buildCommand(out, {kMoveCommand, p[0], p[1], p[2], p[3], t[0], t[1], t[2], t[3]});
}

std::array<uint8_t, 4> encodeCount(int16_t count)
{
    const auto offset = static_cast<uint16_t>(static_cast<uint16_t>(count) ^ 0x8000u);
    return {static_cast<uint8_t>(kHexDigits[(offset >> 12) & 0xF]),
            static_cast<uint8_t>(kHexDigits[(offset >> 8) & 0xF]),
            static_cast<uint8_t>(kHexDigits[(offset >> 4) & 0xF]), static_cast<uint8_t>(kHexDigits[offset & 0xF])};
}

std::optional<int16_t> decodeCount(std::span<const uint8_t, 4> field)
{
    unsigned offset = 0;
    for (uint8_t digit : field) {
        const auto value = hexValue(digit);
        if (!value)
            return std::nullopt;
        offset = (offset << 4) | *value;
    }
    return static_cast<int16_t>(offset ^ 0x8000u);
}

ReplyKind classifyReply(Bytes reply)
{
    if (reply.size() < 2 || reply.front() != kReplyStart || reply.back() != kEnd)
        return ReplyKind::NotReply;
    if (!statusAccepted(reply))
        return ReplyKind::Rejection;
    if (reply[5] == kEnd)
        return ReplyKind::Acknowledgement;
    if (reply.size() != kDataReplyLength)
        return ReplyKind::Corrupt;
    const bool digits = decodeCount(reply.subspan<5, 4>()) && decodeCount(reply.subspan<9, 4>());
    return digits ? ReplyKind::Position : ReplyKind::Corrupt;
}

Counts replyPosition(Bytes reply)
{
    return {decodeCount(reply.subspan<5, 4>()).value_or(0), decodeCount(reply.subspan<9, 4>()).value_or(0)};
}

size_t feedReply(ReplyAssembler &assembler, Bytes input)
{
    if (assembler.complete)
        return 0;
    for (size_t i = 0; i < input.size(); ++i) {
        const uint8_t byte = input[i];
        if (byte == kReplyStart) {
            assembler.length = 0;
        } else if (assembler.length == 0) {
            continue;
        }
        assembler.bytes[assembler.length++] = byte;
        if (byte == kEnd) {
            assembler.complete = true;
            return i + 1;
        }
        if (assembler.length == kMaxReply)
            assembler.length = 0;
    }
    return input.size();
}

Bytes reply(const ReplyAssembler &assembler)
{
    return assembler.complete ? Bytes(assembler.bytes.data(), assembler.length) : Bytes();
}

size_t bytesStillExpected(const ReplyAssembler &assembler)
{
    if (assembler.complete || assembler.length == 0)
        return 0;
    if (assembler.length < kAckReplyLength)
        return kAckReplyLength - assembler.length;
    return assembler.length < kDataReplyLength ? kDataReplyLength - assembler.length : 1;
}

void resetReply(ReplyAssembler &assembler)
{
    assembler.length = 0;
    assembler.complete = false;
}

std::string describeReply(Bytes reply)
{
    switch (classifyReply(reply)) {
    case ReplyKind::Acknowledgement:
        return "acknowledgement";
    case ReplyKind::Rejection:
        return "rejection";
    case ReplyKind::Position: {
        const Counts position = replyPosition(reply);
        return "report pan " + std::to_string(position.pan) + " tilt " + std::to_string(position.tilt);
    }
    case ReplyKind::Corrupt:
        return "corrupt report";
    case ReplyKind::NotReply:
        break;
    }
    return "not a reply";
}

std::string formatDump(Bytes bytes, uint8_t end)
{
    std::string text;
    for (uint8_t byte : bytes) {
        text += ' ';
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0xF];
        if (byte == end)
            break;
    }
    return text;
}

Counts anglesToCounts(int16_t panAngle, int16_t tiltAngle)
{
    int16_t p = wrap16(6282 - panAngle);
    if (p > 3141)
        p = wrap16(p - 6282);
    int16_t t = wrap16(tiltAngle - 1571);
    if (t > 3141)
        t = wrap16(t - 6282);
    return {static_cast<int16_t>(p >> 1), static_cast<int16_t>(t >> 1)};
}

Counts limitCounts(Counts counts)
{
    return {std::clamp(counts.pan, kPanMin, kPanMax), std::clamp(counts.tilt, kTiltMin, kTiltMax)};
}

namespace {

size_t buildInitRow(std::span<uint8_t> out, Counts) { return buildInitFrame(out); }
size_t buildHomeRow(std::span<uint8_t> out, Counts) { return buildHomeFrame(out); }
size_t buildMoveRow(std::span<uint8_t> out, Counts requested)
{
    return buildMoveFrame(out, requested.pan, requested.tilt);
}
size_t buildPollRow(std::span<uint8_t> out, Counts) { return buildPollFrame(out); }

constexpr CommandRow kOtherCommand = {
    Command::Other, "frame", 0, nullptr, ReplyKind::Acknowledgement, kAckReplyLength, false, TargetRule::Keeps};

constexpr std::array<CommandRow, 4> kCommands = {{
    {Command::Initialise, "initialise", kInitCommand, buildInitRow, ReplyKind::Acknowledgement, kAckReplyLength, false,
     TargetRule::Keeps},
    {Command::Home, "home", kHomeCommand, buildHomeRow, ReplyKind::Acknowledgement, kAckReplyLength, true,
     TargetRule::Home},
    {Command::Move, "move", kMoveCommand, buildMoveRow, ReplyKind::Acknowledgement, kAckReplyLength, true,
     TargetRule::Requested},
    {Command::Poll, "position request", kPollCommand, buildPollRow, ReplyKind::Position, kDataReplyLength, false,
     TargetRule::Keeps},
}};

} // namespace

const CommandRow &commandRow(Command command)
{
    return *std::find_if(kCommands.begin(), kCommands.end(),
                         [command](const CommandRow &row) { return row.command == command; });
}

const CommandRow &rowOfFrame(Bytes frame)
{
    if (frame.size() <= 4)
        return kOtherCommand;
    const auto row = std::find_if(kCommands.begin(), kCommands.end(),
                                  [code = frame[4]](const CommandRow &entry) { return entry.code == code; });
    return row == kCommands.end() ? kOtherCommand : *row;
}

std::optional<Counts> targetSetBy(const CommandRow &row, Counts requested)
{
    switch (row.sets) {
    case TargetRule::Home:
        return kHomeCounts;
    case TargetRule::Requested:
        return requested;
    case TargetRule::Keeps:
        break;
    }
    return std::nullopt;
}

} // namespace aimlink

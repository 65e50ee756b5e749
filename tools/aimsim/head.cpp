// SPDX-License-Identifier: MIT
#include "head.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace aimsim {
namespace {

constexpr uint8_t kFrameStart = 0xFF;
constexpr uint8_t kReplyStart = 0xFE;
constexpr uint8_t kEnd = 0xEF;
constexpr size_t kLongestFrame = 32;

std::optional<int> readField(Bytes field)
{
    int value = 0;
    for (uint8_t c : field) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            return std::nullopt;
        value = value * 16 + digit;
    }
    return static_cast<int16_t>(value ^ 0x8000);
}

bool hasPrefix(Bytes frame)
{
    return frame.size() >= 6 && frame[0] == kFrameStart && frame[1] == 0x30 && frame[2] == 0x30 && frame[3] == 0x00 &&
           frame.back() == kEnd;
}

std::string fieldText(Bytes field) { return std::string(field.begin(), field.end()); }

Decoded decodeMove(Bytes frame)
{
    const auto panCount = readField(frame.subspan(5, 4));
    const auto tiltCount = readField(frame.subspan(9, 4));
    if (!panCount || !tiltCount)
        return {Command::Malformed, {}, "malformed move"};
    Decoded move{Command::Move,
                 {std::clamp(*panCount, -kPanLimit, kPanLimit), std::clamp(*tiltCount, kTiltMin, kTiltMax)},
                 "move pan " + fieldText(frame.subspan(5, 4)) + " (" + std::to_string(*panCount) + ") tilt " +
                     fieldText(frame.subspan(9, 4)) + " (" + std::to_string(*tiltCount) + ")"};
    return move;
}

int stepToward(int from, int to, int64_t travelled)
{
    if (from < to)
        return static_cast<int>(std::min<int64_t>(to, from + travelled));
    return static_cast<int>(std::max<int64_t>(to, from - travelled));
}

} // namespace

Decoded decodeFrame(Bytes frame)
{
    if (!hasPrefix(frame))
        return {Command::Malformed, {}, "malformed frame"};
    const uint8_t command = frame[4];
    if (command == 0x90 && frame.size() == 7 && frame[5] == 0x30)
        return {Command::Initialise, {}, "initialise"};
    if (command == 0x57 && frame.size() == 6)
        return {Command::Home, {}, "home"};
    if (command == 0x63 && frame.size() == 6)
        return {Command::Position, {}, "position request"};
    if (command == 0x62 && frame.size() == 14)
        return decodeMove(frame);
    char text[32];
    std::snprintf(text, sizeof text, "unknown command %02X", command);
    return {Command::Malformed, {}, text};
}

std::string positionField(int count)
{
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>((count + 0x8000) & 0xFFFF));
    return digits;
}

std::vector<uint8_t> acknowledgement() { return {kReplyStart, 0x30, 0x30, 0x30, 0x30, kEnd}; }
std::vector<uint8_t> rejection() { return {kReplyStart, 0x30, 0x30, 0x31, 0x30, kEnd}; }

std::vector<uint8_t> positionReply(Position position)
{
    std::vector<uint8_t> reply{kReplyStart, 0x30, 0x30, 0x30, 0x30};
    for (const std::string &field : {positionField(position.pan), positionField(position.tilt)})
        reply.insert(reply.end(), field.begin(), field.end());
    reply.push_back(kEnd);
    return reply;
}

Head::Head(Position start, int speed) : from_(start), to_(start), speed_(speed) {}

Position Head::positionAt(Time now) const
{
    if (speed_ <= 0)
        return to_;
    // Past an hour every travel is over even at 1 count/s; the bound keeps
    // the product within 64 bits however long ago the last move was.
    constexpr int64_t kHour = 3600LL * 1000000;
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - departed_).count();
    const int64_t travelled = std::clamp<int64_t>(elapsed, 0, kHour) * std::min(speed_, kFastestSpeed) / 1000000;
    return {stepToward(from_.pan, to_.pan, travelled), stepToward(from_.tilt, to_.tilt, travelled)};
}

void Head::travelTo(Position target, Time now)
{
    from_ = positionAt(now);
    to_ = target;
    departed_ = now;
}

std::vector<uint8_t> Head::answer(const Decoded &frame, Time now)
{
    switch (frame.command) {
    case Command::Initialise:
    case Command::Home:
        travelTo(kHome, now);
        return acknowledgement();
    case Command::Move:
        travelTo(frame.target, now);
        return acknowledgement();
    case Command::Position:
        return positionReply(positionAt(now));
    case Command::Malformed:
        break;
    }
    return rejection();
}

std::vector<std::vector<uint8_t>> FrameAssembler::feed(Bytes input)
{
    std::vector<std::vector<uint8_t>> frames;
    for (uint8_t byte : input) {
        if (byte == kFrameStart) {
            stray_.insert(stray_.end(), pending_.begin(), pending_.end());
            pending_.clear();
        } else if (pending_.empty()) {
            stray_.push_back(byte);
            continue;
        }
        pending_.push_back(byte);
        if (byte == kEnd) {
            frames.push_back(std::move(pending_));
            pending_.clear();
        } else if (pending_.size() >= kLongestFrame) {
            stray_.insert(stray_.end(), pending_.begin(), pending_.end());
            pending_.clear();
        }
    }
    return frames;
}

std::vector<uint8_t> FrameAssembler::takeStray() { return std::exchange(stray_, {}); }

} // namespace aimsim

// SPDX-License-Identifier: MIT
// The simulated head: answers command frames the way the real head does and
// travels toward its target at a fixed speed. Pure: time is passed in.
#ifndef AIMSIM_HEAD_H
#define AIMSIM_HEAD_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace aimsim {

using Bytes = std::span<const uint8_t>;
using Time = std::chrono::steady_clock::time_point;

struct Position {
    int pan = 0;
    int tilt = 0;
    bool operator==(const Position &) const = default;
};

// Travel of the head, camera counts.
constexpr int kPanLimit = 890;
constexpr int kTiltMin = -267;
constexpr int kTiltMax = 800;
// Where a home frame sends the head, camera counts.
constexpr Position kHome{0, 0};

// Fastest travel the simulator accepts, counts per second: far beyond any
// real head, and small enough that no travel time can overflow.
constexpr int kFastestSpeed = 1000000;

enum class Command { Initialise, Home, Move, Position, Malformed };

struct Decoded {
    Command command = Command::Malformed;
    Position target;  // for Move, already limited to the travel
    std::string text; // as the trace shows it
};

// Reads one complete frame (FF 30 30 00 ... EF).
Decoded decodeFrame(Bytes frame);

// Four offset-binary hex digits, upper case: 0 -> "8000".
std::string positionField(int count);

std::vector<uint8_t> acknowledgement();
std::vector<uint8_t> rejection();
std::vector<uint8_t> positionReply(Position position);

class Head {
public:
    // speed in counts per second for each axis, 0 to kFastestSpeed; 0
    // travels at once.
    Head(Position start, int speed);

    // Carries out a decoded frame received at now and returns the reply.
    std::vector<uint8_t> answer(const Decoded &frame, Time now);
    Position positionAt(Time now) const;

private:
    void travelTo(Position target, Time now);

    Position from_;
    Position to_;
    Time departed_{};
    int speed_;
};

// Cuts command frames out of the byte stream from the client: bytes before
// FF are skipped, FF restarts a frame, and a run of more than 32 bytes
// without the end byte is dropped.
class FrameAssembler {
public:
    // Appends input; returns the frames it completed.
    std::vector<std::vector<uint8_t>> feed(Bytes input);
    // The bytes skipped since the last call: a client sends none, so any
    // here are text or garbage that reached the line.
    std::vector<uint8_t> takeStray();

private:
    std::vector<uint8_t> pending_;
    std::vector<uint8_t> stray_;
};

} // namespace aimsim

#endif

// SPDX-License-Identifier: MIT
// The least a client can do to see an arrival, run in turn with aimhead as
// the floor of the reaction figure on this machine: one thread writes the
// move, then every 100 ms a request, blocks in poll() until the whole reply
// is in, and ends the moment it tells the target. It restores nothing and
// checks nothing else.
//   aimbench-mover DEVICE PAN_COUNT TILT_COUNT
#include "aimlink_protocol.h"
#include "serial.h"

#include <array>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool isTarget(const aimlink::ReplyAssembler &assembler, aimlink::Counts target)
{
    const aimlink::Bytes answer = aimlink::reply(assembler);
    if (!assembler.complete || aimlink::classifyReply(answer) != aimlink::ReplyKind::Position)
        return false;
    const aimlink::Counts position = aimlink::replyPosition(answer);
    return position.pan == target.pan && position.tilt == target.tilt;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    const aimlink::Counts target{static_cast<int16_t>(std::atoi(argv[2])), static_cast<int16_t>(std::atoi(argv[3]))};
    const int port = openSerialPort(argv[1], 9600);
    std::array<uint8_t, aimlink::kMaxFrame> frame{};
    const size_t moveLength = aimlink::buildMoveFrame(frame, target.pan, target.tilt);
    [[maybe_unused]] ssize_t written = write(port, frame.data(), moveLength);
    const size_t requestLength = aimlink::buildPollFrame(frame);
    for (int exchange = 0; exchange < 100; ++exchange) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        tcflush(port, TCIFLUSH);
        written = write(port, frame.data(), requestLength);
        aimlink::ReplyAssembler assembler;
        std::array<uint8_t, 64> input{};
        pollfd readable{port, POLLIN, 0};
        while (!assembler.complete && poll(&readable, 1, 1000) > 0) {
            const ssize_t count = read(port, input.data(), input.size());
            if (count > 0)
                aimlink::feedReply(assembler, aimlink::Bytes(input.data(), static_cast<size_t>(count)));
        }
        if (isTarget(assembler, target))
            return 0;
    }
    return 1;
}

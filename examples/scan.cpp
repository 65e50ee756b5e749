// SPDX-License-Identifier: MIT
// Moves the head through a short scan and prints where it arrived.
// Run it against the simulated head:
//   aimsim --link /tmp/head &  AIMLINK_DEVICE=/tmp/head ./scan_cpp
#include <aimlink/aimlink.h>

#include <array>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

// Keeps the client running for its own lifetime.
class Head {
public:
    Head()
    {
        startPTZ();
        if (waitLinkPTZ(3000) != 1)
            throw std::runtime_error(std::string("the head on ") + devicePTZ() + " does not answer");
    }
    ~Head() { stopPTZ(); }
    Head(const Head &) = delete;
    Head &operator=(const Head &) = delete;

    std::pair<int32_t, int32_t> moveTo(int16_t panAngle, int16_t tiltAngle)
    {
        if (waitReadyPTZ(3000) != 1)
            throw std::runtime_error("the command slot did not empty");
        setPanTilt(panAngle, tiltAngle);
        if (waitReadyPTZ(3000) != 1 || waitDonePTZ(30000) != 1)
            throw std::runtime_error("the head did not arrive at " + std::to_string(panAngle) + " " +
                                     std::to_string(tiltAngle));
        int32_t at[2];
        getPTZ(at);
        return {at[0], at[1]};
    }
};

} // namespace

int main()
{
    constexpr std::array<std::pair<int16_t, int16_t>, 4> scan = {{{0, 1571}, {500, 1800}, {-500, 1300}, {0, 1571}}};
    try {
        Head head;
        for (const auto &[panAngle, tiltAngle] : scan) {
            const auto [reportedPan, reportedTilt] = head.moveTo(panAngle, tiltAngle);
            std::printf("pan %d tilt %d: arrived, head reports %d %d mrad in its own frame\n", panAngle, tiltAngle,
                        reportedPan, reportedTilt);
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "scan: %s\n", error.what());
        return 1;
    }
    return 0;
}

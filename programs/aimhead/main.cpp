// aimhead: points the camera head at one pan/tilt pair and returns once the
// head reports arriving there.
#include "arguments.h"
#include "move.h"
#include "signals.h"
#include "text.h"

#include <cstdio>
#include <string_view>

#ifndef AIMLINK_VERSION
#define AIMLINK_VERSION "unknown"
#endif

namespace {

using namespace aimhead;

constexpr char kUsage[] = "Usage:\naimhead pan tilt [zoom]\npan and tilt are in thousandths of radians\n";

std::optional<int16_t> argument(const char *name, const char *unit, const char *text)
{
    const auto value = parseAngle(text);
    if (!value)
        std::fprintf(stderr, "aimhead: %s must be a whole number%s from -32768 to 32767, got %s\n", name, unit,
                     quoted(text).c_str());
    return value;
}

std::optional<Request> parseRequest(int argc, char **argv)
{
    const char *const kAngleUnit = " of milliradians";
    const auto panAngle = argument("pan", kAngleUnit, argv[1]);
    if (!panAngle)
        return std::nullopt;
    const auto tiltAngle = argument("tilt", kAngleUnit, argv[2]);
    if (!tiltAngle)
        return std::nullopt;
    Request request{*panAngle, *tiltAngle, std::nullopt};
    if (argc > 3) {
        request.zoom = argument("zoom", "", argv[3]);
        if (!request.zoom)
            return std::nullopt;
    }
    return request;
}

} // namespace

int main(int argc, char **argv)
{
    fillStandardDescriptors();
    catchEndingSignals();
    if (argc == 2 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
        std::fputs(kUsage, stdout);
        return kSuccess;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::puts("aimhead " AIMLINK_VERSION);
        return kSuccess;
    }
    if (argc < 3) {
        std::fputs(kUsage, stdout);
        return kBadCommandLine;
    }
    const auto request = parseRequest(argc, argv);
    if (!request)
        return kBadCommandLine;
    return move(*request);
}

// One absolute move: open the head, initialise, move, wait for the report.
#ifndef AIMHEAD_MOVE_H
#define AIMHEAD_MOVE_H

#include <cstdint>
#include <optional>

namespace aimhead {

enum ExitStatus { kSuccess = 0, kFailure = 1, kBadCommandLine = 2 };

struct Request {
    int16_t pan;
    int16_t tilt;
    std::optional<int16_t> zoom;
};

// Returns the exit status; a signal that asks the run to end ends the
// process once the port is given back.
int move(const Request &request);

} // namespace aimhead

#endif

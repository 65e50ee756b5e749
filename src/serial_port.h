// SPDX-License-Identifier: MIT
// The port as the client uses it: opened, locked and configured without
// printing anything, with the settings it had kept for the close. The
// original calls of serial.h are a thin printing layer over these.
#ifndef AIMLINK_SERIAL_PORT_H
#define AIMLINK_SERIAL_PORT_H

#include <optional>
#include <string>

#include <termios.h>

namespace aimlink {

// The platform speed code for a baud figure, or 0 if it has none here.
speed_t speedCode(int baud);

struct PortSettings {
    int baud = 9600;
    bool flowControlOff = false; // else hardware flow control stays as the device had it
};

// Why a port could not be used: the stage tells which boundary line the
// original calls print, call names the failed terminal call, if any.
struct PortFailure {
    enum class Stage { Open, Speed } stage = Stage::Open;
    std::string call;
    int error = 0;
};

struct Port {
    int fd = -1;
    termios saved{};            // as the device had it before we changed it
    bool lowLatencySet = false; // we switched the driver's low latency on
};

std::optional<Port> openPort(const char *path, const PortSettings &settings, PortFailure &failure);

// Discards output the head has not taken (else close() can wait for it for
// the driver's whole closing wait), puts the saved settings and the
// driver's latency back and closes.
void closePort(const Port &port);

// Opens, locks and makes raw; the descriptor, or -1 with errno set.
int openRawPort(const char *path, int flags, termios *saved);

// The lines the original calls print for a failure: the cause, then the
// boundary's own line ("unable to open port" and the like).
std::string describePortFailure(const char *path, const PortFailure &failure);
const char *portBoundaryLine(const PortFailure &failure);

} // namespace aimlink

#endif

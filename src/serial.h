// SPDX-License-Identifier: MIT
/*
 * serial: opens a serial device for the camera link, read-write,
 * non-blocking, raw 8-bit, at a given line speed.
 *
 * The functions keep no state of their own and may be called from any
 * thread; openSerialPort ends the process on failure, so call it before
 * starting threads that must not be cut short.
 */
#ifndef AIMLINK_SERIAL_H
#define AIMLINK_SERIAL_H

#include <termios.h>

#include "aimlink_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens path raw at baud (one of 1200, 1800, 2400, 4800, 9600, 19200, 38400,
 * 57600, 115200, 230400) for this process's exclusive use and returns the
 * descriptor. On any failure writes the cause and then "unable to open port"
 * or "unable to set baud rate on port" to standard error and ends the
 * process with status 1; it does not return. */
AIMLINK_API int openSerialPort(const char *path, int baud);

/* Opens path with flags, takes an exclusive lock on it (flock, which the
 * kernel releases with the process however it ends) and sets raw 8-bit
 * modes with VMIN = VTIME = 0, discarding unread input. The descriptor is
 * never 0, 1 or 2. Returns it, or -1 with errno telling the cause
 * (EWOULDBLOCK: held by another process; ENOTTY: not a terminal). Closes
 * what it opened on failure. */
AIMLINK_API int openRaw(const char *path, int flags);

/* Sets the output and input speed of descriptor to a platform speed code
 * (B9600...). Returns 0, or 1 after writing the failed call and its cause to
 * standard error. */
AIMLINK_API int setBaudRate(int descriptor, speed_t speed);

#ifdef __cplusplus
}
#endif

#endif

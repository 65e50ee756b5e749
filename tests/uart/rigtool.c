// SPDX-License-Identifier: MIT
/* rigtool: small helpers the test guest runs beside aimhead.
 *
 *   rigtool as-user PROGRAM [ARGS]   run PROGRAM as uid 1000, group dialout (20) only
 *   rigtool request DEVICE           a plain reader: send one position request at
 *                                    9600 baud, exit 0 once the reply's last byte is read
 *   rigtool low-latency DEVICE       print the driver's low-latency flag: on, off or
 *                                    "unsupported"
 *   rigtool move-flow-off DEVICE PAN TILT
 *                                    a move through the handle interface with hardware
 *                                    flow control switched off
 *   rigtool replug DEVICE PAN TILT PAN2 TILT2
 *                                    a move that the link's failure interrupts; then
 *                                    waits up to 20 s for the device to return, opens
 *                                    it again and moves to PAN2 TILT2 */
#define _GNU_SOURCE
#include <aimlink/aimlink.h>

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

enum { kUser = 1000, kDialout = 20, kReplyLimitMs = 2000, kReturnLimitMs = 20000, kRetryMs = 100 };

static int fail(const char *what, const char *cause)
{
    fprintf(stderr, "rigtool: %s: %s\n", what, cause);
    return 1;
}

static int asUser(char **command)
{
    if (setgroups(0, NULL) != 0 || setgid(kDialout) != 0 || setuid(kUser) != 0)
        return fail("dropping privileges", strerror(errno));
    execvp(command[0], command);
    return fail(command[0], strerror(errno));
}

static int openLine(const char *device)
{
    const int port = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct termios attributes;
    if (port < 0 || tcgetattr(port, &attributes) != 0)
        return -1;
    cfmakeraw(&attributes);
    cfsetspeed(&attributes, B9600);
    if (tcsetattr(port, TCSANOW, &attributes) != 0) {
        close(port);
        return -1;
    }
    return port;
}

/* Written without the library on purpose: it is the yardstick aimhead's
 * reaction is compared with. */
static int request(const char *device)
{
    static const unsigned char positionRequest[] = {0xFF, 0x30, 0x30, 0x00, 0x63, 0xEF};
    const int port = openLine(device);
    if (port < 0)
        return fail(device, strerror(errno));
    if (write(port, positionRequest, sizeof positionRequest) != (ssize_t)sizeof positionRequest)
        return fail(device, "cannot write the request");
    for (;;) {
        struct pollfd ready = {.fd = port, .events = POLLIN};
        unsigned char bytes[64];
        if (poll(&ready, 1, kReplyLimitMs) <= 0)
            return fail(device, "no reply within 2 s");
        const ssize_t count = read(port, bytes, sizeof bytes);
        if (count <= 0)
            return fail(device, count == 0 ? "hang-up" : strerror(errno));
        if (memchr(bytes, 0xEF, (size_t)count) != NULL)
            return 0;
    }
}

static int lowLatency(const char *device)
{
    const int port = open(device, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct serial_struct serial;
    if (port < 0)
        return fail(device, strerror(errno));
    if (ioctl(port, TIOCGSERIAL, &serial) != 0)
        puts("unsupported");
    else
        puts((serial.flags & ASYNC_LOW_LATENCY) != 0 ? "on" : "off");
    close(port);
    return 0;
}

static void toStandardError(void *user, int level, const char *message)
{
    (void)user;
    (void)level;
    fprintf(stderr, "%s\n", message);
}

static aimlink_head *newHandle(const char *device, int flowControl)
{
    aimlink_head *handle = aimlink_new(device);
    if (handle != NULL) {
        aimlink_set_handler(handle, toStandardError, NULL);
        aimlink_set_flow_control(handle, flowControl);
    }
    return handle;
}

/* AIMLINK_OK once the head reports the target; the handle stays open. */
static int moveTo(aimlink_head *handle, const char *pan, const char *tilt)
{
    int status = aimlink_wait_link(handle, 3000);
    if (status == AIMLINK_OK)
        status = aimlink_move(handle, (int32_t)atoi(pan), (int32_t)atoi(tilt));
    if (status == AIMLINK_OK)
        status = aimlink_wait_arrived(handle, 30000);
    printf("move to %s %s: %s%s%s\n", pan, tilt, aimlink_strerror(status), status == AIMLINK_OK ? "" : ": ",
           aimlink_last_error(handle));
    return status;
}

static int moveFlowOff(char **arguments)
{
    aimlink_head *handle = newHandle(arguments[0], AIMLINK_FLOW_OFF);
    if (handle == NULL || aimlink_open(handle) != AIMLINK_OK)
        return fail(arguments[0], handle == NULL ? strerror(errno) : aimlink_last_error(handle));
    const int status = moveTo(handle, arguments[1], arguments[2]);
    aimlink_free(handle);
    return status == AIMLINK_OK ? 0 : 1;
}

/* Bounded: a device that does not come back ends the run. */
static int reopen(aimlink_head *handle)
{
    for (int waited = 0; waited < kReturnLimitMs; waited += kRetryMs) {
        if (aimlink_open(handle) == AIMLINK_OK)
            return AIMLINK_OK;
        usleep(kRetryMs * 1000);
    }
    return AIMLINK_ERR_TIMEOUT;
}

static int replug(char **arguments)
{
    aimlink_head *handle = newHandle(arguments[0], AIMLINK_FLOW_KEEP);
    if (handle == NULL || aimlink_open(handle) != AIMLINK_OK)
        return fail(arguments[0], handle == NULL ? strerror(errno) : aimlink_last_error(handle));
    const int interrupted = moveTo(handle, arguments[1], arguments[2]);
    aimlink_close(handle);
    int status = interrupted == AIMLINK_ERR_LINK ? reopen(handle) : interrupted;
    if (status == AIMLINK_OK) {
        puts("reopened");
        status = moveTo(handle, arguments[3], arguments[4]);
    }
    aimlink_free(handle);
    return interrupted == AIMLINK_ERR_LINK && status == AIMLINK_OK ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "as-user") == 0)
        return asUser(argv + 2);
    if (argc == 3 && strcmp(argv[1], "request") == 0)
        return request(argv[2]);
    if (argc == 3 && strcmp(argv[1], "low-latency") == 0)
        return lowLatency(argv[2]);
    if (argc == 5 && strcmp(argv[1], "move-flow-off") == 0)
        return moveFlowOff(argv + 2);
    if (argc == 7 && strcmp(argv[1], "replug") == 0)
        return replug(argv + 2);
    fputs("usage: rigtool as-user PROGRAM [ARGS] | request DEVICE | low-latency DEVICE |\n"
          "       move-flow-off DEVICE PAN TILT | replug DEVICE PAN TILT PAN2 TILT2\n",
          stderr);
    return 2;
}

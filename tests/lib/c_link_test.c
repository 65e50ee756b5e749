// SPDX-License-Identifier: MIT
/* Links the module from C the documented way: aimlink.o, serial.o, the
 * threads library and the C++ runtime. Against a missing device the
 * original calls end the process with status 1, so this checks what needs
 * no head: every exported name resolves, with its type and initial value,
 * and the handle interface reports a missing device as an error. */
#include "aimlink.h"

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

static int failures;

static void check(int condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "c_link_test: %s\n", what);
        ++failures;
    }
}

/* What a C program sees of the handle interface: the layout of the one
 * public structure, and a missing device as a status, not an exit. */
static void check_handle(void)
{
    aimlink_head *head = aimlink_new("/nonexistent/ttyUSB7");
    aimlink_angles where = {0, 0};

    check(sizeof(aimlink_angles) == 8 && offsetof(aimlink_angles, tilt) == 4, "aimlink_angles is two int32_t");
    check(strcmp(aimlink_version(), AIMLINK_VERSION_STRING) == 0, "library and header versions agree");
    check(head != NULL, "a handle");
    check(aimlink_open(head) == AIMLINK_ERR_PORT && aimlink_last_errno(head) == ENOENT, "missing device");
    check(strcmp(aimlink_last_error(head), "/nonexistent/ttyUSB7: No such file or directory") == 0, "its reason");
    check(aimlink_move(head, 0, 1571) == AIMLINK_ERR_CLOSED, "no move on a closed handle");
    check(aimlink_position(head, &where) == AIMLINK_ERR_NO_REPORT, "no report");
    check(aimlink_reachable(2000, 0, &where) == 0 && where.pan == 1780 && where.tilt == 1037, "limits");
    aimlink_free(head);
}

int main(void)
{
    int32_t position[2] = {1, 1};
    uint8_t reply[256] = {0xFE, 0x30, 0x30, 0x31, 0x30, 0xEF};
    /* volatile: the linker, not the compiler, must resolve these. */
    int (*volatile start)(void) = startPTZ;
    void (*volatile command)(void) = homePTZ;
    void (*volatile queue)(void) = initPTZ;
    void (*volatile move)(int16_t, int16_t) = setPanTilt;
    void *(*volatile body)(void *) = watchPTZ;

    check(start && command && queue && move && body, "functions resolve");
    hexPrint(reply, 0xEF);
    check(sizeof cmdbuf == 32 && sizeof newbuf == 32, "buffers are 32 bytes");
    check(sizeof cmdLength == 4 && sizeof pan == 2 && sizeof tiltout == 2, "fixed-width types");
    check(cmdLength == 0 && fd == -1 && pan == 0 && tilt == 0 && zoom == 0 && trackState == 0, "zero start");
    check(ptzStale == 1, "ptzStale starts at 1");
    check(readyPTZ() == 1 && donePTZ() == 0 && reportedPTZ() == 0, "idle client: empty slot, nothing reported");
    check(linkPTZ() == PTZ_LINK_STOPPED, "not started");
    check(waitReadyPTZ(0) == PTZ_WAIT_FAILED && waitDonePTZ(0) == PTZ_WAIT_FAILED && waitLinkPTZ(0) == PTZ_WAIT_FAILED,
          "waits before start fail");
    setZoom(3);
    getPTZ(position);
    check(position[0] == 0 && position[1] == 0, "getPTZ doubles the zero position");
    check(strlen(devicePTZ()) > 0, "a device path");
    stopPTZ();
    check_handle();
    return failures == 0 ? 0 : 1;
}

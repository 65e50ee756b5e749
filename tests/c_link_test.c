/* Links the module from C the documented way: aimlink.o, serial.o, the
 * threads library and the C++ runtime. Against a missing device the
 * client must end the process with status 1, so this checks what needs no
 * head: every exported name resolves, with its type and initial value. */
#include "aimlink.h"

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
    check(readyPTZ() == 1 && donePTZ() == 1, "idle client is ready and done");
    check(linkPTZ() == PTZ_LINK_STOPPED, "not started");
    check(waitReadyPTZ(0) == 1 && waitDonePTZ(0) == 1 && waitLinkPTZ(0) == -1, "waits before start");
    setZoom(3);
    getPTZ(position);
    check(position[0] == 0 && position[1] == 0, "getPTZ doubles the zero position");
    check(strlen(devicePTZ()) > 0, "a device path");
    stopPTZ();
    return failures == 0 ? 0 : 1;
}

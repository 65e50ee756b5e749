/* Moves the head through a short scan and prints where it arrived.
 * Run it against the simulated head:
 *   aimsim --link /tmp/head &  AIMLINK_DEVICE=/tmp/head ./scan_c */
#include <aimlink/aimlink.h>

#include <stdio.h>

struct angle {
    int16_t pan, tilt;
};

static const struct angle scan[] = {{0, 1571}, {500, 1800}, {-500, 1300}, {0, 1571}};

int main(void)
{
    size_t i;
    startPTZ();
    if (waitLinkPTZ(3000) != 1) {
        fprintf(stderr, "scan: the head on %s does not answer\n", devicePTZ());
        stopPTZ();
        return 1;
    }
    for (i = 0; i < sizeof scan / sizeof scan[0]; ++i) {
        int32_t at[2];
        if (waitReadyPTZ(3000) != 1)
            break;
        setPanTilt(scan[i].pan, scan[i].tilt);
        if (waitReadyPTZ(3000) != 1 || waitDonePTZ(30000) != 1)
            break;
        getPTZ(at);
        printf("pan %d tilt %d: arrived, head reports %d %d mrad\n", scan[i].pan, scan[i].tilt, (int)at[0], (int)at[1]);
    }
    stopPTZ();
    if (i < sizeof scan / sizeof scan[0]) {
        fprintf(stderr, "scan: step %u did not complete\n", (unsigned)i + 1);
        return 1;
    }
    return 0;
}

// SPDX-License-Identifier: MIT
/* The public structures as a C compiler lays them out, on every target the
 * tree is built for (32-bit armhf too), and filled by the shared library
 * where that compiler reads them. */
#include "aimlink.h"

#include <stddef.h>
#include <stdio.h>

_Static_assert(sizeof(aimlink_angles) == 8, "aimlink_angles is two 32-bit angles");
_Static_assert(_Alignof(aimlink_angles) == 4, "aimlink_angles is aligned as int32_t");
_Static_assert(offsetof(aimlink_angles, pan) == 0, "pan comes first");
_Static_assert(offsetof(aimlink_angles, tilt) == 4, "tilt follows pan");
_Static_assert(sizeof(aimlink_link_state) == sizeof(int), "enumerations are int-sized");

int main(void)
{
    /* A guard after the structure shows a write past its end. */
    aimlink_angles stop[2] = {{-1, -1}, {-1, -1}};
    const int within = aimlink_reachable(2000, 500, &stop[0]);
    if (within != 0 || stop[0].pan != AIMLINK_PAN_MAX || stop[0].tilt != AIMLINK_TILT_MIN || stop[1].pan != -1 ||
        stop[1].tilt != -1) {
        fprintf(stderr, "layout_test: aimlink_reachable(2000, 500) gave %d, stop %d %d, guard %d %d\n", within,
                (int)stop[0].pan, (int)stop[0].tilt, (int)stop[1].pan, (int)stop[1].tilt);
        return 1;
    }
    return 0;
}

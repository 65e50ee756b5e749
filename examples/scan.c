// SPDX-License-Identifier: MIT
/* Moves the head through a short scan and prints where it arrived.
 * Run it against the simulated head:
 *   aimsim --link /tmp/head &  AIMLINK_DEVICE=/tmp/head ./scan_c */
#include <aimlink/aimlink.h>

#include <stdio.h>

static const aimlink_angles scan[] = {{0, 1571}, {500, 1801}, {-500, 1301}, {0, 1571}};

/* One step: queue the move and wait for the head to report it. */
static int step(aimlink_head *head, aimlink_angles target, aimlink_angles *at)
{
    int status = aimlink_move(head, target.pan, target.tilt);
    if (status == AIMLINK_OK)
        status = aimlink_wait_arrived(head, 30000);
    if (status == AIMLINK_OK)
        status = aimlink_position(head, at);
    return status;
}

int main(void)
{
    size_t i;
    int status;
    aimlink_head *head = aimlink_new(NULL); /* AIMLINK_DEVICE, else /dev/ttyS3 */
    if (head == NULL) {
        perror("scan");
        return 1;
    }
    status = aimlink_open(head);
    if (status == AIMLINK_OK)
        status = aimlink_wait_link(head, 3000);
    for (i = 0; status == AIMLINK_OK && i < sizeof scan / sizeof scan[0]; ++i) {
        aimlink_angles at;
        status = step(head, scan[i], &at);
        if (status == AIMLINK_OK)
            printf("pan %d tilt %d: arrived, head reports %d %d mrad\n", (int)scan[i].pan, (int)scan[i].tilt,
                   (int)at.pan, (int)at.tilt);
    }
    if (status != AIMLINK_OK)
        fprintf(stderr, "scan: %s: %s%s%s\n", aimlink_device(head), aimlink_strerror(status),
                *aimlink_last_error(head) ? ": " : "", aimlink_last_error(head));
    aimlink_free(head);
    return status == AIMLINK_OK ? 0 : 1;
}

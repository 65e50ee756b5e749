// SPDX-License-Identifier: MIT
/* Moves a head back and forth and prints the CPU time of each move in
 * microseconds, as the process's clock counts it (every thread, the watcher
 * included): the reference for the same moves from Python.
 * Usage: aimlink_move_cpu DEVICE MOVES */
#define _POSIX_C_SOURCE 200809L

#include "aimlink.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double cpu_us(void)
{
    struct timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return (double)now.tv_sec * 1e6 + (double)now.tv_nsec / 1e3;
}

static int run(aimlink_head *head, long moves)
{
    int status = aimlink_open(head);
    if (status == AIMLINK_OK)
        status = aimlink_wait_link(head, 3000);
    for (long i = 0; i < moves && status == AIMLINK_OK; ++i) {
        const double before = cpu_us();
        status = aimlink_move(head, i % 2 ? -500 : 500, 1571);
        if (status == AIMLINK_OK)
            status = aimlink_wait_arrived(head, 30000);
        if (status == AIMLINK_OK)
            printf("%.1f\n", cpu_us() - before);
    }
    if (status != AIMLINK_OK)
        fprintf(stderr, "aimlink_move_cpu: %s: %s\n", aimlink_device(head), aimlink_strerror(status));
    return status;
}

int main(int argc, char **argv)
{
    if (argc != 3 || atol(argv[2]) <= 0) {
        fprintf(stderr, "usage: aimlink_move_cpu DEVICE MOVES\n");
        return 2;
    }
    aimlink_head *head = aimlink_new(argv[1]);
    if (head == NULL) {
        perror("aimlink_move_cpu");
        return 1;
    }
    const int status = run(head, atol(argv[2]));
    aimlink_free(head);
    return status == AIMLINK_OK ? 0 : 1;
}

/*
 * aimlink: client for a motorised pan-tilt camera head on a serial line.
 *
 * One client per process. startPTZ() opens the port and starts a background
 * watcher thread that writes one frame at a time (the queued command, or else
 * a position request) and reads the head's reply. The caller's thread queues
 * commands through a single-entry slot and reads the last reported position.
 *
 * Units: callers give angles in milliradians in their own frame
 * (setPanTilt); the head reports camera counts of 2 milliradians each in its
 * own frame (panout, tiltout; getPTZ doubles them).
 *
 * Threads: every function is meant for one caller thread at a time; the
 * watcher is the only other thread that touches the module's state.
 *
 * Diagnostics go to standard error. Failures to open or configure the port
 * end the process with status 1, as does a watcher thread that cannot start.
 */
#ifndef AIMLINK_AIMLINK_H
#define AIMLINK_AIMLINK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Device used when AIMLINK_DEVICE is unset or empty. */
#define PTZ_DEFAULT_DEVICE "/dev/ttyS3"
/* Line speed of the head, in baud. */
#define PTZ_BAUD 9600
/* A frame without a complete reply within this many ms counts as unanswered. */
#define PTZ_REPLY_TIMEOUT_MS 1000
/* Pause before each exchange, in ms: it paces the head. */
#define PTZ_EXCHANGE_PAUSE_MS 100

/* States reported by linkPTZ(). */
enum {
    PTZ_LINK_STOPPED = 0, /* not started, or stopped by stopPTZ() */
    PTZ_LINK_WAITING = 1, /* started; the head has not answered yet */
    PTZ_LINK_UP = 2,      /* replies are flowing */
    PTZ_LINK_SILENT = 3,  /* the last frame went unanswered within the time-out */
    PTZ_LINK_FAILED = 4   /* hang-up or I/O error; the watcher no longer touches the port */
};

/* Command slot: the bytes of the pending frame, and afterwards of the last
 * frame written. Filled by the command operations; read by the watcher. */
extern uint8_t cmdbuf[32];
/* Length of the pending frame in cmdbuf; 0 when the slot is empty. Use
 * readyPTZ() rather than reading it directly. */
extern int32_t cmdLength;
/* Descriptor of the open serial device, -1 while stopped. Owned by the
 * module: never read, write or close it. */
extern int fd;
/* Target pan and tilt of the last setPanTilt(), camera counts, limited to
 * the head's travel. Caller's thread only. */
extern int16_t pan;
extern int16_t tilt;
/* Last pan and tilt reported by the head, camera counts. Written by the
 * watcher; read them through donePTZ() and getPTZ(). */
extern int16_t panout;
extern int16_t tiltout;
/* Declared for compatibility; the module neither reads nor writes them. */
extern int16_t zoom;
extern uint8_t newbuf[32];
extern int16_t ptzStale;
extern int16_t trackState;

/* Opens the device (AIMLINK_DEVICE, else PTZ_DEFAULT_DEVICE) raw at
 * PTZ_BAUD, starts the watcher and queues the initialise frame. Returns 0
 * once that frame is written (or the link has failed: see linkPTZ()).
 * Ends the process with status 1 if the port cannot be opened, locked or
 * configured, or the watcher cannot start. A second call while running
 * does nothing and returns 0. */
int startPTZ(void);

/* Stops and joins the watcher, releases and closes the port. Afterwards
 * startPTZ() may be called again (recovery from an unplugged adapter).
 * Does nothing when not running. */
void stopPTZ(void);

/* 1 when the command slot is empty (the last command has been written to
 * the head), else 0. Call it before each setPanTilt/homePTZ/initPTZ. */
int readyPTZ(void);

/* 1 when the head's last reported position equals the target of the last
 * setPanTilt() (pan == panout and tilt == tiltout), else 0. */
int donePTZ(void);

/* Block until readyPTZ()/donePTZ() would return 1, for at most ms
 * milliseconds (negative counts as 0). Return 1 then, 0 on time-out, and
 * -1 when the link has failed or the client is not running. */
int waitReadyPTZ(int ms);
int waitDonePTZ(int ms);

/* Block until the head has answered a frame (linkPTZ() == PTZ_LINK_UP),
 * for at most ms milliseconds. Return 1 then, 0 on time-out, -1 when the
 * link has failed or the client is not running. */
int waitLinkPTZ(int ms);

/* The link's state: one of the PTZ_LINK_* values. */
int linkPTZ(void);

/* Path of the device the client uses (or would use on the next start). */
const char *devicePTZ(void);

/* Queue a move to pan, tilt (milliradians, caller's frame). The head's pan
 * is mirrored (6282 - pan) and its tilt offset by 1571; one count is 2
 * milliradians. Counts beyond the travel (pan -890..890, tilt -267..800) are
 * limited; pan and tilt record the limited counts. Wait for readyPTZ()
 * first: a full slot is overwritten. */
void setPanTilt(int16_t pan, int16_t tilt);

/* Queue the home frame / the initialise frame. Wait for readyPTZ() first. */
void homePTZ(void);
void initPTZ(void);

/* Has no effect: the head has no zoom command. */
void setZoom(int zoom);

/* position[0] = 2 * panout, position[1] = 2 * tiltout: milliradians in the
 * head's own frame (neither mirrored back nor offset). */
void getPTZ(int32_t position[2]);

/* Writes "hexPrint:  " and the bytes of a reply, " %02X" each, up to and
 * including the first byte equal to the low 8 bits of end, to standard
 * error. Reads at most 256 bytes. */
void hexPrint(const uint8_t *bytes, int end);

/* Body of the watcher thread; started by startPTZ(). Returns (NULL) only
 * when stopPTZ() stops it. */
void *watchPTZ(void *unused);

#ifdef __cplusplus
}
#endif

#endif

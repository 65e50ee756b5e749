// SPDX-License-Identifier: MIT
/*
 * aimlink: client for a motorised pan-tilt camera head on a serial line.
 *
 * Two interfaces over one client:
 *
 * - The handle interface (aimlink_*): one handle per head, any number of
 *   heads per process. Every call returns a status code; the text of the
 *   last failure is fetched with aimlink_last_error(). Nothing is printed and
 *   nothing ends the process: messages go to a handler the caller installs.
 *
 * - The original calls (startPTZ, setPanTilt, cmdbuf, ...): one client per
 *   process over a default handle, its state in exported variables. Port
 *   failures end the process with status 1 and messages go to standard
 *   error, as programs written for it expect.
 *
 * Units: callers give angles in milliradians in their own frame. The head's
 * pan is mirrored (6282 - pan) and its tilt offset by 1571; one camera count
 * is 2 milliradians. The handle interface reports positions in the caller's
 * frame; getPTZ() reports the head's own frame, as it always has.
 *
 * Each handle has a background watcher thread that writes one frame at a
 * time (the queued command, or else a position request) and reads the
 * head's reply.
 */
#ifndef AIMLINK_AIMLINK_H
#define AIMLINK_AIMLINK_H

#include <stdint.h>

#include "aimlink_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Version
 * ------------------------------------------------------------------------ */
#define AIMLINK_VERSION_MAJOR 1
#define AIMLINK_VERSION_MINOR 1
#define AIMLINK_VERSION_PATCH 0
#define AIMLINK_VERSION_STRING "1.1.0"

/* The library's version, "MAJOR.MINOR.PATCH": the one running, which may be
 * newer than the header a program was built with. */
AIMLINK_API const char *aimlink_version(void);

/* ------------------------------------------------------------------------
 * The handle interface
 * ------------------------------------------------------------------------ */

/* Results of the handle calls. 0 is success; every failure is negative. */
typedef enum aimlink_status {
    AIMLINK_OK = 0,
    AIMLINK_ERR_ARGUMENT = -1,  /* a bad argument: null handle, unsupported speed, angle beyond 16 bits */
    AIMLINK_ERR_PORT = -2,      /* the device cannot be opened, locked or configured; aimlink_last_errno() */
    AIMLINK_ERR_TIMEOUT = -3,   /* the wait ended before its condition held */
    AIMLINK_ERR_LINK = -4,      /* the link failed: hang-up, unplug or I/O error; close and open again */
    AIMLINK_ERR_CLOSED = -5,    /* the handle is not open */
    AIMLINK_ERR_OPEN = -6,      /* the handle is already open */
    AIMLINK_ERR_SYSTEM = -7,    /* no thread, descriptor or memory to be had; aimlink_last_errno() */
    AIMLINK_ERR_NO_REPORT = -8, /* the head has sent no position report since the handle was opened */
    AIMLINK_ERR_NO_TARGET = -9  /* no move or home was queued since the handle was opened */
} aimlink_status;

/* A short fixed description of a status code, such as "timed out". */
AIMLINK_API const char *aimlink_strerror(int status);

/* States of the link, also those of linkPTZ(). */
typedef enum aimlink_link_state {
    AIMLINK_LINK_CLOSED = 0,  /* not open */
    AIMLINK_LINK_WAITING = 1, /* open; the head has not answered yet */
    AIMLINK_LINK_UP = 2,      /* replies are flowing */
    AIMLINK_LINK_SILENT = 3,  /* the last frame went unanswered within the reply time-out */
    AIMLINK_LINK_FAILED = 4   /* hang-up or I/O error; the watcher no longer touches the port */
} aimlink_link_state;

/* The head's travel in the caller's frame, milliradians. */
#define AIMLINK_PAN_MIN (-1780)
#define AIMLINK_PAN_MAX 1780
#define AIMLINK_TILT_MIN 1037
#define AIMLINK_TILT_MAX 3171

/* Where a home sends the head, in the caller's frame: pan straight ahead,
 * tilt level. */
#define AIMLINK_HOME_PAN 0
#define AIMLINK_HOME_TILT 1571

/* Defaults of a new handle. */
#define AIMLINK_DEFAULT_DEVICE "/dev/ttyS3"
#define AIMLINK_DEFAULT_BAUD 9600
#define AIMLINK_DEFAULT_REPLY_TIMEOUT_MS 1000

/* The ranges the setters take: the slowest and fastest line speeds (the
 * usual ones between), and the shortest and longest reply time-out. */
#define AIMLINK_BAUD_MIN 1200
#define AIMLINK_BAUD_MAX 230400
#define AIMLINK_REPLY_TIMEOUT_MIN_MS 10
#define AIMLINK_REPLY_TIMEOUT_MAX_MS 60000

/* Hardware flow control (RTS/CTS) on open. */
typedef enum aimlink_flow_control {
    AIMLINK_FLOW_KEEP = 0, /* leave it as the device had it (default) */
    AIMLINK_FLOW_OFF = 1   /* switch it off: for three-wire cables */
} aimlink_flow_control;

/* Severity of a diagnostic message. */
typedef enum aimlink_level {
    AIMLINK_LEVEL_ERROR = 0,   /* the link failed, a port could not be used */
    AIMLINK_LEVEL_WARNING = 1, /* a rejection, a silence, a corrupt reply */
    AIMLINK_LEVEL_INFO = 2,    /* the head answers again, and the like */
    AIMLINK_LEVEL_DEBUG = 3    /* every frame written and reply read: only after aimlink_set_trace() */
} aimlink_level;

/* A position in the caller's frame, milliradians. */
typedef struct aimlink_angles {
    int32_t pan;
    int32_t tilt;
} aimlink_angles;

/* Receives every message the client has to tell: one line, no newline.
 * Called from the caller's thread or the watcher thread; it must not call
 * back into the same handle. */
typedef void (*aimlink_handler)(void *user, int level, const char *message);

/* An opaque handle: one head on one serial device. */
typedef struct aimlink_head aimlink_head;

/* A closed handle for device, with the defaults above. A null or empty
 * device means AIMLINK_DEVICE from the environment if set and not empty,
 * else AIMLINK_DEFAULT_DEVICE. Returns NULL only when memory or a
 * descriptor cannot be had (errno tells which). */
AIMLINK_API aimlink_head *aimlink_new(const char *device);

/* Closes the handle if open and frees it. A null handle is ignored. */
AIMLINK_API void aimlink_free(aimlink_head *handle);

/* Options; each takes effect at the next aimlink_open(). */
AIMLINK_API int aimlink_set_baud(aimlink_head *handle,
                                 int baud); /* AIMLINK_BAUD_MIN ... _MAX; else AIMLINK_ERR_ARGUMENT */
AIMLINK_API int aimlink_set_initialise(aimlink_head *handle,
                                       int initialise);                   /* nonzero (default): initialise on open */
AIMLINK_API int aimlink_set_reply_timeout(aimlink_head *handle, int ms);  /* AIMLINK_REPLY_TIMEOUT_MIN_MS ... _MAX_MS */
AIMLINK_API int aimlink_set_flow_control(aimlink_head *handle, int mode); /* an aimlink_flow_control */

/* Installs the handler for diagnostic messages (NULL: keep them to
 * yourself, the default). Safe at any time. */
AIMLINK_API int aimlink_set_handler(aimlink_head *handle, aimlink_handler handler, void *user);

/* Nonzero: the handler also gets, at AIMLINK_LEVEL_DEBUG, every frame
 * written and every reply read, in hex and with its meaning. Off by
 * default. Safe at any time. */
AIMLINK_API int aimlink_set_trace(aimlink_head *handle, int on);

/* Opens and locks the device raw at the line speed, starts the watcher and,
 * if set, queues the initialise frame. Returns at once: wait with
 * aimlink_wait_link() for the head's first answer. A handle whose link
 * failed, or that failed to open, may be opened again after
 * aimlink_close() (or at once, if the open failed). */
AIMLINK_API int aimlink_open(aimlink_head *handle);

/* Stops the watcher, discards output the head has not taken, restores the
 * terminal settings the device had and releases the port. Closing a closed
 * handle returns AIMLINK_OK. */
AIMLINK_API int aimlink_close(aimlink_head *handle);

/* Queue a command. A command not yet written is replaced by the new one:
 * the last request wins. Angles are in the caller's frame; a request beyond
 * the travel goes to the limit (see aimlink_reachable()). A move or home
 * that the head leaves unanswered is sent again. */
AIMLINK_API int aimlink_move(aimlink_head *handle, int32_t pan, int32_t tilt);
AIMLINK_API int aimlink_home(aimlink_head *handle);
AIMLINK_API int aimlink_initialise(aimlink_head *handle);

/* Block for at most timeout_ms (negative counts as 0) until:
 * - written: the queued command has been written to the port;
 * - arrived: the head has reported the target of the last move in a report
 *   received after that move was written (a home's target is
 *   AIMLINK_HOME_PAN, AIMLINK_HOME_TILT);
 * - link:    the head has answered a frame since the handle was opened.
 * AIMLINK_OK when the condition holds, AIMLINK_ERR_TIMEOUT, AIMLINK_ERR_LINK
 * once the link has failed, AIMLINK_ERR_CLOSED when not open. */
AIMLINK_API int aimlink_wait_written(aimlink_head *handle, int timeout_ms);
AIMLINK_API int aimlink_wait_arrived(aimlink_head *handle, int timeout_ms);
AIMLINK_API int aimlink_wait_link(aimlink_head *handle, int timeout_ms);

/* The position of the last report since the handle was opened, or
 * AIMLINK_ERR_NO_REPORT when none has come. */
AIMLINK_API int aimlink_position(aimlink_head *handle, aimlink_angles *position);

/* The target of the last move, as limited to the travel: where the head
 * will stop. AIMLINK_ERR_NO_TARGET when no move or home was queued since
 * open. */
AIMLINK_API int aimlink_target(aimlink_head *handle, aimlink_angles *target);

/* An aimlink_link_state. */
AIMLINK_API int aimlink_link(aimlink_head *handle);

/* A link state's name for people and protocols: "closed", "waiting", "up",
 * "silent" or "failed". */
AIMLINK_API const char *aimlink_link_name(int state);

/* The device path the handle opens. Valid until aimlink_free(). */
AIMLINK_API const char *aimlink_device(aimlink_head *handle);

/* The text of the last failure on this handle, naming the device and the
 * reason (such as "/dev/ttyUSB0: hang-up on the line (device unplugged or
 * closed)"), or "" when none. Valid until the next call of this function on
 * this handle. */
AIMLINK_API const char *aimlink_last_error(aimlink_head *handle);
/* The errno behind the last AIMLINK_ERR_PORT or AIMLINK_ERR_SYSTEM, else 0. */
AIMLINK_API int aimlink_last_errno(aimlink_head *handle);

/* A descriptor that becomes readable whenever the position, the link
 * state, the target or the command slot changes: poll it in an event loop,
 * then read its 8-byte counter to clear it. Owned by the handle; valid from
 * aimlink_new() to aimlink_free(). */
AIMLINK_API int aimlink_event_fd(aimlink_head *handle);

/* Pure: where a request will stop, in the caller's frame. Returns 1 when
 * the request lies within the travel, 0 when the head will stop at a limit,
 * AIMLINK_ERR_ARGUMENT when an angle lies beyond 16 bits. stop may be NULL. */
AIMLINK_API int aimlink_reachable(int32_t pan, int32_t tilt, aimlink_angles *stop);

/* ------------------------------------------------------------------------
 * The original calls: one client per process over a default handle.
 * ------------------------------------------------------------------------ */

/* Device used when AIMLINK_DEVICE is unset or empty. */
#define PTZ_DEFAULT_DEVICE AIMLINK_DEFAULT_DEVICE
/* Line speed of the head, in baud. */
#define PTZ_BAUD AIMLINK_DEFAULT_BAUD
/* A frame without a complete reply within this many ms counts as unanswered. */
#define PTZ_REPLY_TIMEOUT_MS AIMLINK_DEFAULT_REPLY_TIMEOUT_MS
/* Pause before each exchange, in ms: it paces the head. */
#define PTZ_EXCHANGE_PAUSE_MS 100

/* States reported by linkPTZ(): the AIMLINK_LINK_* values. */
enum {
    PTZ_LINK_STOPPED = AIMLINK_LINK_CLOSED,  /* not started, or stopped by stopPTZ() */
    PTZ_LINK_WAITING = AIMLINK_LINK_WAITING, /* started; the head has not answered yet */
    PTZ_LINK_UP = AIMLINK_LINK_UP,           /* replies are flowing */
    PTZ_LINK_SILENT = AIMLINK_LINK_SILENT,   /* the last frame went unanswered within the time-out */
    PTZ_LINK_FAILED = AIMLINK_LINK_FAILED    /* hang-up or I/O error; the watcher no longer touches the port */
};

/* Results of waitReadyPTZ(), waitDonePTZ() and waitLinkPTZ(). */
enum {
    PTZ_WAIT_DONE = 1,    /* the condition holds */
    PTZ_WAIT_TIMEOUT = 0, /* the time ran out first */
    PTZ_WAIT_FAILED = -1  /* not running, or the link has failed */
};

/* Command slot: the bytes of the pending frame, and afterwards of the last
 * frame written. Filled by the command operations; read by the watcher. */
extern AIMLINK_API uint8_t cmdbuf[32];
/* Length of the pending frame in cmdbuf; 0 when the slot is empty. Use
 * readyPTZ() rather than reading it directly. */
extern AIMLINK_API int32_t cmdLength;
/* Descriptor of the open serial device, -1 while stopped. Owned by the
 * module: never read, write or close it. */
extern AIMLINK_API int fd;
/* Target pan and tilt of the last setPanTilt(), camera counts, limited to
 * the head's travel. Caller's thread only. */
extern AIMLINK_API int16_t pan;
extern AIMLINK_API int16_t tilt;
/* Last pan and tilt reported by the head, camera counts. Written by the
 * watcher; read them through donePTZ() and getPTZ(). */
extern AIMLINK_API int16_t panout;
extern AIMLINK_API int16_t tiltout;
/* Declared for compatibility; the module neither reads nor writes them. */
extern AIMLINK_API int16_t zoom;
extern AIMLINK_API uint8_t newbuf[32];
extern AIMLINK_API int16_t ptzStale;
extern AIMLINK_API int16_t trackState;

/* Opens the device (AIMLINK_DEVICE, else PTZ_DEFAULT_DEVICE) raw at
 * PTZ_BAUD, starts the watcher and queues the initialise frame. The slot,
 * target, reported position, link state and last failure start afresh.
 * Returns 0 once that frame is written (or the link has failed: see
 * linkPTZ()).
 * Ends the process with status 1 if the port cannot be opened, locked or
 * configured, or the watcher cannot start. A second call while running
 * does nothing and returns 0. */
AIMLINK_API int startPTZ(void);

/* Stops and joins the watcher, restores the terminal settings the port had,
 * releases and closes it. Afterwards startPTZ() may be called again
 * (recovery from an unplugged adapter) and starts from a clean state: no
 * command, no target, no report. Does nothing when not running. */
AIMLINK_API void stopPTZ(void);

/* 1 when the command slot is empty (the last command has been written to
 * the head), else 0. Call it before each setPanTilt/homePTZ/initPTZ. */
AIMLINK_API int readyPTZ(void);

/* 1 when the head has reported the target of the last setPanTilt()
 * (pan == panout and tilt == tiltout) in a report received after that move
 * was written, else 0. A move to where the head already is ends on the next
 * report. */
AIMLINK_API int donePTZ(void);

/* 1 when the head has sent a position report since startPTZ(), else 0:
 * until then panout, tiltout and getPTZ() hold 0 and say nothing. */
AIMLINK_API int reportedPTZ(void);

/* Block until readyPTZ()/donePTZ() would return 1, for at most ms
 * milliseconds (negative counts as 0). PTZ_WAIT_FAILED (-1) when the client
 * is not running or the link has failed, checked first; PTZ_WAIT_DONE (1)
 * when the condition holds; PTZ_WAIT_TIMEOUT (0) when the time runs out. */
AIMLINK_API int waitReadyPTZ(int ms);
AIMLINK_API int waitDonePTZ(int ms);

/* Block until the head has answered a frame (linkPTZ() == PTZ_LINK_UP),
 * for at most ms milliseconds, with the results above. */
AIMLINK_API int waitLinkPTZ(int ms);

/* The link's state: one of the PTZ_LINK_* values. */
AIMLINK_API int linkPTZ(void);

/* Path of the device the client uses (or would use on the next start).
 * The text stays valid and unchanged until the next startPTZ(). */
AIMLINK_API const char *devicePTZ(void);

/* Queue a move to pan, tilt (milliradians, caller's frame). The head's pan
 * is mirrored (6282 - pan) and its tilt offset by 1571; one count is 2
 * milliradians. Counts beyond the travel (pan -890..890, tilt -267..800) are
 * limited; pan and tilt record the limited counts. Wait for readyPTZ()
 * first: a full slot is overwritten. */
AIMLINK_API void setPanTilt(int16_t pan, int16_t tilt);

/* Queue the home frame / the initialise frame. Wait for readyPTZ() first. */
AIMLINK_API void homePTZ(void);
AIMLINK_API void initPTZ(void);

/* Has no effect: the head has no zoom command. */
AIMLINK_API void setZoom(int zoom);

/* position[0] = 2 * panout, position[1] = 2 * tiltout: milliradians in the
 * head's own frame (neither mirrored back nor offset). */
AIMLINK_API void getPTZ(int32_t position[2]);

/* Writes "hexPrint:  " and the bytes of a reply, " %02X" each, up to and
 * including the first byte equal to the low 8 bits of end, to standard
 * error. Reads at most 256 bytes. */
AIMLINK_API void hexPrint(const uint8_t *bytes, int end);

/* Body of the watcher thread; started by startPTZ(). Returns (NULL) only
 * when stopPTZ() stops it. */
AIMLINK_API void *watchPTZ(void *unused);

#ifdef __cplusplus
}

/* Angles compare by value; beside the C type, where lookup finds it. */
inline bool operator==(const aimlink_angles &a, const aimlink_angles &b) { return a.pan == b.pan && a.tilt == b.tilt; }
#endif

#endif

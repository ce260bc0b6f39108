// Bringing the link up and down: synchronisation, speed negotiation,
// camera off, close and reopen, the camera's identity and drive name.
#ifndef ORVIK_CAMERA_CONNECT_H
#define ORVIK_CAMERA_CONNECT_H

#include <cstddef>
#include <cstdint>

#include "camera/message.h"

// "a.b.c.d" and its zero.
constexpr int CAMERA_FIRMWARE_LEN = 8;

// What the camera said about itself.
struct CameraState {
    char id[CAMERA_TEXT_MAX];            // last MSG_ID reply
    char firmware[CAMERA_FIRMWARE_LEN];  // "a.b.c.d" from the last MSG_ID reply
    char prompt_id[CAMERA_TEXT_MAX];     // id at connection time
    char disk_name[CAMERA_TEXT_MAX];     // last MSG_DISK reply
};
extern CameraState camera_state;

// Open, sync (unbounded while the line is there, unless bounded below), greeting, speed request
// (sent again, up to four times, while the camera does not acknowledge
// it), ten confirmation probes; when none is answered, the request and the
// probes once more from 9600.  Returns 0, or -1 with the port closed:
// "failure" when it does not open; one line on stderr naming the device
// (serial_line_lost) when the line went away; "protocol error" when the
// camera did not take the new speed (then switched off first).
int camera_connect(const char *device);

// How many synchronisation bursts camera_connect sends before it gives up
// (a line on stderr, -1, the port closed); 0, the default, sends them until
// the camera answers.  A program that must answer others while it waits
// (the mounted card) cannot wait without bound for a camera switched off.
void camera_set_sync_bursts(int bursts);

// camera_connect on settings.device, read timeout 5 s plus the
// synchronisation's microseconds (0.4 s, 0.9 s in A50 mode), identity into
// prompt_id, drive name into disk_name.  Returns 0, or -1 when
// camera_connect failed.  disk_name is empty unless this start read it.
int camera_start(void);

// When no port is open, or the open one's line is gone (it is closed
// first): pause 1 s, reset counters, then camera_start; returns its
// result, with *listing_stale set: what the caller keeps of the card's
// listing and its current directory no longer holds.  When open on a
// working line: -1, nothing done, *listing_stale false.
int camera_open(bool *listing_stale);

// When open: camera_off, close the port; returns 0.  When closed (or its
// line was found gone, which leaves it SERIAL_LINE_CLOSED now): -1.
int camera_close(void);

// The two camera-off frames through serial_write (paced in A50 mode,
// traced in debug mode), then a one-second pause.  Nothing is done when
// the port is closed or its line is gone.  The termination handler uses it
// too, after serial_signal_mode: then it is async-signal-safe.
void camera_off(void);

// MSG_ID exchange.  Returns camera_state.id and refreshes its firmware; with
// no usable reply prints "no reply from the camera\n" and returns nullptr,
// leaving both as they were.
const char *camera_get_id(void);

// MSG_DISK exchange.  Returns camera_state.disk_name; with no usable reply
// prints "no reply from the camera\n" and returns nullptr, the name unchanged.
const char *camera_get_disk(void);

// The connection's own frames, outside the link's numbering, built by the
// frame encoder into out[CAMERA_OWN_FRAME_MAX].  Pure; each returns the
// frame's length.  camera_speed_frame: the speed-change request for
// `speed` (a speed of serial/speed.h; any other counts as 115200).
// camera_off_frame: the first (0) or second (1) camera-off frame.
constexpr int CAMERA_OWN_FRAME_MAX = 32;
size_t camera_speed_frame(int speed, uint8_t *out);
size_t camera_off_frame(int which, uint8_t *out);

// Takes the identity from an MSG_ID reply of `length` bytes: the firmware
// "a.b.c.d" from bytes 27, 26, 25, 24 (each byte + '0') into
// firmware[CAMERA_FIRMWARE_LEN], the zero-terminated text at byte 28 (cut to
// CAMERA_TEXT_MAX - 1 characters, up to the end of the reply) into
// id[CAMERA_TEXT_MAX].  Pure.  Returns 0, or -1 with both
// untouched when the reply does not reach byte 28.
int camera_parse_id(const uint8_t *data, int length, char *id, char *firmware);

#endif

// Bringing the link up and down: synchronisation, speed negotiation,
// camera off, close and reopen, the camera's identity and drive name.
#ifndef ORVIK_CAMERA_CONNECT_H
#define ORVIK_CAMERA_CONNECT_H

#include <cstdint>

// Camera state (texts of at most 1023 characters).
extern char camera_id[1024];     // last MSG_ID reply
extern char camera_firmware[8];  // "a.b.c.d" from the last MSG_ID reply
extern char prompt_id[1024];     // camera_id at connection time
extern char disk_name[1024];     // last MSG_DISK reply

// Open, sync (unbounded), greeting, speed frame, ten confirmation probes.
// Returns 0; every failure exits with status 1 ("failure" or
// "protocol error"), without the camera-off frames.
int camera_connect(const char *device);

// camera_connect, read timeout 5 s, identity into prompt_id, drive name
// into the current camera directory.
void camera_init(void);

// When the port is closed: pause 1 s, reset counters, empty the cache, then
// camera_init's steps; returns 0.  When open: -1, nothing done.
int camera_open(void);

// When open: camera_off, close the port; returns 0.  When closed: -1.
int camera_close(void);

// The two camera-off frames through serial_write (paced in A50 mode,
// traced in debug mode), then a one-second pause.  Nothing reaches the line
// when the port is closed.  The termination handler uses it too, after
// serial_signal_mode: then it is async-signal-safe.
void camera_off(void);

// MSG_ID exchange.  Returns camera_id and refreshes camera_firmware; with
// no usable reply prints "no reply from the camera\n" and returns nullptr,
// leaving both as they were.
const char *camera_get_id(void);

// MSG_DISK exchange.  Returns disk_name; with no usable reply prints
// "no reply from the camera\n" and returns nullptr, disk_name unchanged.
const char *camera_get_disk(void);

// Takes the identity from an MSG_ID reply of `length` bytes: the firmware
// "a.b.c.d" from bytes 27, 26, 25, 24 (each byte + '0') into firmware[8],
// the zero-terminated text at byte 28 (cut to 1023 characters, up to the
// end of the reply) into id[1024].  Pure.  Returns 0, or -1 with both
// untouched when the reply does not reach byte 28.
int camera_parse_id(const uint8_t *data, int length, char *id, char *firmware);

#endif

// Status queries: disk space, power, clock, ping, raw test requests.
#ifndef ORVIK_CAMERA_STATUS_H
#define ORVIK_CAMERA_STATUS_H

#include <ctime>
#include <sys/time.h>

// Payload: first character of `drive`, ':', '\\', 0.  Returns 0 with *size
// and *free_bytes set (signed 32-bit reply values at 20 and 24), or -1 when
// the reply status (byte 16) is 0x87 or no usable reply came; then both
// stay untouched.
int camera_get_disk_info(const char *drive, int *size, int *free_bytes);

// Returns 0 with *battery_high (reply byte 20 == 6) and *on_ac (byte 23 ==
// 0x10) set; -1 after "no reply from the camera\n" when no usable reply came.
int camera_get_power(int *battery_high, int *on_ac);

// The camera clock (signed 32-bit at reply byte 20) in *clock; returns 0,
// or -1 after "no reply from the camera\n".
int camera_get_date(time_t *clock);

// Four pings: EOT(0), one frame, "pong %d, %lu ms\n" or "time out\n".
void camera_ping(void);

// Sends message type `type` without payload; the reply is discarded.  Type
// 17 or more (unsigned): camera_check_type's internal error.  Returns 0.
int camera_test(int type);

// Whole milliseconds from *start to *end (a ping's round trip).  Pure.
long camera_elapsed_ms(const struct timeval *start, const struct timeval *end);

#endif

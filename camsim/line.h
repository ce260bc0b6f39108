// The camera's end of the serial line: a pseudo-terminal (or a real port),
// frames in and out, the synchronisation bursts, pacing at the line speed,
// and the log of everything that crosses the line.
#ifndef ORVIK_CAMSIM_LINE_H
#define ORVIK_CAMSIM_LINE_H

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

#include "serial/codec.h"

// Set by the termination handler; every wait of this module gives up when
// it is set.
extern volatile std::sig_atomic_t line_stop;

// Raised by SIGUSR1: each raise switches the noise off when it is on and on
// again when it is off, before the next byte crosses the line.
extern volatile std::sig_atomic_t line_noise_toggles;

// Raised by SIGUSR2: each raise hangs the line up at once (see
// line_receive).
extern volatile std::sig_atomic_t line_hangup_requests;

// Opens a pseudo-terminal pair, sets the terminal side raw and keeps it
// open, so that a program closing and reopening it never hangs up the
// line.  Returns 0 with the terminal's path in *path, or -1 (perror done).
int line_open_pty(std::string *path);

// Opens and configures a real serial port: raw, 8N1, no flow control,
// 9600 bits per second.  Returns 0 or -1 (perror done).
int line_open_device(const std::string &path);

// Starts the log (one line per frame or event, flushed per line).
// Returns 0 or -1 (perror done).
int line_open_log(const std::string &path);

// Line speed in bits per second: paces the sending (with pacing on) and,
// on a real port, switches the port once what was sent has left it.
void line_set_speed(int bps);
// line_set_speed once `delay_ms` have passed (before the next bytes from
// the host are looked at): a camera powering down still hears, at its old
// speed, what follows the camera-off frame at once.
void line_set_speed_after(int bps, int delay_ms);
// On: each frame goes out only once it would have crossed a line of that
// speed, shared with the host's frames.  Off (the default): at once.
void line_set_pacing(bool on);

// Bit errors: every bit crossing the line in either direction is flipped
// with probability `rate`, drawn from two generators (one per direction)
// seeded from `seed`, so a run with the same bytes meets the same errors.
// Each flip is a NOTE in the log; rate 0 keeps the line clean.
void line_set_noise(double rate, unsigned long long seed);

// Appends "<time> NOTE <text>" to the log.
void line_note(const std::string &text);

enum LineEventKind { LINE_SYNC, LINE_FRAME };
struct LineEvent {
    LineEventKind kind;
    int length;                        // LINE_FRAME: unescaped bytes
    uint8_t frame[SERIAL_FRAME_MAX];   // LINE_FRAME: contents, CRC included
};

// Waits up to timeout_ms for the next burst of four 'U' outside a frame or
// the next complete frame.  Returns 1 with *ev filled, 0 when nothing came
// (or line_stop is set), -1 when the line failed, LINE_HUNG_UP when the
// line is hung up (see below; a line_open_* opens a new one).
//   - On a pseudo-terminal, bytes sent while the host's terminal runs at
//     another speed than the camera's (line_set_speed) are not heard.
//   - A frame counted by line_set_stall_after is followed by a stall: for
//     1 s nothing is read; then whatever waited is taken, heard only if
//     the host's speed is the camera's at that moment.
constexpr int LINE_HUNG_UP = -2;
int line_receive(LineEvent *ev, int timeout_ms);

// Hangs the line up (both descriptors closed, a NOTE in the log) once
// `bytes` more have crossed it in either direction, the one that crosses
// the limit cut where it falls; 0 never.  SIGUSR2 hangs it up at once.
void line_set_hangup_after(long long bytes);
// From now on every byte from the host is dropped unheard (a camera that
// died on a port that stays); a NOTE in the log.
void line_set_deaf();
// The `frames`-th complete frame from the host (counted from 1 since the
// emulator started) is followed by a stall; 0 never.
void line_set_stall_after(long frames);

// Sends one packet (nothing once the line is hung up): CRC (the protocol's initial value for the length, 0
// where the table has none), escaping, delimiters.  bad_crc sends a CRC
// that does not match.
void line_send_packet(const uint8_t *packet, size_t count, bool bad_crc);
// Bytes sent as they are, no frame around them (a babbling line).
void line_send_raw(const uint8_t *bytes, size_t count);

// Notes the noise's bit flips in the log (when noise was on), then closes
// the line and the log; a later open starts afresh.
void line_close();

#endif

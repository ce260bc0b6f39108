// Frames on the line: sending packets, receiving one frame at a time into
// the single frame buffer, the PC-mode watch, parsing into Packet.
#ifndef ORVIK_SERIAL_FRAME_H
#define ORVIK_SERIAL_FRAME_H

#include "serial/codec.h"

// CRC (FATAL_CRC_LENGTH outside 5..1020, before anything is written), escape, frame,
// one serial_write to the port.  Returns serial_write's result.
int serial_send_packet(const uint8_t *packet, int count);

// One PKT_MSG with `payload` (1..1016 bytes).  Sequence number 0 when the
// fragment flag is 0, else the fragment counter; the counter then holds the
// sequence number + 1.  No result.
void serial_send_data_packet(const uint8_t *payload, int length, int fragment);

// Resets the fragment counter (reconnection).
void serial_reset_fragment_counter(void);

// Receives one frame: hunts for 0xC0, unescapes until 0xC1.  Returns the
// frame buffer (unescaped contents, CRC included, delimiters excluded) and
// its length in *length, or nullptr when a byte could not be read or the
// line carried more bytes than the longest frame without a frame start (the
// partial frame is dropped; *length untouched).  Traces the frame as
// "RECV".  Fatal (the message, then FatalCondition of serial/fatal.h
// thrown, FATAL_FRAME_OVERFLOW and FATAL_PC_MODE):
//   4096 bytes in one frame: "FATAL ERROR serial_get_frame(): not enough buffer\n" (stderr)
//   PC-mode prefix:          "*** your camera is no longer in PC mode, exit\n" (stdout)
const uint8_t *serial_get_frame(int *length);

// serial_get_frame, then serial_parse_packet into *pkt.  Prints the CRC
// warning (outside the table) and "ERROR: Unknown packet type received\n"
// on stderr.  Returns the frame buffer, or nullptr with *pkt untouched.
// pkt->data is valid until the next receive.
const uint8_t *serial_get_packet(Packet *pkt);

// Counts since the program started.  Heard: frames received, frames cut
// off by a read timeout, and runs of bytes that belonged to no frame.
// Lost, of those: frames cut off, and runs outside any frame long enough to
// be a frame whose start byte the line destroyed.  A clean line carries
// frames back to back, so such a loss shows here although no CRC saw it.
unsigned long serial_frames_heard(void);
unsigned long serial_frames_lost(void);

#endif

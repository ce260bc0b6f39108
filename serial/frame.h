// Frames on the line: sending packets, receiving one frame at a time into
// the single frame buffer, the PC-mode watch, parsing into Packet.
#ifndef ORVIK_SERIAL_FRAME_H
#define ORVIK_SERIAL_FRAME_H

#include "serial/codec.h"

// CRC (fatal outside 5..1020, before anything is written), escape, frame,
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
// its length in *length, or nullptr when a byte could not be read (the
// partial frame is dropped; *length untouched).  Traces the frame as
// "RECV".  Fatal (plain exit 1):
//   4096 bytes in one frame: "FATAL ERROR serial_get_frame(): not enough buffer\n" (stderr)
//   PC-mode prefix:          "*** your camera is no longer in PC mode, exit\n" (stdout)
const uint8_t *serial_get_frame(int *length);

// serial_get_frame, then serial_parse_packet into *pkt.  Prints the CRC
// warning (outside the table) and "ERROR: Unknown packet type received\n"
// on stderr.  Returns the frame buffer, or nullptr with *pkt untouched.
// pkt->data is valid until the next receive.
const uint8_t *serial_get_packet(Packet *pkt);

#endif

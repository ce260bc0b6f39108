// Link control: acknowledge and end-of-transmission packets.  Their
// numbers are the exchange engine's (camera/exchange.h), which keeps the
// link's numbering; this layer only puts them on the line.
#ifndef ORVIK_SERIAL_LINK_H
#define ORVIK_SERIAL_LINK_H

#include <cstdint>

#include "serial/codec.h"

// PKT_ACK numbered `seq` with `status` (0, or NACK to ask for a repeat).
void serial_send_ack(uint8_t seq, uint8_t status);
// PKT_EOT numbered `seq` with `status` (1 closes a request, 0 is a probe).
void serial_send_eot(uint8_t seq, uint8_t status);

// What the line cost the current command: acknowledges (status 0) sent,
// repeats (NACKs after damaged frames) and transfers given up while
// repeating, all counted by the exchange.  Reset by serial_reset_line_counts.
struct LineCounts {
    int acks;
    int repeats;
    int given_up;
};
// Sets all three counts to 0.
void serial_reset_line_counts(void);
// The counts since the last reset; they are left as they are.
LineCounts serial_line_counts(void);
// Adds one to `acks`, for an acknowledge of status 0 sent.
void serial_count_ack(void);
// Adds one to `repeats`, for a repeat made above this layer.
void serial_count_repeat(void);
// Adds one to `given_up`, for a transfer its caller gave up.
void serial_count_given_up(void);


#endif

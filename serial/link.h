// Link control: acknowledge and end-of-transmission packets with their two
// sequence counters.
//
// This side numbers its PKT_EOTs with the packet counter (advanced by every
// EOT sent); the camera acknowledges with the same number.  The camera
// numbers its PKT_EOTs with what must equal this side's acknowledge
// counter; this side answers with a PKT_ACK of that number, and the counter
// advances only for status 0 (a NACK asks for a repeat that carries the
// same number again).
#ifndef ORVIK_SERIAL_LINK_H
#define ORVIK_SERIAL_LINK_H

#include <cstdint>

#include "serial/codec.h"

// PKT_ACK with the acknowledge counter; status 0 advances the counter.
void serial_send_ack(uint8_t status);
// PKT_EOT with the packet counter, which then advances.
void serial_send_eot(uint8_t status);

// Waits for the PKT_ACK of the EOT just sent.  Returns its status (0..255),
// or -1 no packet ("serial_get_packet() error waiting for ACK\n"), -2 other
// type ("Received a packet type %d waiting for ACK\n"), -3 wrong number
// ("Out of sequence ACK received, expected %d, got %d\n").  Messages on
// stdout; the first is not printed once the line is lost (see
// serial_line_state).
int serial_wait_ack(void);
// serial_wait_ack, leaving the packet received (if any) in *pkt.
int serial_wait_ack_packet(Packet *pkt);

// Waits for the camera's PKT_EOT, numbered as the acknowledge counter.
// Returns 0, or -1 ("serial_get_packet() error waiting EOT\n"), -2
// ("Received a packet type %d waiting EOT\n"), -3 (the out-of-sequence
// message with the counter first); the first message is not printed once
// the line is lost.  The counter is not changed.
int serial_wait_eot(void);
// serial_wait_eot, leaving the packet received (if any) in *pkt.
int serial_wait_eot_packet(Packet *pkt);

// A PKT_ACK numbered `seq` with `status`, the counters unchanged: an
// answer sent again, to a transmission the camera repeated because it
// never got the first.
void serial_send_ack_numbered(uint8_t seq, uint8_t status);
// True when an acknowledge of status 0 was sent since the counters were
// reset: the camera's EOT numbered serial_ack_counter() - 1 is then one
// already acknowledged.
bool serial_acked_since_reset(void);

// What the line cost the current command: acknowledges (status 0) sent,
// repeats (NACKs after damaged frames, counted by the exchange) and
// transfers given up while repeating.  Reset by serial_reset_line_counts.
struct LineCounts {
    int acks;
    int repeats;
    int given_up;
};
// Sets all three counts to 0.
void serial_reset_line_counts(void);
// The counts since the last reset; they are left as they are.
LineCounts serial_line_counts(void);
// Adds one to `repeats`, for a repeat made above this layer.
void serial_count_repeat(void);
// Adds one to `given_up`, for a transfer its caller gave up.
void serial_count_given_up(void);

// Counter access for the connection handshake.
void serial_reset_counters(void);          // packet and ack counters := 0
void serial_step_back_packet_counter(void);// after an unanswered speed probe
// The number the next PKT_EOT of this side will carry.
uint8_t serial_packet_counter(void);
// The number the camera's next PKT_EOT is expected to carry, which this
// side's next acknowledge repeats.
uint8_t serial_ack_counter(void);

#endif

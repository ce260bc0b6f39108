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

// PKT_ACK with the acknowledge counter; status 0 advances the counter.
void serial_send_ack(uint8_t status);
// PKT_EOT with the packet counter, which then advances.
void serial_send_eot(uint8_t status);

// Waits for the PKT_ACK of the EOT just sent.  Returns its status (0..255),
// or -1 no packet ("serial_get_packet() error waiting for ACK\n"), -2 other
// type ("Received a packet type %d waiting for ACK\n"), -3 wrong number
// ("Out of sequence ACK received, expected %d, got %d\n").  Messages on
// stdout.
int serial_wait_ack(void);

// Waits for the camera's PKT_EOT, numbered as the acknowledge counter.
// Returns 0, or -1 ("serial_get_packet() error waiting EOT\n"), -2
// ("Received a packet type %d waiting EOT\n"), -3 (the out-of-sequence
// message with the counter first).  The counter is not changed.
int serial_wait_eot(void);

// Counter access for the connection handshake.
void serial_reset_counters(void);          // packet and ack counters := 0
void serial_step_back_packet_counter(void);// after an unanswered speed probe
uint8_t serial_packet_counter(void);
uint8_t serial_ack_counter(void);

#endif

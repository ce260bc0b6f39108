// Packet CRC with the protocol's per-length initial values, as the link
// uses it: sending a length without a table value is fatal, receiving one
// is accepted with a warning.
#ifndef ORVIK_SERIAL_CRC_H
#define ORVIK_SERIAL_CRC_H

#include <cstdint>

// CRC of the first `length` bytes.  A length outside 5..1020 prints
// "FATAL ERROR: initial CRC value for length %d unknown\n" on stderr and
// throws FatalCondition FATAL_CRC_LENGTH (serial/fatal.h).
uint16_t serial_compute_crc(const uint8_t *bytes, int length);

// 1 when the CRC of the first `length` bytes equals `received`; 0 when the
// length is in the table and they differ (nothing printed).  Outside the
// table the initial value reproducing `received` is recovered and learned:
// once two packets of a length agree on it, it is that length's value, and
// a packet of that length needing another is damaged (0, nothing printed),
// unless the packet before it of that length needed the same other value:
// then that value is the length's from now on (the packet still gives 0).
// Until then the warning
// "warning: CRC not checked (add len %d, value 0x%04x) #########################\n"
// is printed on stderr, and 1 is returned only when the value agrees with
// an earlier packet's of that length (which makes it learned), else 0: a
// damaged packet always matches the value recovered from itself.
int serial_check_crc(const uint8_t *bytes, int length, uint16_t received);
// Forgets the learned values (tests).
void serial_forget_learned_crc(void);

#endif

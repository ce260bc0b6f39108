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
// table the initial value reproducing `received` is recovered, the warning
// "warning: CRC not checked (add len %d, value 0x%04x) #########################\n"
// is printed on stderr and 1 is returned.
int serial_check_crc(const uint8_t *bytes, int length, uint16_t received);

#endif

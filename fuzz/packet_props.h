// Properties every parsed packet must have, whatever bytes the line brought.
#ifndef ORVIK_FUZZ_PACKET_PROPS_H
#define ORVIK_FUZZ_PACKET_PROPS_H

#include <cstring>

#include "fuzz_check.h"
#include "serial/codec.h"

// Parses frame[0..n) into a record pre-filled with a marker pattern and
// checks the result against the frame.  Returns the parsed packet.
inline Packet parse_and_check(const uint8_t *frame, int n)
{
    Packet before;
    std::memset(&before, 0xA5, sizeof before);
    Packet pkt = before;
    PacketVerdict verdict;
    serial_parse_packet(frame, n, &pkt, &verdict);

    fuzz_check(pkt.frame_length == n, "frame_length is the frame's length");
    if (n >= 1)
        fuzz_check(pkt.seq == frame[0], "seq is byte 0");
    if (n >= 2)
        fuzz_check(pkt.type == frame[1], "type is byte 1");

    if (n >= 2) {
        const int covered = n - 2;
        fuzz_check(pkt.crc == le16(frame + covered), "crc is the last two bytes");
        const int initial = serial_crc_initial(covered);
        if (initial >= 0) {
            fuzz_check(!verdict.crc_guessed, "no guess for a length in the table");
            const bool match = serial_crc_run(static_cast<uint16_t>(initial), frame,
                                              static_cast<size_t>(covered)) == pkt.crc;
            // A good CRC may still be refused for a truncated packet, a bad
            // one is never accepted.
            if (!match)
                fuzz_check(pkt.crc_ok == 0, "a wrong CRC is not accepted");
        } else {
            fuzz_check(verdict.crc_guessed == 1, "lengths outside the table are guessed");
            fuzz_check(serial_crc_run(verdict.guessed_initial, frame,
                                      static_cast<size_t>(covered)) == pkt.crc,
                       "the guessed initial value reproduces the CRC");
        }
    } else {
        fuzz_check(pkt.crc_ok == 0, "a frame without CRC is not accepted");
    }

    const bool data_packet = pkt.type == PKT_MSG || pkt.type == PKT_MSG_ALT;
    if (data_packet) {
        // Consumers copy `length` bytes from `data`: that must stay inside
        // the frame (ASan checks the memcpy as well, on an exact-size copy).
        fuzz_check(pkt.data >= frame && pkt.data <= frame + n, "data points into the frame");
        fuzz_check(pkt.data + pkt.length <= frame + n, "data and length stay in the frame");
        if (pkt.length > 0)
            fuzz_check(pkt.data + pkt.length <= frame + n - 2, "data stays before the CRC");
        volatile uint8_t sink = 0;
        for (int i = 0; i < pkt.length; ++i)
            sink = static_cast<uint8_t>(sink ^ pkt.data[i]);
        (void)sink;
    } else {
        fuzz_check(pkt.length == before.length && pkt.data == before.data,
                   "length and data untouched for other types");
    }
    if (pkt.type != PKT_EOT)
        fuzz_check(pkt.eot_status == before.eot_status, "eot_status untouched");
    if (pkt.type != PKT_ACK)
        fuzz_check(pkt.ack_status == before.ack_status, "ack_status untouched");
    if (n >= 5 && (pkt.type == PKT_EOT || pkt.type == PKT_ACK)) {
        const uint8_t status = pkt.type == PKT_EOT ? pkt.eot_status : pkt.ack_status;
        fuzz_check(status == frame[2], "status is byte 2");
    }
    const bool known = data_packet || pkt.type == PKT_EOT || pkt.type == PKT_ACK;
    fuzz_check(verdict.unknown_type == (known ? 0 : 1), "unknown types are flagged");
    return pkt;
}

#endif

// The camera's wire codec: packet CRC, escaping and framing, frame
// reassembly and packet parsing.
//
// Everything here is pure: no I/O, no global state, no process exit, no
// output.  The port layer (port.h, frame.h, link.h) wraps it with the reads,
// writes, messages and fatal exits of the link; the camera emulator, the
// tests and the fuzzers use it directly.
//
// A packet is a byte run that starts with a sequence byte and a type byte.
// On the line it is followed by its 16-bit CRC (low byte first), every byte
// of packet and CRC is escaped so that 0xC0, 0xC1 and 0x7E never occur, and
// the whole is enclosed between 0xC0 and 0xC1.
#ifndef ORVIK_SERIAL_CODEC_H
#define ORVIK_SERIAL_CODEC_H

#include <cstddef>
#include <cstdint>

// Packet types (byte 1 of every packet).
enum : uint8_t {
    PKT_MSG = 0,      // data packet: seq, 0, length (LE16), data
    PKT_EOT = 4,      // end of transmission: seq, 4, status, 0, 0, 0
    PKT_ACK = 5,      // acknowledge: seq, 5, status, 0, 0, 0
    PKT_MSG_ALT = 6,  // data packet, same layout as PKT_MSG
};
constexpr uint8_t NACK = 0xFF;  // PKT_ACK status asking for a repeat

constexpr uint8_t FRAME_START = 0xC0;
constexpr uint8_t FRAME_END = 0xC1;
constexpr uint8_t FRAME_ESCAPE = 0x7E;

// Size of every frame and packet buffer of the link, and so the bound on
// one received frame: at most SERIAL_FRAME_MAX - 1 unescaped bytes.
constexpr int SERIAL_FRAME_MAX = 4096;

// The CRC initial-value table covers these packet lengths only.
constexpr int SERIAL_CRC_MIN_LEN = 5;
constexpr int SERIAL_CRC_MAX_LEN = 1020;
// Largest data payload whose packet (4 header bytes + payload) has a CRC
// initial value, i.e. the largest payload this side may send.
constexpr int SERIAL_MAX_PAYLOAD = SERIAL_CRC_MAX_LEN - 4;

// Reflected CCITT table (polynomial 0x8408).
extern const uint16_t serial_crc_table[256];

// One register step per byte: reg = (reg >> 8) ^ table[(reg ^ b) & 0xFF],
// starting from `initial`.  No final XOR.
uint16_t serial_crc_run(uint16_t initial, const uint8_t *bytes, size_t length);

// The protocol's initial value for a packet of `length` bytes, or -1 when
// the length lies outside 5..1020.
int serial_crc_initial(int length);

// The one initial value from which serial_crc_run over `bytes` yields
// `crc`.  The register step is invertible, so this runs the step backwards
// over the bytes: linear in the length, no search.
uint16_t serial_crc_recover_initial(const uint8_t *bytes, size_t length,
                                    uint16_t crc);

// Escaped frame of `count` packet bytes followed by `crc` (low byte first),
// written to `out` with its delimiters.  `out` must hold 2 * (count + 2) + 2
// bytes.  Returns the frame length.
size_t serial_encode_frame(const uint8_t *packet, size_t count, uint16_t crc,
                           uint8_t *out);

// Frame reassembly, fed one received byte at a time.
//
// Bytes are discarded until a start byte; then bytes are collected (an
// escape byte and the byte after it give that byte XOR 0x20; a raw 0xC0 is
// data, the frame does not restart) until the end byte.
struct FrameReader {
    int state;      // private
    int count;      // unescaped bytes collected so far
    long skipped;   // bytes discarded while hunting since the last reset
    uint8_t buf[SERIAL_FRAME_MAX];
};
enum FrameStatus {
    FRAME_MORE = 0,    // feed more bytes
    FRAME_DONE = 1,    // buf[0..count) is a complete frame; reader is reset
                       // for the next frame on the next feed
    FRAME_OVERFLOW = 2 // the frame reached SERIAL_FRAME_MAX bytes
};
// Makes `reader` hunt for a start byte again, with nothing collected and
// nothing counted as skipped.  Call before the first feed.
void serial_frame_reset(FrameReader *reader);
// Takes one received byte into `reader` and returns where the frame stands
// (see FrameStatus); after FRAME_OVERFLOW the reader hunts again.
FrameStatus serial_frame_feed(FrameReader *reader, uint8_t byte);
// Feeds the run bytes[0..count) until a frame is complete, the frame
// overflows or the run ends, whichever comes first, and returns the status
// of the last byte taken (FRAME_MORE when the run ended first).  *used is
// the number of bytes taken; the rest belong to whatever follows the frame.
// Exactly as feeding the same bytes one at a time, at a fraction of the cost
// per byte: this is the receive loop of every download.
FrameStatus serial_frame_feed_run(FrameReader *reader, const uint8_t *bytes,
                                  size_t count, size_t *used);

// One received packet.  `data` points into the frame it was parsed from and
// is valid as long as that frame buffer is unchanged.
struct Packet {
    uint8_t seq;
    uint8_t type;
    uint16_t length;      // PKT_MSG / PKT_MSG_ALT: data bytes (see below)
    const uint8_t *data;  // PKT_MSG / PKT_MSG_ALT: frame byte 4 onward
    uint16_t crc;         // received CRC, last two frame bytes, LE
    uint8_t crc_ok;       // 1 when the CRC matched (or could not be checked)
    uint8_t ack_status;   // PKT_ACK: frame byte 2
    uint8_t eot_status;   // PKT_EOT: frame byte 2
    int32_t frame_length; // unescaped bytes between the delimiters
};

// The two types that carry data (PKT_MSG, PKT_MSG_ALT).
inline bool serial_is_data_packet(const Packet &pkt)
{
    return pkt.type == PKT_MSG || pkt.type == PKT_MSG_ALT;
}

// Result of serial_parse_packet beyond the Packet fields.
struct PacketVerdict {
    bool crc_guessed;         // the covered length had no table value
    uint16_t guessed_initial; // then: the initial value that reproduces crc
    bool unknown_type;        // the type is not MSG, EOT, ACK, MSG_ALT
};

// Parses the unescaped frame `frame[0..n)` into `pkt`.
//
// Always writes seq, type, crc, crc_ok and frame_length; writes length and
// data for data packets, eot_status for PKT_EOT, ack_status for PKT_ACK and
// leaves the other fields as they were.  Never reads outside the frame:
//  - a frame of fewer than 2 bytes has no CRC: crc 0, crc_ok 0 (and seq and
//    type 0 where the byte is missing);
//  - a data packet shorter than its 4-byte header gets length 0, crc_ok 0;
//  - a data packet whose length field promises more than the frame holds
//    gets length cut to the bytes received and crc_ok 0, so that a download
//    asks for a repeat;
//  - a link-control packet shorter than 3 bytes has status 0, crc_ok 0.
// The CRC covers frame[0..n-2).  Outside the table the initial value is
// recovered and the packet accepted, reported in the verdict.
void serial_parse_packet(const uint8_t *frame, int n, Packet *pkt,
                         PacketVerdict *verdict);

// The first 13 bytes of a frame announcing that the camera left PC mode.
constexpr int SERIAL_PC_MODE_PREFIX_LEN = 13;
extern const uint8_t serial_pc_mode_prefix[SERIAL_PC_MODE_PREFIX_LEN];
// True when the frame frame[0..n) starts with that prefix (it may go on).
bool serial_is_pc_mode_frame(const uint8_t *frame, int n);

// Little-endian reads and writes of reply and payload fields.
inline uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline void put_le32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void put_le16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

#endif

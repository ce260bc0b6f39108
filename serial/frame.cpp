// Frames on the line: sending packets and receiving one frame at a time
// into the link's single frame buffer.
#include "serial/frame.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/crc.h"
#include "serial/fatal.h"
#include "serial/output.h"
#include "serial/port.h"

namespace {

// The frame buffer is the reader's: every receive overwrites it, and the
// `data` of a Packet points into it.
FrameReader reader;
uint8_t fragment_counter;

// The smallest frame on the line has 8 bytes: a frame whose start byte was
// destroyed leaves at least 7 outside any frame.  A stray byte or two is
// not taken for a lost frame.
constexpr long LOST_FRAME_BYTES = 6;
// Every byte of the longest frame escaped, with both delimiters.
constexpr long MAX_HUNT_BYTES = 2L * SERIAL_FRAME_MAX + 2;
unsigned long frames_heard;
unsigned long frames_lost;

}  // namespace

int serial_send_packet(const uint8_t *packet, int count)
{
    // Fatal outside the CRC table, before a byte is written.
    const uint16_t crc = serial_compute_crc(packet, count);
    uint8_t frame[SERIAL_FRAME_MAX];
    static_assert(2 * (SERIAL_CRC_MAX_LEN + 2) + 2 <= SERIAL_FRAME_MAX,
                  "largest escaped frame must fit the frame buffer");
    const size_t n = serial_encode_frame(packet, static_cast<size_t>(count), crc, frame);
    return serial_write(serial_descriptor(), frame, static_cast<int>(n));
}

void serial_send_data_packet(const uint8_t *payload, int length, int fragment)
{
    const uint8_t seq = fragment ? fragment_counter : 0;
    fragment_counter = static_cast<uint8_t>(seq + 1);

    uint8_t packet[SERIAL_FRAME_MAX];
    packet[0] = seq;
    packet[1] = PKT_MSG;
    if (length < 1 || length > SERIAL_MAX_PAYLOAD) {
        // No CRC seed for this length: serial_compute_crc reports it and
        // ends the program before the payload is touched.
        const int covered = length > INT_MAX - 4 ? INT_MAX : 4 + length;
        serial_compute_crc(packet, covered);
        return;
    }
    put_le16(packet + 2, static_cast<uint16_t>(length));
    std::memcpy(packet + 4, payload, static_cast<size_t>(length));
    serial_send_packet(packet, 4 + length);
}

void serial_reset_fragment_counter(void)
{
    fragment_counter = 0;
}

const uint8_t *serial_get_frame(int *length)
{
    // Whatever is left of a frame cut off by a timeout is skipped: the
    // reader hunts for the next start byte.
    serial_frame_reset(&reader);
    for (;;) {
        // A whole refill at a time: the bytes after this frame's end stay in
        // the read buffer for the next frame.
        const uint8_t *bytes = nullptr;
        int count = serial_peek_bytes(&bytes);
        // A line that carries bytes without ever starting a frame (a wrong
        // device on the port, a broken adapter) never falls silent, so the
        // refill's timeout never runs out.  More bytes outside a frame than
        // the longest frame takes on the wire end the wait as a silence.
        if (count >= 0 && reader.count == 0 && reader.skipped > MAX_HUNT_BYTES)
            count = -1;
        if (count < 0) {
            if (reader.count > 0 || reader.skipped > 0)
                frames_heard++;
            if (reader.count > 0 || reader.skipped >= LOST_FRAME_BYTES)
                frames_lost++;
            return nullptr;
        }
        size_t used = 0;
        const FrameStatus status =
            serial_frame_feed_run(&reader, bytes, static_cast<size_t>(count), &used);
        serial_consume(static_cast<int>(used));
        if (status == FRAME_DONE)
            break;
        if (status == FRAME_OVERFLOW) {
            out_note("FATAL ERROR serial_get_frame(): not enough buffer\n");
            throw FatalCondition{FATAL_FRAME_OVERFLOW};
        }
    }
    frames_heard++;
    if (reader.skipped >= LOST_FRAME_BYTES)
        frames_lost++;
    *length = reader.count;
    serial_trace("RECV", reader.buf, reader.count);
    // A camera switched out of PC mode (by its own buttons or dial) answers
    // nothing further; there is no way to bring it back from here.
    if (serial_is_pc_mode_frame(reader.buf, reader.count)) {
        std::printf("*** your camera is no longer in PC mode, exit\n");
        throw FatalCondition{FATAL_PC_MODE};
    }
    return reader.buf;
}

const uint8_t *serial_get_packet(Packet *pkt)
{
    int n = 0;
    const uint8_t *frame = serial_get_frame(&n);
    if (frame == nullptr)
        return nullptr;
    PacketVerdict verdict;
    serial_parse_packet(frame, n, pkt, &verdict);
    // Outside the table the seed is learned from the line (see
    // serial_check_crc), which names it so that the table can grow.
    if (verdict.crc_guessed && !serial_check_crc(frame, n - 2, pkt->crc))
        pkt->crc_ok = 0;
    if (verdict.unknown_type)
        out_note("ERROR: Unknown packet type received\n");
    return frame;
}

unsigned long serial_frames_heard(void)
{
    return frames_heard;
}

unsigned long serial_frames_lost(void)
{
    return frames_lost;
}

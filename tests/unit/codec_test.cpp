// Wire codec: CRC, escaping, frame reassembly and packet parsing against
// byte runs seen on the line with the camera.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "serial/codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t packet_crc(const Bytes &b)
{
    const int initial = serial_crc_initial(static_cast<int>(b.size()));
    EXPECT_GE(initial, 0);
    return serial_crc_run(static_cast<uint16_t>(initial), b.data(), b.size());
}

Bytes encode(const Bytes &packet)
{
    uint8_t out[2 * (SERIAL_FRAME_MAX + 2) + 2];
    const size_t n = serial_encode_frame(packet.data(), packet.size(), packet_crc(packet), out);
    return Bytes(out, out + n);
}

// Feeds bytes until the reader completes a frame; returns its status.
int feed_all(FrameReader *r, const Bytes &line, size_t *used = nullptr)
{
    for (size_t i = 0; i < line.size(); i++) {
        const int st = serial_frame_feed(r, line[i]);
        if (st != FRAME_MORE) {
            if (used)
                *used = i + 1;
            return st;
        }
    }
    if (used)
        *used = line.size();
    return FRAME_MORE;
}

Bytes with_crc(Bytes packet)
{
    const uint16_t crc = packet_crc(packet);
    packet.push_back(static_cast<uint8_t>(crc));
    packet.push_back(static_cast<uint8_t>(crc >> 8));
    return packet;
}

}  // namespace

TEST(Crc, TableAndKermitCheckValue)
{
    EXPECT_EQ(serial_crc_table[0], 0x0000);
    EXPECT_EQ(serial_crc_table[1], 0x1189);
    EXPECT_EQ(serial_crc_table[2], 0x2312);
    EXPECT_EQ(serial_crc_table[128], 0x8408);
    EXPECT_EQ(serial_crc_table[255], 0x0F78);
    // Every entry follows the bitwise definition.
    for (unsigned i = 0; i < 256; i++) {
        unsigned reg = i;
        for (int k = 0; k < 8; k++)
            reg = (reg & 1) ? (reg >> 1) ^ 0x8408u : reg >> 1;
        EXPECT_EQ(serial_crc_table[i], reg) << "entry " << i;
    }
    const char *check = "123456789";
    EXPECT_EQ(serial_crc_run(0, reinterpret_cast<const uint8_t *>(check), 9), 0x2189);
}

TEST(Crc, InitialValueTableBoundsAndSamples)
{
    for (int len : {-1, 0, 1, 4, 1021, 1023, 1024, 5000})
        EXPECT_EQ(serial_crc_initial(len), -1) << len;
    EXPECT_EQ(serial_crc_initial(5), 0x83A4);
    EXPECT_EQ(serial_crc_initial(6), 0x5B70);
    EXPECT_EQ(serial_crc_initial(20), 0xE76C);
    EXPECT_EQ(serial_crc_initial(21), 0xAD67);
    EXPECT_EQ(serial_crc_initial(149), 0x4E00);
    EXPECT_EQ(serial_crc_initial(325), 0xF2A8);
    EXPECT_EQ(serial_crc_initial(517), 0x2CFB);
    EXPECT_EQ(serial_crc_initial(724), 0xF7F2);
    EXPECT_EQ(serial_crc_initial(1012), 0x8866);
    EXPECT_EQ(serial_crc_initial(1013), 0xC1CB);
    EXPECT_EQ(serial_crc_initial(1020), 0x851A);
}

TEST(Crc, KnownPackets)
{
    EXPECT_EQ(packet_crc({0x00, 0x05, 0x00, 0x00, 0x00, 0x00}), 0xD1DB);
    EXPECT_EQ(packet_crc({0x00, 0x04, 0x01, 0x00, 0x00, 0x00}), 0xC624);
    EXPECT_EQ(packet_crc({0x00, 0x03, 0x02, 0x02, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00}), 0x39C0);
    EXPECT_EQ(packet_crc({0x00, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,
                          0x00, 0x12, 0x10, 0x00, 0x00, 0x00, 0x14, 0xF7, 0x8A, 0x00}),
              0x7AAD);
}

TEST(Crc, RecoverInitialMatchesExhaustiveSearch)
{
    std::mt19937 rng(12345);
    for (size_t len : {size_t{0}, size_t{1}, size_t{2}, size_t{7}, size_t{1021}, size_t{1024}}) {
        for (int round = 0; round < 2; round++) {
            Bytes data(len);
            for (auto &b : data)
                b = static_cast<uint8_t>(rng());
            const uint16_t crc = static_cast<uint16_t>(rng());
            int found = -1;
            int matches = 0;
            for (unsigned v = 0; v < 65536; v++) {
                if (serial_crc_run(static_cast<uint16_t>(v), data.data(), len) == crc) {
                    if (found < 0)
                        found = static_cast<int>(v);
                    matches++;
                }
            }
            ASSERT_EQ(matches, 1) << "length " << len;
            EXPECT_EQ(serial_crc_recover_initial(data.data(), len, crc), found) << "length " << len;
        }
    }
    const uint8_t none[1] = {0};
    EXPECT_EQ(serial_crc_recover_initial(none, 0, 0xBEEF), 0xBEEF);
}

TEST(Encode, KnownFrames)
{
    EXPECT_EQ(encode({0x00, 0x05, 0x00, 0x00, 0x00, 0x00}),
              (Bytes{0xC0, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0xDB, 0xD1, 0xC1}));
    EXPECT_EQ(encode({0x00, 0x04, 0x01, 0x00, 0x00, 0x00}),
              (Bytes{0xC0, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00, 0x24, 0xC6, 0xC1}));
    EXPECT_EQ(encode({0x01, 0x04, 0x01, 0x00, 0x00, 0x00}),
              (Bytes{0xC0, 0x01, 0x04, 0x01, 0x00, 0x00, 0x00, 0x0F, 0xC2, 0xC1}));
    EXPECT_EQ(encode({0x00, 0x04, 0x00, 0x00, 0x00, 0x00}),
              (Bytes{0xC0, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x9F, 0xDA, 0xC1}));
    EXPECT_EQ(encode({0x00, 0x05, 0xFF, 0x00, 0x00, 0x00}),
              (Bytes{0xC0, 0x00, 0x05, 0xFF, 0x00, 0x00, 0x00, 0x09, 0x14, 0xC1}));
    // ID request as a data packet.
    EXPECT_EQ(encode({0x00, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,
                      0x00, 0x12, 0x10, 0x00, 0x00, 0x00, 0x14, 0xF7, 0x8A, 0x00}),
              (Bytes{0xC0, 0x00, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                     0x12, 0x10, 0x00, 0x00, 0x00, 0x14, 0xF7, 0x8A, 0x00, 0xAD, 0x7A, 0xC1}));
}

TEST(Encode, ReservedBytesAreEscapedInPacketAndCrc)
{
    // Sequence byte 0x7E.
    EXPECT_EQ(encode({0x7E, 0x04, 0x01, 0x00, 0x00, 0x00}),
              (Bytes{0xC0, 0x7E, 0x5E, 0x04, 0x01, 0x00, 0x00, 0x00, 0x87, 0x3A, 0xC1}));
    // CRC 0x39C0: its low byte goes out as 7E E0.
    EXPECT_EQ(encode({0x00, 0x03, 0x02, 0x02, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00}),
              (Bytes{0xC0, 0x00, 0x03, 0x02, 0x02, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00,
                     0x7E, 0xE0, 0x39, 0xC1}));
    uint8_t out[32];
    const uint8_t pkt[3] = {0xC0, 0xC1, 0x7E};
    const size_t n = serial_encode_frame(pkt, 3, 0xC17E, out);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0xC0, 0x7E, 0xE0, 0x7E, 0xE1, 0x7E, 0x5E,
                                          0x7E, 0x5E, 0x7E, 0xE1, 0xC1}));
}

TEST(FrameReader, SkipsNoiseUnescapesAndKeepsRawStartAsData)
{
    FrameReader r;
    serial_frame_reset(&r);
    const Bytes line = {0x11, 0xC1, 0x7E, 0x22, 0xC0, 0x01, 0x7E, 0xE1, 0xC0, 0x7E, 0x5E,
                        0x7E, 0xE0, 0x02, 0xC1, 0x99};
    size_t used = 0;
    ASSERT_EQ(feed_all(&r, line, &used), FRAME_DONE);
    EXPECT_EQ(used, line.size() - 1);
    EXPECT_EQ(Bytes(r.buf, r.buf + r.count), (Bytes{0x01, 0xC1, 0xC0, 0x7E, 0xC0, 0x02}));

    // The reader hunts again after a frame: bytes before the next start are dropped.
    ASSERT_EQ(feed_all(&r, {0x05, 0x06, 0xC0, 0x07, 0xC1}), FRAME_DONE);
    EXPECT_EQ(Bytes(r.buf, r.buf + r.count), Bytes{0x07});

    // Empty frame.
    ASSERT_EQ(feed_all(&r, {0xC0, 0xC1}), FRAME_DONE);
    EXPECT_EQ(r.count, 0);
}

TEST(FrameReader, SizeLimit)
{
    FrameReader r;
    serial_frame_reset(&r);
    Bytes line(1, 0xC0);
    line.insert(line.end(), SERIAL_FRAME_MAX - 1, 0x55);
    line.push_back(0xC1);
    ASSERT_EQ(feed_all(&r, line), FRAME_DONE);
    EXPECT_EQ(r.count, SERIAL_FRAME_MAX - 1);

    // The 4096th byte overflows even when the end byte would follow; an
    // escaped pair counts as one byte.
    Bytes big(1, 0xC0);
    big.insert(big.end(), SERIAL_FRAME_MAX - 1, 0x55);
    big.push_back(0x7E);
    big.push_back(0x5E);
    big.push_back(0xC1);
    size_t used = 0;
    EXPECT_EQ(feed_all(&r, big, &used), FRAME_OVERFLOW);
    EXPECT_EQ(used, big.size() - 1);
}

// The download loop feeds whole refills at once.  Whatever the split of
// the stream into runs, it must see the same frames, statuses and byte
// counts as a reader fed one byte at a time: an escape at the end of one
// run, an end byte at the start of the next, noise between frames and an
// overlong frame included.
TEST(FrameReader, RunsGiveTheSameFramesAsSingleBytes)
{
    std::mt19937 rng(5);
    Bytes stream = {0x11, 0xC1, 0x7E};  // noise, a stray end and escape
    for (int f = 0; f < 12; f++) {
        Bytes packet(static_cast<size_t>(5 + rng() % 1100));
        for (auto &b : packet) {
            // Plenty of reserved bytes, so that runs often end inside an
            // escaped pair.
            const unsigned r = rng() % 8;
            b = r == 0 ? 0x7E : r == 1 ? 0xC1 : r == 2 ? 0xC0 : static_cast<uint8_t>(rng());
        }
        packet.resize(std::min<size_t>(packet.size(), SERIAL_CRC_MAX_LEN));
        const Bytes frame = encode(packet);
        stream.insert(stream.end(), frame.begin(), frame.end());
        stream.push_back(static_cast<uint8_t>(rng()));  // a byte of noise
    }
    Bytes overlong(1, 0xC0);
    overlong.insert(overlong.end(), SERIAL_FRAME_MAX + 10, 0x55);
    overlong.push_back(0xC1);
    stream.insert(stream.end(), overlong.begin(), overlong.end());
    const Bytes last = encode({0x00, 0x05, 0x00, 0, 0, 0});
    stream.insert(stream.end(), last.begin(), last.end());

    struct Event {
        size_t at;  // stream offset just past the byte that ended it
        int status;
        Bytes frame;
        bool operator==(const Event &o) const
        {
            return at == o.at && status == o.status && frame == o.frame;
        }
    };
    std::vector<Event> single;
    FrameReader r;
    serial_frame_reset(&r);
    for (size_t i = 0; i < stream.size(); i++) {
        const int st = serial_frame_feed(&r, stream[i]);
        if (st != FRAME_MORE)
            single.push_back({i + 1, st, Bytes(r.buf, r.buf + (st == FRAME_DONE ? r.count : 0))});
    }
    ASSERT_EQ(single.size(), 14u);  // 12 frames, the overflow, the ACK
    EXPECT_EQ(single[12].status, FRAME_OVERFLOW);

    for (size_t run : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{1024}, size_t{5000},
                       size_t{0}}) {
        std::vector<Event> runs;
        serial_frame_reset(&r);
        size_t pos = 0;
        while (pos < stream.size()) {
            // Run 0 stands for random lengths of 1 to 1024 bytes.
            size_t n = run ? run : 1 + rng() % 1024;
            n = std::min(n, stream.size() - pos);
            size_t used = 0;
            const int st = serial_frame_feed_run(&r, stream.data() + pos, n, &used);
            ASSERT_LE(used, n);
            if (st == FRAME_MORE)
                ASSERT_EQ(used, n) << "a run that ends no frame is taken whole";
            else
                ASSERT_GT(used, 0u);
            pos += used;
            if (st != FRAME_MORE)
                runs.push_back({pos, st, Bytes(r.buf, r.buf + (st == FRAME_DONE ? r.count : 0))});
        }
        EXPECT_TRUE(runs == single) << "runs of " << run;
    }

    // A run that stops at the frame's end leaves what follows untouched.
    serial_frame_reset(&r);
    const Bytes two = {0xC0, 0x01, 0xC1, 0xC0, 0x02, 0xC1};
    size_t used = 0;
    ASSERT_EQ(serial_frame_feed_run(&r, two.data(), two.size(), &used), FRAME_DONE);
    EXPECT_EQ(used, 3u);
    EXPECT_EQ(Bytes(r.buf, r.buf + r.count), Bytes{0x01});
    ASSERT_EQ(serial_frame_feed_run(&r, two.data() + 3, 3, &used), FRAME_DONE);
    EXPECT_EQ(Bytes(r.buf, r.buf + r.count), Bytes{0x02});
}

TEST(ParsePacket, EndOfTransmissionLeavesDataFieldsAlone)
{
    const Bytes frame = {0x00, 0x04, 0x01, 0x00, 0x00, 0x00, 0x24, 0xC6};
    Packet p;
    std::memset(&p, 0, sizeof p);
    const uint8_t marker = 0;
    p.length = 777;
    p.data = &marker;
    p.ack_status = 9;
    PacketVerdict v;
    serial_parse_packet(frame.data(), 8, &p, &v);
    EXPECT_EQ(p.seq, 0);
    EXPECT_EQ(p.type, PKT_EOT);
    EXPECT_EQ(p.eot_status, 1);
    EXPECT_EQ(p.crc, 0xC624);
    EXPECT_EQ(p.crc_ok, 1);
    EXPECT_EQ(p.frame_length, 8);
    EXPECT_EQ(p.length, 777);
    EXPECT_EQ(p.data, &marker);
    EXPECT_EQ(p.ack_status, 9);
    EXPECT_EQ(v.crc_guessed, 0);
    EXPECT_EQ(v.unknown_type, 0);
}

TEST(ParsePacket, DataPacketsAndDamage)
{
    Packet p{};
    PacketVerdict v;
    Bytes frame = with_crc({0x00, 0x00, 0x03, 0x00, 'a', 'b', 'c'});
    serial_parse_packet(frame.data(), static_cast<int>(frame.size()), &p, &v);
    EXPECT_EQ(p.type, PKT_MSG);
    EXPECT_EQ(p.length, 3);
    EXPECT_EQ(p.data, frame.data() + 4);
    EXPECT_EQ(p.crc_ok, 1);

    // Wrong CRC: returned, flagged.
    frame[frame.size() - 1] ^= 0x01;
    serial_parse_packet(frame.data(), static_cast<int>(frame.size()), &p, &v);
    EXPECT_EQ(p.crc_ok, 0);
    EXPECT_EQ(p.length, 3);

    // Length field promising more than the frame holds: cut, damaged.
    frame = with_crc({0x00, 0x06, 0x10, 0x00, 'x', 'y'});
    serial_parse_packet(frame.data(), static_cast<int>(frame.size()), &p, &v);
    EXPECT_EQ(p.type, PKT_MSG_ALT);
    EXPECT_EQ(p.length, 2);
    EXPECT_EQ(p.crc_ok, 0);

    // 1020 data bytes: 1024 covered, outside the table, accepted with the
    // seed that reproduces the received CRC.
    Bytes big = {0x00, 0x00, 0xFC, 0x03};
    for (int i = 0; i < 1020; i++)
        big.push_back(static_cast<uint8_t>(i * 7));
    const uint16_t crc = serial_crc_run(0x1234, big.data(), big.size());
    big.push_back(static_cast<uint8_t>(crc));
    big.push_back(static_cast<uint8_t>(crc >> 8));
    serial_parse_packet(big.data(), static_cast<int>(big.size()), &p, &v);
    EXPECT_EQ(p.crc_ok, 1);
    EXPECT_EQ(p.length, 1020);
    EXPECT_EQ(v.crc_guessed, 1);
    EXPECT_EQ(v.guessed_initial, 0x1234);
}

TEST(ParsePacket, ShortFramesStayInside)
{
    // Sized exactly so that a sanitizer build catches any read past them.
    Packet p{};
    PacketVerdict v;
    std::vector<uint8_t> empty;
    serial_parse_packet(empty.data(), 0, &p, &v);
    EXPECT_EQ(p.crc_ok, 0);
    EXPECT_EQ(p.frame_length, 0);
    EXPECT_EQ(p.length, 0);

    std::vector<uint8_t> one = {0x42};
    serial_parse_packet(one.data(), 1, &p, &v);
    EXPECT_EQ(p.seq, 0x42);
    EXPECT_EQ(p.crc_ok, 0);
    EXPECT_EQ(p.crc, 0);

    // A data packet of 2 covered bytes has no length field.
    std::vector<uint8_t> four = {0x00, 0x00, 0x10, 0x00};
    serial_parse_packet(four.data(), 4, &p, &v);
    EXPECT_EQ(p.crc_ok, 0);
    EXPECT_EQ(p.length, 0);
    EXPECT_LE(p.data, four.data() + 4);

    // Two bytes: covered length 0, seed is the CRC itself; an ACK without
    // a status byte is damaged.
    std::vector<uint8_t> two = {0x05, 0x05};
    p.ack_status = 0x77;
    serial_parse_packet(two.data(), 2, &p, &v);
    EXPECT_EQ(v.crc_guessed, 1);
    EXPECT_EQ(v.guessed_initial, 0x0505);
    EXPECT_EQ(p.crc_ok, 0);
    EXPECT_EQ(p.ack_status, 0);
}

TEST(ParsePacket, UnknownType)
{
    Packet p{};
    PacketVerdict v;
    Bytes frame = with_crc({0x00, 0x03, 0x02, 0x02, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00});
    serial_parse_packet(frame.data(), static_cast<int>(frame.size()), &p, &v);
    EXPECT_EQ(v.unknown_type, 1);
    EXPECT_EQ(p.type, 3);
    EXPECT_EQ(p.crc, 0x39C0);
    EXPECT_EQ(p.crc_ok, 1);
}

TEST(PcMode, PrefixOfThirteenBytes)
{
    Bytes frame(serial_pc_mode_prefix, serial_pc_mode_prefix + SERIAL_PC_MODE_PREFIX_LEN);
    EXPECT_TRUE(serial_is_pc_mode_frame(frame.data(), 13));
    frame.push_back(0xAA);
    EXPECT_TRUE(serial_is_pc_mode_frame(frame.data(), 14));
    EXPECT_FALSE(serial_is_pc_mode_frame(frame.data(), 12));
    frame[12] = 0x11;
    EXPECT_FALSE(serial_is_pc_mode_frame(frame.data(), 14));
    EXPECT_EQ(Bytes(serial_pc_mode_prefix, serial_pc_mode_prefix + 13),
              (Bytes{0x00, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x04, 0x00, 0x10}));
}

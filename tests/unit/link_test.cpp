// Frames, packets and link control over a real pseudo-terminal, the test
// playing the camera on the master side.
#include "serial_pty.h"

#include "serial/crc.h"
#include "serial/frame.h"
#include "serial/link.h"

namespace {

const Bytes pc_mode_prefix(serial_pc_mode_prefix, serial_pc_mode_prefix + SERIAL_PC_MODE_PREFIX_LEN);

Bytes frame_with_bad_crc(Bytes packet)
{
    Bytes f = frame_of(packet);
    f[f.size() - 2] ^= 0x01;  // last CRC byte (never an escaped one here)
    return f;
}

Bytes concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class LinkTest : public PtyTest {
protected:
    void SetUp() override
    {
        PtyTest::SetUp();
        serial_reset_fragment_counter();
        serial_set_timeout(0, 300000);
    }
};

}  // namespace

TEST_F(LinkTest, FrameReceptionSkipsNoiseAndUnescapes)
{
    camera_sends({0x11, 0x22, 0xC1, 0xC0, 0x01, 0x7E, 0xE1, 0xC0, 0x02, 0xC1});
    int n = -1;
    const uint8_t *f = serial_get_frame(&n);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(Bytes(f, f + n), (Bytes{0x01, 0xC1, 0xC0, 0x02}));

    // Debug trace of a received frame: contents without delimiters.
    settings.debug = 1;
    camera_sends({0xC0, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0xDB, 0xD1, 0xC1});
    Captured c = capture([&] { f = serial_get_frame(&n); });
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(c.err, "RECV: (8 bytes)\n"
                     "00000000: 00 05 00 00 00 00 DB D1                         - ........\n");
    EXPECT_EQ(c.out, "\n");
}

TEST_F(LinkTest, FramesSharingOneReadAreAllDelivered)
{
    // A camera streaming a download puts the end of one frame and the
    // start of the next into the same refill.
    const Bytes data = frame_of({0x01, 0x00, 0x02, 0x00, 0xC0, 0x7E});
    const Bytes eot = frame_of({0x00, 0x04, 0x01, 0, 0, 0});
    camera_sends(concat(concat(data, eot), {0xC0, 0x00}));
    usleep(50000);
    Packet p{};
    ASSERT_NE(serial_get_packet(&p), nullptr);
    EXPECT_EQ(p.type, PKT_MSG);
    ASSERT_EQ(p.length, 2);
    EXPECT_EQ(Bytes(p.data, p.data + 2), (Bytes{0xC0, 0x7E}));
    ASSERT_NE(serial_get_packet(&p), nullptr);
    EXPECT_EQ(p.type, PKT_EOT);
    EXPECT_EQ(p.eot_status, 1);
    // The started third frame is finished by the next burst.
    camera_sends({0x05, 0x00, 0, 0, 0, 0xDB, 0xD1, 0xC1});
    ASSERT_NE(serial_get_packet(&p), nullptr);
    EXPECT_EQ(p.type, PKT_ACK);
    EXPECT_TRUE(p.crc_ok);
}

TEST_F(LinkTest, TimeoutInsideFrameLosesThatFrameOnly)
{
    camera_sends({0xC0, 0x00, 0x04});
    int n = 77;
    EXPECT_EQ(serial_get_frame(&n), nullptr);
    EXPECT_EQ(n, 77);
    // An escape byte followed by silence is lost the same way.
    camera_sends({0xC0, 0x00, 0x7E});
    EXPECT_EQ(serial_get_frame(&n), nullptr);
    // The rest of the cut-off frame is skipped up to the next start byte.
    camera_sends(concat({0x01, 0x00, 0x00, 0x00, 0x24, 0xC6, 0xC1}, frame_of({0x00, 0x05, 0x00, 0, 0, 0})));
    Packet p{};
    ASSERT_NE(serial_get_packet(&p), nullptr);
    EXPECT_EQ(p.type, PKT_ACK);
    EXPECT_EQ(p.frame_length, 8);
}

TEST_F(LinkTest, LargestFrameAccepted)
{
    Bytes big(1, 0xC0);
    big.insert(big.end(), SERIAL_FRAME_MAX - 1, 0x33);
    big.push_back(0xC1);
    camera_sends(big);
    int n = 0;
    ASSERT_NE(serial_get_frame(&n), nullptr);
    EXPECT_EQ(n, SERIAL_FRAME_MAX - 1);
}

TEST_F(LinkTest, OversizedFrameIsFatal)
{
    Bytes big(1, 0xC0);
    big.insert(big.end(), SERIAL_FRAME_MAX, 0x33);
    big.push_back(0xC1);
    camera_sends(big);
    int n = 0;
    int kind;
    const Captured c = capture_fatal([&] { serial_get_frame(&n); }, &kind);
    EXPECT_EQ(kind, FATAL_FRAME_OVERFLOW);
    EXPECT_EQ(c.err, "FATAL ERROR serial_get_frame(): not enough buffer\n");
}

TEST_F(LinkTest, PcModeFrameEndsTheProgram)
{
    // Whatever follows the prefix and whatever the CRC.
    camera_sends(concat(concat({0xC0}, pc_mode_prefix), {0x00, 0x11, 0x22, 0xC1}));
    int n = 0;
    int kind;
    const Captured c = capture_fatal([&] { serial_get_frame(&n); }, &kind);
    EXPECT_EQ(kind, FATAL_PC_MODE);
    EXPECT_EQ(c.out, "*** your camera is no longer in PC mode, exit\n");
}

TEST_F(LinkTest, TwelvePrefixBytesAreNotPcMode)
{
    Bytes twelve = concat({0xC0}, Bytes(pc_mode_prefix.begin(), pc_mode_prefix.begin() + 12));
    twelve.push_back(0xC1);
    camera_sends(twelve);
    int n = 0;
    ASSERT_NE(serial_get_frame(&n), nullptr);
    EXPECT_EQ(n, 12);
}

TEST_F(LinkTest, PacketParsingMessages)
{
    Packet p{};
    // Unknown type: reported, still returned.
    camera_sends(frame_of({0x00, 0x03, 0x02, 0x02, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00}));
    const uint8_t *f = nullptr;
    Captured unknown = capture([&] { f = serial_get_packet(&p); });
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(p.type, 3);
    EXPECT_EQ(unknown.err, "ERROR: Unknown packet type received\n");
    EXPECT_EQ(unknown.out, "");

    // Wrong CRC on a data packet: flagged, silent.
    camera_sends(frame_with_bad_crc({0x00, 0x00, 0x02, 0x00, 'o', 'k'}));
    Captured bad = capture([&] { f = serial_get_packet(&p); });
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(p.crc_ok, 0);
    EXPECT_EQ(p.length, 2);
    EXPECT_EQ(Bytes(p.data, p.data + 2), (Bytes{'o', 'k'}));
    EXPECT_EQ(bad.err, "");

    // 1020 data bytes: 1024 covered, no seed in the table: the first such
    // packet is named with a warning and not trusted; a second one that
    // agrees on the seed is.
    serial_forget_learned_crc();
    Bytes big = {0x00, 0x00, 0xFC, 0x03};
    for (int i = 0; i < 1020; i++)
        big.push_back(static_cast<uint8_t>(i));
    const uint16_t crc = serial_crc_run(0xABCD, big.data(), big.size());
    Bytes line(2 * (big.size() + 2) + 2);
    line.resize(serial_encode_frame(big.data(), big.size(), crc, line.data()));
    camera_sends(line);
    Captured guessed = capture([&] { f = serial_get_packet(&p); });
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(p.crc_ok, 0);
    EXPECT_EQ(p.length, 1020);
    EXPECT_EQ(guessed.err,
              "warning: CRC not checked (add len 1024, value 0xabcd) #########################\n");
    camera_sends(line);
    Captured agreed = capture([&] { f = serial_get_packet(&p); });
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(p.crc_ok, 1);
    EXPECT_EQ(agreed.err,
              "warning: CRC not checked (add len 1024, value 0xabcd) #########################\n");
    // Learned: a packet of that length that needs another seed is damaged.
    line[10] ^= 0x01;
    camera_sends(line);
    Captured damaged = capture([&] { f = serial_get_packet(&p); });
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(p.crc_ok, 0);
    EXPECT_EQ(damaged.err, "");
    // Two in a row that agree on another seed make it the length's (a
    // burst of like damage first, the clean line after it); the second of
    // them is still not trusted.
    camera_sends(line);
    ASSERT_NE(serial_get_packet(&p), nullptr);
    EXPECT_EQ(p.crc_ok, 0);
    camera_sends(line);
    ASSERT_NE(serial_get_packet(&p), nullptr);
    EXPECT_EQ(p.crc_ok, 1);
    serial_forget_learned_crc();

    // Nothing arrives: none, record untouched.
    p.seq = 0x99;
    EXPECT_EQ(serial_get_packet(&p), nullptr);
    EXPECT_EQ(p.seq, 0x99);
}

TEST_F(LinkTest, EotAndAckFramesWithTheirNumbers)
{
    serial_send_eot(0, 1);
    EXPECT_EQ(camera_reads(10), (Bytes{0xC0, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00, 0x24, 0xC6, 0xC1}));
    serial_send_eot(1, 1);
    EXPECT_EQ(camera_reads(10), (Bytes{0xC0, 0x01, 0x04, 0x01, 0x00, 0x00, 0x00, 0x0F, 0xC2, 0xC1}));
    serial_send_eot(0, 0);
    EXPECT_EQ(camera_reads(10), (Bytes{0xC0, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x9F, 0xDA, 0xC1}));
    serial_send_ack(0, 0);
    EXPECT_EQ(camera_reads(10), (Bytes{0xC0, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0xDB, 0xD1, 0xC1}));
    serial_send_ack(0, NACK);
    EXPECT_EQ(camera_reads(10), (Bytes{0xC0, 0x00, 0x05, 0xFF, 0x00, 0x00, 0x00, 0x09, 0x14, 0xC1}));
}

TEST_F(LinkTest, SequenceNumbersAreEscaped)
{
    serial_send_eot(0x7E, 1);
    EXPECT_EQ(camera_reads(11),
              (Bytes{0xC0, 0x7E, 0x5E, 0x04, 0x01, 0x00, 0x00, 0x00, 0x87, 0x3A, 0xC1}));
    for (int seq : {0xC0, 0xC1}) {
        serial_send_eot(static_cast<uint8_t>(seq), 1);
        const Bytes f = camera_reads(11);
        ASSERT_GE(f.size(), 11u);
        EXPECT_EQ(f[1], 0x7E);
        EXPECT_EQ(f[2], seq ^ 0x20);
    }
}

TEST_F(LinkTest, DataPacketsAndTheFragmentCounter)
{
    const Bytes id_request = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x12,
                              0x10, 0x00, 0x00, 0x00, 0x14, 0xF7, 0x8A, 0x00};
    const Bytes frame = {0xC0, 0x00, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                         0x12, 0x10, 0x00, 0x00, 0x00, 0x14, 0xF7, 0x8A, 0x00, 0xAD, 0x7A, 0xC1};
    serial_send_data_packet(id_request.data(), 16, 0);
    EXPECT_EQ(camera_reads(frame.size()), frame);
    serial_send_data_packet(id_request.data(), 16, 0);
    EXPECT_EQ(camera_reads(frame.size()), frame);
    // With the fragment flag the counter numbers the packet.
    serial_send_data_packet(id_request.data(), 16, 1);
    const Bytes fragment = camera_reads(frame.size());
    ASSERT_EQ(fragment.size(), frame.size());
    EXPECT_EQ(fragment[1], 0x01);
    serial_reset_fragment_counter();
    serial_send_data_packet(id_request.data(), 16, 1);
    EXPECT_EQ(camera_reads(frame.size()), frame);
}

TEST_F(LinkTest, UnsendableLengthsAreFatalBeforeWriting)
{
    Bytes payload(SERIAL_MAX_PAYLOAD + 1, 0x55);
    for (const auto &[length, said] :
         {std::pair<int, const char *>{SERIAL_MAX_PAYLOAD + 1, "length 1021 unknown"},
          {0, "length 4 unknown"},
          {100000, "length 100004 unknown"}}) {
        int kind;
        const Captured c =
            capture_fatal([&] { serial_send_data_packet(payload.data(), length, 0); }, &kind);
        EXPECT_EQ(kind, FATAL_CRC_LENGTH);
        EXPECT_EQ(c.err, std::string("FATAL ERROR: initial CRC value for ") + said + "\n");
    }
    // Nothing reached the line.
    struct pollfd p = {master, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 100), 0);
    // The largest sendable payload goes out.
    serial_send_data_packet(payload.data(), SERIAL_MAX_PAYLOAD, 0);
    EXPECT_GE(camera_reads(SERIAL_MAX_PAYLOAD + 8).size(), static_cast<size_t>(SERIAL_MAX_PAYLOAD + 8));
}

TEST(CrcCheck, TableLengthsAndUnknownLengths)
{
    const Bytes ack = {0x00, 0x05, 0x00, 0x00, 0x00, 0x00};
    int rc = -1;
    Captured good = capture([&] { rc = serial_check_crc(ack.data(), 6, 0xD1DB); });
    EXPECT_EQ(rc, 1);
    Captured bad = capture([&] { rc = serial_check_crc(ack.data(), 6, 0xD1DC); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(good.err + bad.err, "");
    EXPECT_EQ(serial_compute_crc(ack.data(), 6), 0xD1DB);

    Bytes run(1021);
    for (size_t i = 0; i < run.size(); i++)
        run[i] = static_cast<uint8_t>(i * 13);
    const uint16_t crc = serial_crc_run(0x0F0F, run.data(), run.size());
    // Outside the table: learned once two packets agree on the seed.
    serial_forget_learned_crc();
    Captured guessed = capture([&] { rc = serial_check_crc(run.data(), 1021, crc); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(guessed.err,
              "warning: CRC not checked (add len 1021, value 0x0f0f) #########################\n");
    // A damaged packet's own seed disagrees: still not learned.
    const uint16_t other = serial_crc_run(0x1234, run.data(), run.size());
    Captured first_other = capture([&] { rc = serial_check_crc(run.data(), 1021, other); });
    EXPECT_EQ(rc, 0);
    Captured agreed = capture([&] { rc = serial_check_crc(run.data(), 1021, crc); });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(agreed.err, guessed.err);
    Captured checked = capture([&] { rc = serial_check_crc(run.data(), 1021, crc); });
    EXPECT_EQ(rc, 1);
    Captured disagrees = capture([&] { rc = serial_check_crc(run.data(), 1021, other); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(checked.err + disagrees.err, "");
    Captured empty = capture([&] { rc = serial_check_crc(run.data(), 0, 0xBEEF); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(empty.err,
              "warning: CRC not checked (add len 0, value 0xbeef) #########################\n");
    serial_forget_learned_crc();

    for (int length : {4, 1021}) {
        int kind;
        const Captured c = capture_fatal([&] { serial_compute_crc(run.data(), length); }, &kind);
        EXPECT_EQ(kind, FATAL_CRC_LENGTH);
        EXPECT_EQ(c.err, "FATAL ERROR: initial CRC value for length " + std::to_string(length) +
                             " unknown\n");
    }
}

TEST_F(LinkTest, LostFramesAreCountedWhereNoCrcSeesThem)
{
    const unsigned long lost = serial_frames_lost();
    const unsigned long heard = serial_frames_heard();
    // A frame whose start byte was destroyed: its bytes precede the next
    // frame's start.  A single stray byte is not a frame.
    Bytes eot = frame_of({0x00, 0x04, 0x01, 0, 0, 0});
    Bytes broken = eot;
    broken[0] = 0xC8;
    camera_sends(concat(concat(broken, eot), concat({0x55}, eot)));
    Packet p{};
    ASSERT_NE(serial_get_packet(&p), nullptr);
    EXPECT_EQ(serial_frames_lost(), lost + 1);
    ASSERT_NE(serial_get_packet(&p), nullptr);
    EXPECT_EQ(serial_frames_lost(), lost + 1);
    // A frame cut off by a read timeout is lost too.
    camera_sends({0xC0, 0x00, 0x04});
    EXPECT_EQ(serial_get_packet(&p), nullptr);
    EXPECT_EQ(serial_frames_lost(), lost + 2);
    EXPECT_EQ(serial_frames_heard(), heard + 3);
}


// Request headers and reply text extraction.
#include <gtest/gtest.h>

#include <vector>

#include "camera/message.h"
#include "serial_pty.h"

static std::vector<uint8_t> build(unsigned type, const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> out(MESSAGE_HEADER_LEN + payload.size());
    int n = camera_build_message(type, payload.data(), static_cast<int>(payload.size()),
                                 out.data());
    EXPECT_EQ(n, static_cast<int>(out.size()));
    return out;
}

TEST(Message, IdRequestBytes)
{
    std::vector<uint8_t> want = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x12,
                                 0x10, 0x00, 0x00, 0x00, 0x14, 0xf7, 0x8a, 0x00};
    EXPECT_EQ(build(MSG_ID, {}), want);
}

TEST(Message, DiskInfoForDriveD)
{
    std::vector<uint8_t> want = {0x02, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x11, 0x14, 0x00,
                                 0x00, 0x00, 0xd8, 0xf7, 0x8a, 0x00, 0x44, 0x3a, 0x5c, 0x00};
    EXPECT_EQ(build(MSG_DISK_INFO, {'D', ':', '\\', 0}), want);
}

TEST(Message, PowerEqualsRowSeven)
{
    EXPECT_EQ(build(MSG_POWER, {}), build(7, {}));
    // ...and differs from its neighbours, so the comparison means something.
    EXPECT_NE(build(MSG_POWER, {}), build(MSG_DATE, {}));
}

TEST(Message, LengthFieldCountsHeaderAndPayload)
{
    std::vector<uint8_t> payload(1000, 0x41);
    auto msg = build(MSG_UPLOAD, payload);
    EXPECT_EQ(msg[8] | msg[9] << 8, 1016);
    EXPECT_EQ(msg[4], 0x03);
    EXPECT_EQ(msg[7], 0x11);
    EXPECT_EQ(msg[15], 0x00);
    EXPECT_EQ(msg.back(), 0x41);
    auto date = build(MSG_DATE, {});
    std::vector<uint8_t> word(date.begin() + 12, date.end());
    EXPECT_EQ(word, (std::vector<uint8_t>{0x78, 0xf3, 0x64, 0x01}));
}

TEST(Message, PayloadLimitOfOnePacket)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(camera_check_payload(1000), 0);
    EXPECT_EQ(camera_check_payload(1001), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "request too long for one packet\n");
    // Sent anyway, a longer message ends the program with the length the
    // CRC would have covered: 4 + 16 + payload.
    std::vector<uint8_t> big(5000, 0x41);
    int kind;
    const Captured c =
        capture_fatal([&] { serial_send_message_frag(MSG_UPLOAD, big.data(), 5000, 0); }, &kind);
    EXPECT_EQ(kind, FATAL_CRC_LENGTH);
    EXPECT_EQ(c.err, "FATAL ERROR: initial CRC value for length 5020 unknown\n");
    const Captured bug = capture_fatal([&] { camera_check_type(MSG_TYPES); }, &kind);
    EXPECT_EQ(kind, FATAL_INTERNAL);
    EXPECT_EQ(bug.err,
              "INTERNAL BUG: serial_send_message_frag():message type 17 not supported\n");
}

TEST(Message, ReplyTextStopsAtZeroEndOfReplyOrLimit)
{
    char out[1024];
    const uint8_t reply[] = {0, 0, 'D', ':', 0, 'x'};
    EXPECT_EQ(camera_reply_text(reply, 6, 2, out), 0);
    EXPECT_STREQ(out, "D:");
    // No terminator: the text runs to the end of what was received.
    EXPECT_EQ(camera_reply_text(reply, 4, 2, out), 0);
    EXPECT_STREQ(out, "D:");
    // Offset beyond the reply: nothing is read.
    EXPECT_EQ(camera_reply_text(reply, 2, 2, out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(camera_reply_text(nullptr, 0, 0, out), -1);

    std::vector<uint8_t> long_text(2000, 'A');
    EXPECT_EQ(camera_reply_text(long_text.data(), 2000, 0, out), 0);
    EXPECT_EQ(std::string(out).size(), 1023u);
}

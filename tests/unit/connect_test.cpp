// Taking the identity from an ID reply; the ping's elapsed time; the
// connection's own frames.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "camera/connect.h"
#include "camera/status.h"

using Bytes = std::vector<uint8_t>;

namespace {

std::vector<uint8_t> id_reply(const std::string &text, bool terminate = true)
{
    std::vector<uint8_t> r(28, 0);
    r[24] = 4;
    r[25] = 3;
    r[26] = 2;
    r[27] = 1;
    for (char c : text)
        r.push_back(static_cast<uint8_t>(c));
    if (terminate)
        r.push_back(0);
    return r;
}

TEST(CameraId, FirmwareDigitsAreReversed)
{
    auto r = id_reply("Canon PowerShot S20");
    char id[1024], fw[8];
    ASSERT_EQ(camera_parse_id(r.data(), static_cast<int>(r.size()), id, fw), 0);
    EXPECT_STREQ(fw, "1.2.3.4");
    EXPECT_STREQ(id, "Canon PowerShot S20");
    r[26] = 10;  // a byte of ten shows as the character after '9'
    camera_parse_id(r.data(), static_cast<int>(r.size()), id, fw);
    EXPECT_STREQ(fw, "1.:.3.4");
}

TEST(CameraId, TextIsCutAndBoundedByTheReply)
{
    char id[1024], fw[8];
    auto r = id_reply(std::string(1500, 'C'));
    ASSERT_EQ(camera_parse_id(r.data(), static_cast<int>(r.size()), id, fw), 0);
    EXPECT_EQ(std::string(id), std::string(1023, 'C'));
    // No terminator: the text ends with the reply.
    r = id_reply("Canon", false);
    ASSERT_EQ(camera_parse_id(r.data(), static_cast<int>(r.size()), id, fw), 0);
    EXPECT_STREQ(id, "Canon");
    // Exactly up to the text: an empty identity, the firmware still known.
    r = id_reply("", false);
    ASSERT_EQ(camera_parse_id(r.data(), static_cast<int>(r.size()), id, fw), 0);
    EXPECT_STREQ(id, "");
}

TEST(CameraId, ShortReplyChangesNothing)
{
    char id[1024] = "previous", fw[8] = "9.9.9.9";
    auto r = id_reply("x");
    EXPECT_EQ(camera_parse_id(r.data(), 27, id, fw), -1);
    EXPECT_EQ(camera_parse_id(nullptr, 0, id, fw), -1);
    EXPECT_STREQ(id, "previous");
    EXPECT_STREQ(fw, "9.9.9.9");
}

TEST(Ping, ElapsedAcrossASecondBoundary)
{
    struct timeval a = {100, 900000}, b = {101, 100000};
    EXPECT_EQ(camera_elapsed_ms(&a, &b), 200);
    struct timeval c = {100, 0}, d = {100, 999};
    EXPECT_EQ(camera_elapsed_ms(&c, &d), 0);
}

// The connection's frames, built by the encoder, byte for byte as the
// camera knows them.  The 9600 request's CRC needs escaping.
TEST(OwnFrames, AsTheCameraKnowsThem)
{
    const std::vector<std::pair<int, Bytes>> requests = {
        {9600, {0xc0, 0x00, 0x03, 0x02, 0x02, 0x01, 0x10, 0, 0, 0, 0, 0x7e, 0xe0, 0x39, 0xc1}},
        {19200, {0xc0, 0x00, 0x03, 0x08, 0x02, 0x01, 0x10, 0, 0, 0, 0, 0x13, 0x1f, 0xc1}},
        {38400, {0xc0, 0x00, 0x03, 0x20, 0x02, 0x01, 0x10, 0, 0, 0, 0, 0x5f, 0x84, 0xc1}},
        {57600, {0xc0, 0x00, 0x03, 0x40, 0x02, 0x01, 0x10, 0, 0, 0, 0, 0x5e, 0x57, 0xc1}},
        {115200, {0xc0, 0x00, 0x03, 0x80, 0x02, 0x01, 0x10, 0, 0, 0, 0, 0x4d, 0xf9, 0xc1}},
        {4800, {0xc0, 0x00, 0x03, 0x80, 0x02, 0x01, 0x10, 0, 0, 0, 0, 0x4d, 0xf9, 0xc1}},
    };
    uint8_t out[CAMERA_OWN_FRAME_MAX];
    for (const auto &[speed, frame] : requests)
        EXPECT_EQ(Bytes(out, out + camera_speed_frame(speed, out)), frame) << speed;
    EXPECT_EQ(Bytes(out, out + camera_off_frame(0, out)), (Bytes{0xc0, 0x00, 0x02, 0x55, 0x2c, 0xc1}));
    EXPECT_EQ(Bytes(out, out + camera_off_frame(1, out)),
              (Bytes{0xc0, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00, 0x24, 0xc6, 0xc1}));
}

}  // namespace

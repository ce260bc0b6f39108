#include "camera/connect.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "camera/message.h"
#include "files/cache.h"
#include "serial/frame.h"
#include "serial/hint.h"
#include "serial/link.h"
#include "serial/port.h"
#include "shell/settings.h"

char camera_id[1024];
char camera_firmware[8];
char prompt_id[1024];
char disk_name[1024];

namespace {

struct SpeedFrame {
    int speed;
    uint8_t bytes[15];
    int length;
};

// The speed-change request, one ready frame per line speed: sequence 0,
// type 3, the camera's speed code and seven fixed bytes, with its CRC.  The
// 9600 frame is one byte longer because its CRC's low byte needs escaping.
constexpr SpeedFrame speed_frames[] = {
    {9600, {0xc0, 0x00, 0x03, 0x02, 0x02, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x7e, 0xe0, 0x39, 0xc1}, 15},
    {19200, {0xc0, 0x00, 0x03, 0x08, 0x02, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x13, 0x1f, 0xc1}, 14},
    {38400, {0xc0, 0x00, 0x03, 0x20, 0x02, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x5f, 0x84, 0xc1}, 14},
    {57600, {0xc0, 0x00, 0x03, 0x40, 0x02, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x5e, 0x57, 0xc1}, 14},
    {115200, {0xc0, 0x00, 0x03, 0x80, 0x02, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x4d, 0xf9, 0xc1}, 14},
};

// Camera off: a two-byte type-2 packet (kept whole: the CRC table has no
// value for two bytes), then an EOT with status 1.
constexpr uint8_t off_frame1[] = {0xc0, 0x00, 0x02, 0x55, 0x2c, 0xc1};
constexpr uint8_t off_frame2[] = {0xc0, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00, 0x24, 0xc6, 0xc1};

constexpr int SYNC_MICROSECONDS = 400000;
// How long the synchronisation goes unanswered before the user is told
// what usually keeps a camera silent.
constexpr time_t SYNC_HINT_SECONDS = 10;
constexpr int SYNC_MICROSECONDS_A50 = 900000;
constexpr int CONFIRM_ATTEMPTS = 10;
// The greeting text starts at byte 26 of the frame: byte 22 of the data.
constexpr int GREETING_OFFSET = 26;
constexpr int ID_FIRMWARE_OFFSET = 24;
constexpr int ID_TEXT_OFFSET = 28;
constexpr int DISK_TEXT_OFFSET = 20;

const SpeedFrame &speed_frame_for(int speed)
{
    for (const SpeedFrame &f : speed_frames)
        if (f.speed == speed)
            return f;
    return speed_frames[4];
}

// The synchronisation bursts go straight to the port: neither paced nor
// traced.  write(2) of the whole run, retrying interruptions.
void write_raw(int fd, const uint8_t *bytes, size_t count)
{
    while (count > 0) {
        ssize_t n = write(fd, bytes, count);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
}

void copy_text(char *dst, const char *src)
{
    std::snprintf(dst, 1024, "%s", src);
}

}  // namespace

int camera_parse_id(const uint8_t *data, int length, char *id, char *firmware)
{
    if (data == nullptr || length < ID_TEXT_OFFSET)
        return -1;
    // The camera sends the four version digits lowest first.
    for (int i = 0; i < 4; i++) {
        firmware[2 * i] = static_cast<char>(data[ID_FIRMWARE_OFFSET + 3 - i] + '0');
        firmware[2 * i + 1] = i < 3 ? '.' : 0;
    }
    if (camera_reply_text(data, length, ID_TEXT_OFFSET, id) != 0)
        id[0] = 0;
    camera_printable(id, id);  // it becomes the prompt
    camera_printable(firmware, firmware);
    return 0;
}

int camera_connect(const char *device)
{
    std::printf("Open %s: ", device);
    std::fflush(stdout);
    if (serial_open(device) != 0) {
        std::printf("failure\n");
        std::exit(1);
    }
    std::printf("OK\n");

    std::printf("Sync: ");
    std::fflush(stdout);
    serial_set_timeout(0, settings.a50 ? SYNC_MICROSECONDS_A50 : SYNC_MICROSECONDS);

    // The camera wakes up on bursts of 'U' (0x55, alternating bits) and
    // answers with its greeting once it has locked onto 9600 bits/s.  It
    // may take any time to do so, so the loop has no bound; an interrupt
    // ends the program.
    static const uint8_t sync_bytes[4] = {'U', 'U', 'U', 'U'};
    Packet pkt{};
    const uint8_t *frame;
    time_t sync_start = std::time(nullptr);
    bool hinted = false;
    for (;;) {
        write_raw(serial_descriptor(), sync_bytes, sizeof sync_bytes);
        frame = serial_get_packet(&pkt);
        if (frame != nullptr)
            break;
        std::printf(".");
        std::fflush(stdout);
        // A camera that is on and in PC mode answers within a few bursts.
        if (!hinted && std::time(nullptr) - sync_start >= SYNC_HINT_SECONDS) {
            serial_silence_hint(device);
            hinted = true;
        }
    }
    // The greeting's text, up to its zero or to the end of the data.
    char greeting[1024];
    camera_reply_text(frame, pkt.frame_length - 2, GREETING_OFFSET, greeting);
    camera_printable(greeting, greeting);
    std::printf("\n::%s::\n", greeting);

    int len;
    serial_get_frame(&len);  // the greeting's EOT
    serial_send_ack(0);

    std::printf("Switching to %d bound ", settings.speed);
    serial_set_timeout_seconds(0);
    const SpeedFrame &sf = speed_frame_for(settings.speed);
    serial_write(serial_descriptor(), sf.bytes, sf.length);
    serial_send_eot(1);
    serial_get_frame(&len);  // the camera's ACK, sent before it switches
    serial_set_speed(settings.speed);

    // Probe at the new speed.  An unanswered probe did not reach the
    // camera's counter, so the next one carries the same number.
    for (int attempt = 0; attempt < CONFIRM_ATTEMPTS; attempt++) {
        std::printf(".");
        std::fflush(stdout);
        serial_send_eot(0);
        if (serial_get_frame(&len) != nullptr) {
            std::printf("OK\n");
            return 0;
        }
        serial_step_back_packet_counter();
    }
    std::printf("protocol error\n");
    std::exit(1);
}

void camera_init(void)
{
    camera_connect(settings.device);
    serial_set_timeout_seconds(5);
    if (camera_get_id() != nullptr)
        copy_text(prompt_id, camera_id);
    if (camera_get_disk() != nullptr)
        copy_text(camera_cwd, disk_name);
}

int camera_open(void)
{
    if (serial_descriptor() != -1)
        return -1;
    sleep(1);
    serial_reset_fragment_counter();
    serial_reset_counters();
    cache_clear();
    camera_cwd[0] = 0;
    camera_init();
    return 0;
}

int camera_close(void)
{
    if (serial_descriptor() == -1)
        return -1;
    camera_off();
    serial_close();
    return 0;
}

void camera_off(void)
{
    // Also the termination handler's way: serial_write paces the bytes for
    // the A50, which would drop the frames sent in one burst, and nanosleep
    // is safe inside a handler.
    int fd = serial_descriptor();
    if (fd != -1) {
        serial_write(fd, off_frame1, sizeof off_frame1);
        serial_write(fd, off_frame2, sizeof off_frame2);
    }
    // The camera takes its time to power down before the line may close.
    const struct timespec second = {1, 0};
    nanosleep(&second, nullptr);
}

const char *camera_get_id(void)
{
    Packet reply{};
    char id[1024];
    char firmware[8];
    if (camera_request(MSG_ID, nullptr, 0, &reply) != 0 ||
        camera_parse_id(reply.data, reply.length, id, firmware) != 0) {
        std::printf("no reply from the camera\n");
        return nullptr;
    }
    copy_text(camera_id, id);
    std::memcpy(camera_firmware, firmware, sizeof camera_firmware);
    return camera_id;
}

const char *camera_get_disk(void)
{
    Packet reply{};
    char name[1024];
    if (camera_request(MSG_DISK, nullptr, 0, &reply) != 0 ||
        camera_reply_text(reply.data, reply.length, DISK_TEXT_OFFSET, name) != 0) {
        std::printf("no reply from the camera\n");
        return nullptr;
    }
    copy_text(disk_name, name);
    return disk_name;
}

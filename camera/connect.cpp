#include "camera/connect.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "camera/message.h"
#include "serial/codec.h"
#include "serial/fdio.h"
#include "serial/frame.h"
#include "serial/hint.h"
#include "serial/link.h"
#include "serial/output.h"
#include "serial/port.h"
#include "serial/speed.h"
#include "shell/settings.h"

CameraState camera_state;

namespace {

// The speed-change request: sequence 0, type 3, the camera's code of the
// speed (serial/speed.h), then seven fixed bytes.  Sent outside the link's
// numbering, before the connection has any.
constexpr uint8_t SPEED_REQUEST[] = {0x00, 0x03, 0x00, 0x02, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00};
constexpr int SPEED_CODE_AT = 2;

// Camera off: a two-byte type-2 packet, with the CRC the camera expects
// of it (the CRC table has no initial value for two bytes), then an EOT
// with status 1.
constexpr uint8_t OFF_PACKET[] = {0x00, 0x02};
constexpr uint16_t OFF_PACKET_CRC = 0x2c55;
constexpr uint8_t OFF_EOT[] = {0x00, 0x04, 0x01, 0x00, 0x00, 0x00};

constexpr int SYNC_MICROSECONDS = 400000;
// How long the synchronisation goes unanswered before the user is told
// what usually keeps a camera silent.
constexpr time_t SYNC_HINT_SECONDS = 10;
constexpr int SYNC_MICROSECONDS_A50 = 900000;
// Bursts before the synchronisation gives up; 0: it never does.
int sync_burst_limit = 0;
constexpr int CONFIRM_ATTEMPTS = 10;
// Unanswered bursts before the camera is looked for at the other speeds.
constexpr int SYNC_BURSTS_BEFORE_OFF = 3;
// Speed requests sent before the switch is given up.
constexpr int SPEED_REQUESTS = 4;
// Times the whole negotiation is made before "protocol error".
constexpr int SPEED_ROUNDS = 2;
// The greeting text starts at byte 26 of the frame: byte 22 of the data.
constexpr int GREETING_OFFSET = 26;
constexpr int ID_FIRMWARE_OFFSET = REPLY_VALUES_OFFSET + 4;
constexpr int ID_TEXT_OFFSET = REPLY_VALUES_OFFSET + 8;
constexpr int DISK_TEXT_OFFSET = REPLY_VALUES_OFFSET;

void copy_text(char *dst, const char *src)
{
    std::snprintf(dst, CAMERA_TEXT_MAX, "%s", src);
}

static_assert(2 * (sizeof SPEED_REQUEST + 2) + 2 <= CAMERA_OWN_FRAME_MAX,
              "the largest escaped frame of the connection must fit");

// The frame of `count` packet bytes with the CRC of the protocol's table.
size_t checked_frame(const uint8_t *packet, size_t count, uint8_t *out)
{
    const int length = static_cast<int>(count);
    const uint16_t crc =
        serial_crc_run(static_cast<uint16_t>(serial_crc_initial(length)), packet, count);
    return serial_encode_frame(packet, count, crc, out);
}

// serial_write paces the bytes for the A50, which would drop the frames
// sent in one burst; the encoder only fills the buffer, so this is safe
// inside the termination handler.
void write_off_frames(void)
{
    for (int which = 0; which < 2; which++) {
        uint8_t frame[CAMERA_OWN_FRAME_MAX];
        const size_t n = camera_off_frame(which, frame);
        serial_write(serial_descriptor(), frame, static_cast<int>(n));
    }
}

// The camera-off frames at `speed`.  The speed change waits for the
// output to drain, but a USB adapter reports it drained while the bytes
// are still in its own buffer: they are given time to leave before the
// line changes speed again.
void switch_off_at(int speed)
{
    if (serial_set_speed(speed) != 0)
        return;
    write_off_frames();
    const struct timespec leaving = {0, 100000000};
    nanosleep(&leaving, nullptr);
}

// A camera that an earlier run left connected at another speed (killed
// before it could switch the camera off) hears the 9600 bits/s bursts as
// noise and never answers them.  It is sent the camera-off frames once at
// each of the other speeds, which brings it back to 9600 and waiting for a
// synchronisation, and the line goes back to 9600.
void switch_off_at_other_speeds(void)
{
    // Slowest first: 9600 is where the line already is.
    for (size_t i = LINE_SPEED_COUNT - 1; i-- > 0;)
        switch_off_at(LINE_SPEEDS[i].bits_per_second);
    serial_set_speed(9600);
    const struct timespec powering_down = {0, 500000000};
    nanosleep(&powering_down, nullptr);
}

// The camera wakes up on bursts of 'U' (0x55, alternating bits) and
// answers with its greeting once it has locked onto 9600 bits/s.  It may
// take any time to do so, so the wait has no bound; an interrupt ends the
// program; after a while of silence a hint says what to check on `device`.
// Prints the greeting and acknowledges it.  False, after the line on
// standard error, when the line went away.
bool synchronise(const char *device)
{
    out_row("Sync: ");
    serial_set_timeout(0, settings.a50 ? SYNC_MICROSECONDS_A50 : SYNC_MICROSECONDS);
    static const uint8_t sync_bytes[4] = {'U', 'U', 'U', 'U'};
    Packet pkt{};
    const uint8_t *frame;
    const time_t sync_start = std::time(nullptr);
    bool hinted = false;
    for (int bursts = 1;; bursts++) {
        // Neither paced nor traced: a lost burst is simply followed by the
        // next.  A failed write shows in the wait.
        serial_write_untraced(sync_bytes, sizeof sync_bytes);
        frame = serial_get_packet(&pkt);
        if (frame != nullptr)
            break;
        if (serial_line_state() != SERIAL_LINE_OK) {
            out_end_row();
            serial_line_lost(device, serial_line_state());
            return false;
        }
        out_row(".");
        if (bursts == SYNC_BURSTS_BEFORE_OFF)
            switch_off_at_other_speeds();
        if (sync_burst_limit > 0 && bursts >= sync_burst_limit) {
            out_end_row();
            out_complaint("%s: the camera does not answer the synchronisation\n", device);
            return false;
        }
        // A camera that is on and in PC mode answers within a few bursts.
        if (!hinted && std::time(nullptr) - sync_start >= SYNC_HINT_SECONDS) {
            serial_silence_hint(device);
            hinted = true;
        }
    }
    // The greeting's text, up to its zero or to the end of the data.
    char greeting[CAMERA_TEXT_MAX];
    camera_reply_text(frame, pkt.frame_length - 2, GREETING_OFFSET, greeting);
    camera_printable(greeting, greeting);
    out_end_row();
    out_line("::%s::\n", greeting);

    int len;
    serial_get_frame(&len);  // the greeting's EOT
    camera_send_ack();
    return true;
}

// Asks the camera for the chosen speed and follows it once it has
// acknowledged at the old one.  A request the camera did not acknowledge
// goes again, with the same number: a port switched without that
// acknowledge would talk past a camera still at 9600.  False when none was
// acknowledged.
bool switch_speed(void)
{
    serial_set_timeout_seconds(0);
    uint8_t frame[CAMERA_OWN_FRAME_MAX];
    const size_t length = camera_speed_frame(settings.speed, frame);
    for (int attempt = 0; attempt < SPEED_REQUESTS; attempt++) {
        if (attempt > 0)
            camera_step_back_eot();
        serial_write(serial_descriptor(), frame, static_cast<int>(length));
        camera_send_eot(1);
        int len;
        // The camera's ACK, sent before it switches.
        if (serial_get_frame(&len) != nullptr) {
            // serial_set_speed lets what is still on its way out leave at
            // the old speed first.
            return serial_set_speed(settings.speed) == 0;
        }
        if (serial_line_state() != SERIAL_LINE_OK)
            return false;
    }
    return false;
}

// Probes at the new speed until the camera answers.  An unanswered probe
// did not reach the camera's counter, so the next one carries the same
// number.  False when none of the probes was answered.
bool confirm_speed(void)
{
    for (int attempt = 0; attempt < CONFIRM_ATTEMPTS; attempt++) {
        out_row(".");
        camera_send_eot(0);
        int len;
        if (serial_get_frame(&len) != nullptr)
            return true;
        camera_step_back_eot();
    }
    return false;
}

// The camera acknowledges an EOT whether or not the speed request before
// it got through, so an acknowledged request may still have been lost.
// When the new speed is not confirmed, the camera may well be waiting at
// the old one: the request is made once more from 9600.
bool negotiate_speed(void)
{
    for (int round = 0; round < SPEED_ROUNDS; round++) {
        if (round > 0 && serial_set_speed(9600) != 0)
            return false;
        if (switch_speed() && confirm_speed())
            return true;
        if (serial_line_state() != SERIAL_LINE_OK)
            return false;
    }
    return false;
}

}  // namespace

size_t camera_speed_frame(int speed, uint8_t *out)
{
    const LineSpeed *row = serial_line_speed(speed);
    uint8_t request[sizeof SPEED_REQUEST];
    std::memcpy(request, SPEED_REQUEST, sizeof request);
    request[SPEED_CODE_AT] = (row != nullptr ? row : &LINE_SPEEDS[0])->camera_code;
    return checked_frame(request, sizeof request, out);
}

size_t camera_off_frame(int which, uint8_t *out)
{
    if (which == 0)
        return serial_encode_frame(OFF_PACKET, sizeof OFF_PACKET, OFF_PACKET_CRC, out);
    return checked_frame(OFF_EOT, sizeof OFF_EOT, out);
}

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

void camera_set_sync_bursts(int bursts)
{
    sync_burst_limit = bursts;
}

int camera_connect(const char *device)
{
    out_now("Open %s: ", device);
    if (serial_open(device) != 0) {
        std::printf("failure\n");
        return -1;
    }
    std::printf("OK\n");
    if (!synchronise(device)) {
        serial_close();
        return -1;
    }
    out_row("Switching to %d bound ", settings.speed);
    if (!negotiate_speed()) {
        if (serial_line_state() != SERIAL_LINE_OK) {
            out_end_row();
            serial_line_lost(device, serial_line_state());
        } else {
            out_line("protocol error\n");
            // The camera took the request, or never had it: it is at one
            // of the two speeds, and is switched off at both.
            switch_off_at(settings.speed);
            serial_set_speed(9600);
            camera_off();
        }
        serial_close();
        return -1;
    }
    out_line("OK\n");
    return 0;
}

int camera_start(void)
{
    // A drive name that could not be read is none: not the last one's.
    camera_state.disk_name[0] = 0;
    if (camera_connect(settings.device) != 0)
        return -1;
    serial_set_timeout_seconds(5);
    if (camera_get_id() != nullptr)
        copy_text(camera_state.prompt_id, camera_state.id);
    camera_get_disk();
    return 0;
}

int camera_open(bool *listing_stale)
{
    *listing_stale = false;
    if (serial_descriptor() != -1) {
        if (serial_line_state() == SERIAL_LINE_OK)
            return -1;
        // What is left of a lost line: its descriptor reports only its end.
        serial_close();
    }
    sleep(1);
    serial_reset_fragment_counter();
    camera_reset_numbering();
    // Another card, or the same one changed while the camera was away.
    *listing_stale = true;
    return camera_start();
}

int camera_close(void)
{
    if (serial_descriptor() == -1) {
        serial_close();  // a line found gone is closed now by choice
        return -1;
    }
    camera_off();
    serial_close();
    return 0;
}

void camera_off(void)
{
    // Also the termination handler's way (write_off_frames is safe there,
    // and so is nanosleep).
    if (serial_descriptor() == -1 || serial_line_state() == SERIAL_LINE_GONE)
        return;
    write_off_frames();
    // The camera takes its time to power down before the line may close.
    const struct timespec second = {1, 0};
    nanosleep(&second, nullptr);
}

const char *camera_get_id(void)
{
    Packet reply{};
    char id[CAMERA_TEXT_MAX];
    char firmware[CAMERA_FIRMWARE_LEN];
    if (camera_request(MSG_ID, nullptr, 0, &reply) != 0 ||
        camera_parse_id(reply.data, reply.length, id, firmware) != 0) {
        std::printf("no reply from the camera\n");
        return nullptr;
    }
    copy_text(camera_state.id, id);
    std::memcpy(camera_state.firmware, firmware, sizeof camera_state.firmware);
    return camera_state.id;
}

const char *camera_get_disk(void)
{
    Packet reply{};
    char name[CAMERA_TEXT_MAX];
    if (camera_request(MSG_DISK, nullptr, 0, &reply) != 0 ||
        camera_reply_text(reply.data, reply.length, DISK_TEXT_OFFSET, name) != 0) {
        std::printf("no reply from the camera\n");
        return nullptr;
    }
    copy_text(camera_state.disk_name, name);
    return camera_state.disk_name;
}

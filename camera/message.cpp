#include "camera/message.h"

#include <cstdio>
#include <cstring>

#include "serial/frame.h"
#include "serial/link.h"
#include "serial/port.h"
#include "shell/exits.h"
#include "shell/settings.h"

// The camera's firmware dispatches on (command, class) and checks the word
// of each request; the words are the ones the camera expects, rows that no
// operation uses are kept for the `test` command.
const MessageDescriptor message_table[MSG_TYPES] = {
    {0x01, 0x12, 0x008af714},  // 0  MSG_ID
    {0x01, 0x11, 0x0479086a},  // 1  MSG_FILE
    {0x01, 0x11, 0x02b10cea},  // 2
    {0x04, 0x12, 0x009dd308},  // 3
    {0x05, 0x12, 0x009dd2fc},  // 4
    {0x09, 0x11, 0x008af7d8},  // 5  MSG_DISK_INFO
    {0x0A, 0x11, 0x008af7dc},  // 6  MSG_DISK
    {0x0A, 0x12, 0x008af670},  // 7
    {0x0B, 0x11, 0x008af694},  // 8
    {0x0B, 0x11, 0x008af6a8},  // 9  MSG_LIST
    {0x0D, 0x11, 0x007bf48c},  // 10 MSG_DELETE
    {0x0A, 0x12, 0x008af670},  // 11 MSG_POWER
    {0x03, 0x12, 0x0164f378},  // 12 MSG_DATE
    {0x0E, 0x11, 0x00000000},  // 13 MSG_SET_ATTR
    {0x05, 0x11, 0x00000000},  // 14 MSG_MKDIR
    {0x06, 0x11, 0x00000000},  // 15 MSG_RMDIR
    {0x03, 0x11, 0x00000000},  // 16 MSG_UPLOAD
};

int camera_build_message(unsigned type, const uint8_t *payload, int payload_len,
                         uint8_t *out)
{
    const MessageDescriptor &row = message_table[type];
    int total = MESSAGE_HEADER_LEN + payload_len;
    put_le32(out, 2);
    out[4] = row.command;
    out[5] = 0;
    out[6] = 0;
    out[7] = row.klass;
    put_le16(out + 8, static_cast<uint16_t>(total));
    out[10] = 0;
    out[11] = 0;
    put_le32(out + 12, row.word);
    if (payload_len > 0)
        std::memcpy(out + MESSAGE_HEADER_LEN, payload, static_cast<size_t>(payload_len));
    return total;
}

void serial_send_message_frag(unsigned type, const uint8_t *payload,
                              uint16_t payload_len, int fragment)
{
    if (type >= MSG_TYPES) {
        std::fprintf(stderr,
                     "INTERNAL BUG: serial_send_message_frag():message type %d not supported\n",
                     static_cast<int>(type));
        close_and_exit(1);
    }
    static uint8_t message[SERIAL_MAX_PAYLOAD];
    if (payload_len > MESSAGE_MAX_PAYLOAD) {
        // More than one packet can carry: the CRC layer has no seed for
        // that length and ends the program, naming it, before it reads a
        // byte of the message, so nothing is built.
        serial_send_data_packet(message, MESSAGE_HEADER_LEN + payload_len, fragment);
        return;
    }
    int total = camera_build_message(type, payload, payload_len, message);
    serial_send_data_packet(message, total, fragment);
}

namespace {

// The exchange under way: the request last sent is kept for sending it
// again when the camera never had it.
struct Exchange {
    uint8_t payload[SERIAL_FRAME_MAX];
    uint16_t length;
    unsigned type;
    int resends;              // times the request went again
    bool acked;               // the camera acknowledged the request's EOT
    unsigned long lost_mark;  // serial_frames_lost when last looked at
};
Exchange exchange;

// Requests in a row that met no frame at all: `unanswered_before` counts
// those before the request last sent, `heard_at_request` is
// serial_frames_heard() when it went (see camera_unanswered_requests).
int unanswered_before;
unsigned long heard_at_request;
bool request_made;

// Advice is given when at least this many messages were sent again, and
// at least one for every four that got through.
constexpr int ADVICE_REPEATS = 3;
constexpr int REQUEST_RESENDS = 4;
constexpr int ADVICE_SHARE = 4;

// The card-changing requests are never made twice: the camera may have
// carried out a copy whose acknowledge or reply was lost.
bool changes_card(unsigned type)
{
    return type == MSG_DELETE || type == MSG_MKDIR || type == MSG_RMDIR;
}

// send_request_once's result when a card-changing request met an earlier
// transmission: it is not sent again, and the exchange fails.
constexpr int REQUEST_NOT_REPEATED = -4;

int send_request_once(void)
{
    serial_send_message_frag(exchange.type, exchange.payload, exchange.length, 0);
    serial_send_eot(1);
    Packet pkt{};
    int r = serial_wait_ack_packet(&pkt);
    if (r == -2 && (serial_is_data_packet(pkt) || pkt.type == PKT_EOT)) {
        // Data or an EOT where the acknowledge belongs: the camera is still
        // in a transmission whose acknowledge it never got, and took the
        // request for that answer.  (Or the acknowledge was lost and this is
        // the reply; the request going once more costs only time then.)
        camera_run_out(pkt.type == PKT_EOT ? pkt.seq : -1);
        if (changes_card(exchange.type)) {
            // The request may have reached the camera all the same.
            exchange.acked = false;
            return REQUEST_NOT_REPEATED;
        }
        serial_count_repeat();
        serial_send_message_frag(exchange.type, exchange.payload, exchange.length, 0);
        serial_send_eot(1);
        r = serial_wait_ack();
    }
    exchange.acked = r >= 0 || r == -3;
    exchange.lost_mark = serial_frames_lost();
    return r;
}

}  // namespace

int camera_unanswered_requests(void)
{
    if (!request_made)
        return 0;
    return serial_frames_heard() == heard_at_request ? unanswered_before + 1 : 0;
}

int camera_send_request(unsigned type, const uint8_t *payload, uint16_t payload_len)
{
    unanswered_before = camera_unanswered_requests();
    heard_at_request = serial_frames_heard();
    request_made = true;
    exchange.type = type;
    // What cannot be sent as one packet ends the program in the sender;
    // only what fits is kept.
    exchange.length = payload_len <= MESSAGE_MAX_PAYLOAD ? payload_len : 0;
    if (exchange.length > 0)
        std::memcpy(exchange.payload, payload, exchange.length);
    exchange.resends = 0;
    if (payload_len > MESSAGE_MAX_PAYLOAD) {
        serial_send_message_frag(type, payload, payload_len, 0);
        return -1;
    }
    // The acknowledge's outcome is reported by the wait itself; the camera
    // answers the request whatever it was, so the exchange goes on.
    return send_request_once();
}

const uint8_t *camera_get_reply_packet(Packet *pkt)
{
    const uint8_t *frame = serial_get_packet(pkt);
    const unsigned long lost = serial_frames_lost();
    if (frame != nullptr && lost != exchange.lost_mark)
        pkt->crc_ok = 0;
    // A frame holding more than its length field accounts for is two
    // frames run together (the end byte between them destroyed): too long
    // for a checked CRC, and the second frame is gone.
    if (frame != nullptr && serial_is_data_packet(*pkt) && pkt->frame_length > 6 &&
        pkt->frame_length - 6 > pkt->length)
        pkt->crc_ok = 0;
    exchange.lost_mark = lost;
    return frame;
}

ReplySilence camera_reply_silence(int *silences)
{
    // Nothing more can come over a line that is gone: no repeat, no advice.
    if (serial_line_state() != SERIAL_LINE_OK)
        return SILENCE_GIVE_UP;
    if (++*silences > CAMERA_MAX_SILENCES) {
        serial_count_given_up();
        return SILENCE_GIVE_UP;
    }
    if (serial_heard_since_sent())
        return SILENCE_LOST_END;
    if (serial_last_sent() == PKT_ACK) {
        serial_repeat_answer();
        return SILENCE_RESENT;
    }
    // A request that changes the card is not made twice: its reply may
    // have been lost without a trace, and a NACK has the camera send that
    // reply again (a camera that never had the request ignores it, and the
    // exchange fails).
    if (changes_card(exchange.type)) {
        serial_send_ack(NACK);
        return SILENCE_RESENT;
    }
    // Nothing at all since the request: the camera dropped it (or its EOT)
    // as damaged.  A camera that acknowledged the EOT is there and gets
    // the request again (a few times); one that did not is tried once more.
    if (exchange.resends >= REQUEST_RESENDS || (!exchange.acked && exchange.resends > 0)) {
        serial_count_given_up();
        return SILENCE_GIVE_UP;
    }
    if (exchange.acked)
        --*silences;
    exchange.resends++;
    serial_count_repeat();
    send_request_once();
    return SILENCE_RESENT;
}

void camera_run_out(int pending_eot)
{
    if (pending_eot >= 0 && pending_eot <= 255)
        serial_answer_eot(static_cast<uint8_t>(pending_eot));
    // Bounded all the same: a camera repeating for ever must not hold the
    // program.
    for (int i = 0; i < 65536; i++) {
        Packet pkt{};
        if (serial_get_packet(&pkt) == nullptr)
            break;
        if (pkt.type != PKT_EOT)
            continue;
        // A damaged number is no number: the EOT is answered as the next.
        if (pkt.crc_ok)
            serial_answer_eot(pkt.seq);
        else
            serial_send_ack(0);
    }
    exchange.lost_mark = serial_frames_lost();
}

void camera_advice_begin(void)
{
    serial_reset_line_counts();
}

void camera_advise_speed(void)
{
    const LineCounts c = serial_line_counts();
    serial_reset_line_counts();
    const bool many = c.repeats >= ADVICE_REPEATS && c.repeats * ADVICE_SHARE >= c.acks;
    if (!many && !(c.given_up > 0 && c.repeats > 0))
        return;
    static const int speeds[] = {115200, 57600, 38400, 19200, 9600};
    int lower = 0;
    for (size_t i = 0; i + 1 < sizeof speeds / sizeof speeds[0]; i++)
        if (settings.speed == speeds[i])
            lower = speeds[i + 1];
    std::fflush(stdout);
    if (lower > 0)
        std::fprintf(stderr,
                     "The serial line is noisy (%d repeats): a lower speed may help, "
                     "speed %d or -s %d\n",
                     c.repeats, lower, lower);
    else
        std::fprintf(stderr, "The serial line is noisy (%d repeats) even at %d bits per second: "
                             "check the cable\n",
                     c.repeats, settings.speed);
}

int camera_request(unsigned type, const uint8_t *payload, uint16_t payload_len,
                   Packet *reply)
{
    // The camera's EOT arrives in the same frame buffer the reply was read
    // into, so the reply data is copied out before waiting for it.
    static uint8_t reply_copy[SERIAL_FRAME_MAX];

    if (camera_send_request(type, payload, payload_len) == REQUEST_NOT_REPEATED)
        return -1;
    int silences = 0;
    int repeats = 0;
    int got = 0;
    for (;;) {
        Packet pkt{};
        got = camera_get_reply_packet(&pkt) != nullptr;
        if (!got) {
            const ReplySilence r = camera_reply_silence(&silences);
            if (r == SILENCE_RESENT)
                continue;
            if (r == SILENCE_LOST_END) {
                serial_send_ack(NACK);
                continue;
            }
            break;
        }
        silences = 0;
        if (pkt.type == PKT_EOT && !pkt.crc_ok && repeats++ < CAMERA_MAX_REPEATS) {
            // The reply itself was lost on the way; its EOT came alone.
            serial_send_ack(NACK);
            continue;
        }
        *reply = pkt;
        int n = 0;
        if (serial_is_data_packet(pkt) && pkt.data != nullptr)
            n = pkt.length;
        if (n > SERIAL_FRAME_MAX)
            n = SERIAL_FRAME_MAX;
        if (n > 0)
            std::memcpy(reply_copy, pkt.data, static_cast<size_t>(n));
        reply->length = static_cast<uint16_t>(n);
        reply->data = reply_copy;

        Packet eot{};
        int e = serial_wait_eot_packet(&eot);
        const bool damaged = !pkt.crc_ok || serial_frames_lost() != exchange.lost_mark;
        exchange.lost_mark = serial_frames_lost();
        if (damaged && e != -2 && repeats++ < CAMERA_MAX_REPEATS) {
            serial_send_ack(NACK);
            continue;
        }
        if (e == -3 && changes_card(type) &&
            eot.seq == static_cast<uint8_t>(serial_ack_counter() - 1)) {
            // The number already acknowledged: the camera repeated the
            // previous exchange's reply, so this request's fate is unknown.
            serial_answer_eot(eot.seq);
            return -1;
        }
        if (e == 0 || e == -3)
            serial_answer_eot(eot.seq);
        else
            serial_send_ack(0);
        return 0;
    }
    if (serial_line_state() != SERIAL_LINE_OK)
        return -1;
    // Only an EOT that came is acknowledged: an acknowledge for one that
    // never did moves this side's count past the camera's.
    Packet eot{};
    if (serial_wait_eot_packet(&eot) != -1 && eot.type == PKT_EOT)
        serial_answer_eot(eot.seq);
    return -1;
}

int camera_check_payload(int payload_len)
{
    if (payload_len < 0 || payload_len > MESSAGE_MAX_PAYLOAD) {
        std::printf("request too long for one packet\n");
        return -1;
    }
    return 0;
}

int camera_reply_text(const uint8_t *data, int length, int offset, char *out)
{
    out[0] = 0;
    if (data == nullptr || offset < 0 || length <= offset)
        return -1;
    int n = 0;
    while (offset + n < length && n < CAMERA_TEXT_MAX - 1 && data[offset + n] != 0) {
        out[n] = static_cast<char>(data[offset + n]);
        n++;
    }
    out[n] = 0;
    return 0;
}

const char *camera_printable(const char *text, char *out)
{
    size_t i = 0;
    for (; text[i] != 0 && i < CAMERA_TEXT_MAX - 1; i++) {
        auto c = static_cast<unsigned char>(text[i]);
        out[i] = (c < 0x20 || c == 0x7F) ? '?' : text[i];
    }
    out[i] = 0;
    return out;
}

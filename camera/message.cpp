#include "camera/message.h"

#include <cstdio>
#include <cstring>
#include <time.h>

#include "camera/exchange.h"
#include "serial/fatal.h"
#include "serial/frame.h"
#include "serial/link.h"
#include "serial/output.h"
#include "serial/port.h"
#include "serial/speed.h"
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

void camera_check_type(unsigned type)
{
    if (type < MSG_TYPES)
        return;
    out_error("INTERNAL BUG: serial_send_message_frag():message type %d not supported\n",
              static_cast<int>(type));
    throw FatalCondition{FATAL_INTERNAL};
}

void serial_send_message_frag(unsigned type, const uint8_t *payload,
                              uint16_t payload_len, int fragment)
{
    camera_check_type(type);
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

// The request under way, kept for sending it again.
struct Request {
    uint8_t payload[SERIAL_FRAME_MAX];
    uint16_t length;
    unsigned type;
};
Request request;
int unanswered;
LinkNumbering numbering;

// Advice is given when at least this many messages were sent again, and
// at least one for every four that got through.
constexpr int ADVICE_REPEATS = 3;
constexpr int ADVICE_SHARE = 4;

// The card-changing requests are never made twice: the camera may have
// carried out a copy whose acknowledge or reply was lost.
bool changes_card(unsigned type)
{
    return type == MSG_DELETE || type == MSG_MKDIR || type == MSG_RMDIR;
}

bool line_ok(void)
{
    return serial_line_state() == SERIAL_LINE_OK;
}

bool send_request(uint8_t eot_seq)
{
    serial_send_message_frag(request.type, request.payload, request.length, 0);
    serial_send_eot(eot_seq, 1);
    return line_ok();
}

// The next thing the line brings.  A packet after a frame the line lost
// (see serial_frames_lost) is damaged: the message it belongs to is not
// whole.  So is a data packet holding more than its length field
// accounts for: two frames run together, the end byte between them
// destroyed, the second frame gone.
// Progress, not bytes, keeps an exchange alive: when no frame has passed
// its check for as long as a read waits for silence (a line babbling
// garbage), the damaged frame that ends that time is taken as a silence.
struct Reader {
    unsigned long lost_mark;
    long long last_progress_us;
};

long long now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

ExchangeEvent read_event(Reader *rd)
{
    ExchangeEvent ev{};
    const unsigned long heard = serial_frames_heard();
    const bool got = serial_get_packet(&ev.pkt) != nullptr;
    const unsigned long lost = serial_frames_lost();
    if (!got) {
        ev.kind = line_ok() ? EVENT_TIMEOUT : EVENT_LINE_LOST;
        ev.remains = serial_frames_heard() != heard;
    } else {
        const Packet &p = ev.pkt;
        ev.kind = EVENT_PACKET;
        ev.damaged = !p.crc_ok || lost != rd->lost_mark ||
                     (serial_is_data_packet(p) && p.frame_length > 6 &&
                      p.frame_length - 6 > p.length);
    }
    rd->lost_mark = lost;
    const long long now = now_us();
    if (ev.kind == EVENT_PACKET && ev.damaged &&
        now - rd->last_progress_us >= serial_timeout_us()) {
        ev = ExchangeEvent{};
        ev.kind = EVENT_TIMEOUT;
        ev.remains = true;
    }
    if (ev.kind != EVENT_PACKET || !ev.damaged)
        rd->last_progress_us = now;
    return ev;
}

void print_note(const ExchangeStep &step)
{
    if (step.note == NOTE_NO_ACK)
        std::printf("serial_get_packet() error waiting for ACK\n");
    else if (step.note == NOTE_ACK_TYPE)
        std::printf("Received a packet type %d waiting for ACK\n", step.got);
    else if (step.note == NOTE_OUT_OF_SEQUENCE)
        std::printf("Out of sequence ACK received, expected %d, got %d\n", step.expected,
                    step.got);
    else if (step.note == NOTE_WAITING) {
        // On stderr: it may come in the middle of a result line or a
        // transfer's row, which stays whole on standard output.
        out_note("The camera has the request but has not answered: waiting longer\n");
    }
}

// Sends what the step asks for; false when the line went away doing so.
bool send_step(const ExchangeStep &step)
{
    if (step.damage && step.send == SEND_NACK)
        serial_count_repeat();
    else if (step.damage)
        serial_count_given_up();
    switch (step.send) {
    case SEND_NOTHING:
        return true;
    case SEND_ACK:
        serial_count_ack();
        serial_send_ack(step.seq, 0);
        break;
    case SEND_NACK:
    case SEND_ACK_AGAIN:
        serial_send_ack(step.seq, step.status);
        break;
    case SEND_REQUEST:
        return send_request(step.seq);
    }
    return line_ok();
}

enum LoopEnd { LOOP_GOING, LOOP_DONE, LOOP_FAILED };

// One step carried out: the note, the frame to send, the consumer's part.
LoopEnd carry_out(ExchangeState *ex, const ExchangeStep &step, const Packet &pkt,
                  const ExchangeSink &sink)
{
    print_note(step);
    if (!send_step(step))
        return LOOP_FAILED;
    SinkVerdict verdict = SINK_MORE;
    if (step.message == MESSAGE_PACKET && !sink.packet(sink.ctx, pkt, step.trusted))
        verdict = SINK_BREACH;
    else if (step.message == MESSAGE_DROP)
        sink.drop(sink.ctx, step.send == SEND_NACK);
    else if (step.message == MESSAGE_KEPT)
        verdict = sink.kept(sink.ctx);
    if (step.failed || verdict == SINK_FAILED)
        return LOOP_FAILED;
    if (verdict == SINK_DONE)
        return LOOP_DONE;
    if (verdict == SINK_BREACH)
        return carry_out(ex, exchange_abandon(ex), pkt, sink);
    return LOOP_GOING;
}

}  // namespace

int camera_exchange(unsigned type, const uint8_t *payload, uint16_t payload_len,
                    const ExchangeSink &sink)
{
    if (payload_len > MESSAGE_MAX_PAYLOAD) {
        // The sender ends the program, naming the length.
        serial_send_message_frag(type, payload, payload_len, 0);
        return -1;
    }
    request.type = type;
    request.length = payload_len;
    if (payload_len > 0)
        std::memcpy(request.payload, payload, payload_len);
    Reader rd{serial_frames_lost(), now_us()};
    ExchangeState ex;
    exchange_begin(&ex, changes_card(type), &numbering);
    if (!send_request(ex.request_eot))
        return -1;
    bool heard = false;
    LoopEnd end = LOOP_GOING;
    while (end == LOOP_GOING) {
        const ExchangeEvent ev = read_event(&rd);
        heard = heard || (ev.kind == EVENT_PACKET && !ev.damaged);
        end = carry_out(&ex, exchange_feed(&ex, ev), ev.pkt, sink);
    }
    unanswered = heard ? 0 : unanswered + 1;
    return end == LOOP_DONE ? 0 : -1;
}

int camera_unanswered_requests(void)
{
    return unanswered;
}

void camera_reset_numbering(void)
{
    numbering = LinkNumbering{};
}

void camera_send_eot(uint8_t status)
{
    serial_send_eot(exchange_take_eot(&numbering), status);
}

void camera_step_back_eot(void)
{
    numbering.eot_counter--;
}

void camera_send_ack(void)
{
    serial_count_ack();
    serial_send_ack(exchange_take_ack(&numbering), 0);
}

void camera_advice_begin(void)
{
    serial_reset_line_counts();
}

bool camera_advise_speed(void)
{
    // Repeats on a line that went away, or to a camera that stopped
    // answering altogether, say nothing about noise: a lower speed would
    // not help.
    if (!line_ok() || unanswered >= CAMERA_UNANSWERED_LIMIT)
        return false;
    const LineCounts c = serial_line_counts();
    serial_reset_line_counts();
    const bool many = c.repeats >= ADVICE_REPEATS && c.repeats * ADVICE_SHARE >= c.acks;
    if (!many && !(c.given_up > 0 && c.repeats > 0))
        return true;
    const int lower = serial_lower_speed(settings.speed);
    if (lower > 0)
        out_error("The serial line is noisy (%d repeats): a lower speed may help, "
                  "speed %d or -s %d\n",
                  c.repeats, lower, lower);
    else
        out_error("The serial line is noisy (%d repeats) even at %d bits per second: "
                  "check the cable\n",
                  c.repeats, settings.speed);
    return true;
}

namespace {

// The single-packet reply: the first data packet of the one message.
struct SingleReply {
    Packet *reply;
    bool have;
};

bool single_packet(void *ctx, const Packet &pkt, bool)
{
    // The camera's EOT arrives in the same frame buffer, so the reply data
    // is copied out.
    static uint8_t reply_copy[SERIAL_FRAME_MAX];
    auto *r = static_cast<SingleReply *>(ctx);
    if (r->have)
        return true;
    int n = pkt.data != nullptr ? pkt.length : 0;
    if (n > SERIAL_FRAME_MAX)
        n = SERIAL_FRAME_MAX;
    *r->reply = pkt;
    if (n > 0)
        std::memcpy(reply_copy, pkt.data, static_cast<size_t>(n));
    r->reply->data = reply_copy;
    r->have = true;
    return true;
}

void single_drop(void *ctx, bool)
{
    auto *r = static_cast<SingleReply *>(ctx);
    r->have = false;
    r->reply->length = 0;
}

SinkVerdict single_kept(void *ctx)
{
    return static_cast<SingleReply *>(ctx)->have ? SINK_DONE : SINK_FAILED;
}

}  // namespace

int camera_request(unsigned type, const uint8_t *payload, uint16_t payload_len,
                   Packet *reply)
{
    SingleReply r{reply, false};
    reply->length = 0;
    if (camera_exchange(type, payload, payload_len,
                        ExchangeSink{&r, single_packet, single_drop, single_kept}) == 0)
        return 0;
    reply->length = 0;
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

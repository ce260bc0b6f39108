// Request messages and the standard request/reply exchange.
//
// A request is a 16-byte header built from a constant table row (command,
// class, word), followed by the operation's payload; it travels as one data
// packet.  The camera answers with one data packet (the reply message)
// framed by the link-control handshake.
#ifndef ORVIK_CAMERA_MESSAGE_H
#define ORVIK_CAMERA_MESSAGE_H

#include <cstdint>

#include "serial/codec.h"

enum MessageType : unsigned {
    MSG_ID = 0,
    MSG_FILE = 1,
    MSG_DISK_INFO = 5,
    MSG_DISK = 6,
    MSG_LIST = 9,
    MSG_DELETE = 10,
    MSG_POWER = 11,
    MSG_DATE = 12,
    MSG_SET_ATTR = 13,
    MSG_MKDIR = 14,
    MSG_RMDIR = 15,
    MSG_UPLOAD = 16,
    MSG_TYPES = 17,
};

struct MessageDescriptor {
    uint8_t command;  // header byte 4
    uint8_t klass;    // header byte 7
    uint32_t word;    // header bytes 12..15, little-endian
};
extern const MessageDescriptor message_table[MSG_TYPES];

constexpr int MESSAGE_HEADER_LEN = 16;

// The layout every reply shares: the message header, then the camera's
// status byte (0: done, else the reason it was not), then from byte 20 on
// the reply's values.
constexpr int REPLY_STATUS_OFFSET = MESSAGE_HEADER_LEN;
constexpr int REPLY_VALUES_OFFSET = 20;

// Buffer size of every text taken from or put into a message (identity,
// drive name, paths, names): at most CAMERA_TEXT_MAX - 1 characters and the
// terminating zero.
constexpr int CAMERA_TEXT_MAX = 1024;
// A request must fit one data packet: header + payload <= 1016 bytes.
constexpr int MESSAGE_MAX_PAYLOAD = SERIAL_MAX_PAYLOAD - MESSAGE_HEADER_LEN;

// Builds the 16-byte header for `type` with total length 16 + payload_len
// into out[0..16) and copies the payload after it.  Pure.  Returns the
// message length.  `type` must be below MSG_TYPES; out must hold
// 16 + payload_len bytes.
int camera_build_message(unsigned type, const uint8_t *payload,
                         int payload_len, uint8_t *out);

// Returns when `type` is below MSG_TYPES.  Otherwise prints
// "INTERNAL BUG: serial_send_message_frag():message type %d not supported\n"
// on stderr and throws FatalCondition FATAL_INTERNAL (serial/fatal.h).
void camera_check_type(unsigned type);

// Sends one request, after camera_check_type.  A payload longer than
// MESSAGE_MAX_PAYLOAD reaches the CRC layer's FATAL_CRC_LENGTH.
void serial_send_message_frag(unsigned type, const uint8_t *payload,
                              uint16_t payload_len, int fragment);

// One exchange, the I/O around the engine of camera/exchange.h: sends the
// request (one data packet, fragment 0) and its EOT(1), then reads the
// reply by the engine's rules, handing the consumer each data packet, what
// to drop and each message kept.  The engine's reports go to stdout
// ("serial_get_packet() error waiting for ACK", "Received a packet type %d
// waiting for ACK", "Out of sequence ACK received, expected %d, got %d";
// on stderr "The camera has the request but has not answered: waiting
// longer").
// Returns 0 when the
// consumer said SINK_DONE, -1 for every other end: no answer, a reply
// never received undamaged, an answer out of step that could not be asked
// for again, the line lost, a consumer's failure.
enum SinkVerdict {
    SINK_MORE,    // more messages belong to this reply
    SINK_DONE,    // the reply is complete: the exchange succeeded
    SINK_FAILED,  // the reply is complete and says no (refused, empty)
    SINK_BREACH,  // the reply breaks the protocol: the camera is run out
};
struct ExchangeSink {
    void *ctx;
    // A data packet of the message under way, valid for this call only;
    // `trusted` while nothing of that message was damaged.  False: the
    // consumer cannot go on (memory), the exchange is given up.
    bool (*packet)(void *ctx, const Packet &pkt, bool trusted);
    // What is held of the message under way is not kept; `nacked`: a NACK
    // asked for it again.
    void (*drop)(void *ctx, bool nacked);
    // The message is whole, this request's, and acknowledged.
    SinkVerdict (*kept)(void *ctx);
};
int camera_exchange(unsigned type, const uint8_t *payload, uint16_t payload_len,
                    const ExchangeSink &sink);

// The single-packet exchange: camera_exchange keeping the first data
// packet of the reply's one message.  Returns 0 with *reply filled
// (reply->data points to a copy that stays valid until the next
// camera_request), or -1 with reply->length 0: no reply undamaged, an
// empty one, or a card-changing request (delete, mkdir, rmdir) whose
// answer came out of step (its outcome unknown, it is not sent twice).
int camera_request(unsigned type, const uint8_t *payload, uint16_t payload_len,
                   Packet *reply);

// The number of requests in a row that got no answer at all: no frame of
// any kind, not even the acknowledge of their EOT, while they were under
// way.  Any frame heard in an exchange sets it back to 0.  A camera that
// was switched off, or whose batteries died, on a port that stays (a
// built-in RS-232 port, or an adapter still plugged in) shows here rather
// than as a lost line.
int camera_unanswered_requests(void);

// The connection's link numbering (camera/exchange.h), for the
// synchronisation, the speed handshake and the pings, which send their
// frames outside an exchange.
// Both counters back to 0, nothing acknowledged: a new connection.
void camera_reset_numbering(void);
// An EOT with `status` numbered by the EOT counter, which advances.
void camera_send_eot(uint8_t status);
// The EOT counter steps back: an unanswered probe never reached the
// camera's counter, so the next one carries the same number.
void camera_step_back_eot(void);
// An ACK 0 numbered by the acknowledge counter, which advances.
void camera_send_ack(void);
// At this many the bulk commands, the upload and the batch runs stop.
constexpr int CAMERA_UNANSWERED_LIMIT = 2;

// Around a command (or a whole non-interactive mode): camera_advice_begin
// forgets what the line cost so far; camera_advise_speed then prints one
// line on stderr suggesting the next lower speed when the command's
// transfers needed many repeats after damaged frames (at least 3, and one
// for every 4 messages that got through) or one was given up after such
// repeats.  Silence, a late camera or a lost line are no reason for it:
// when the line is no longer working, or the camera stopped answering
// (camera_unanswered_requests at its limit), it returns false at once,
// printing nothing; else true, advice printed or not.
void camera_advice_begin(void);
bool camera_advise_speed(void);

// Prints "request too long for one packet\n" and returns -1 when a payload
// of `payload_len` bytes cannot travel as one packet, else returns 0.  The
// path operations call it before sending, so a long path never reaches the
// fatal CRC exit.
int camera_check_payload(int payload_len);

// Reply text at `offset` of a reply of `length` bytes, up to its zero byte
// or the end of the reply, at most CAMERA_TEXT_MAX - 1 characters, into
// out[CAMERA_TEXT_MAX].
// Returns 0, or -1 (out empty) when the reply does not reach the offset.
int camera_reply_text(const uint8_t *data, int length, int offset, char *out);

// `text` as it may be printed: names, the identity and the greeting come
// from the camera (or from a faulty line), and a control byte (below 0x20,
// or 0x7F) printed as it stands could drive the user's terminal, so each is
// shown as '?'.  Other bytes are unchanged.  Writes out[CAMERA_TEXT_MAX]
// (cut to CAMERA_TEXT_MAX - 1 characters) and returns it; `out` may be
// `text` itself.
const char *camera_printable(const char *text, char *out);

#endif

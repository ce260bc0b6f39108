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

// Sends one request.  Type 17 or more (unsigned): prints
// "INTERNAL BUG: serial_send_message_frag():message type %d not supported\n"
// on stderr and close_and_exit(1).
void serial_send_message_frag(unsigned type, const uint8_t *payload,
                              uint16_t payload_len, int fragment);

// The standard exchange: request, EOT(1), wait ACK, one reply packet, wait
// EOT, ACK(0).  Every step runs whatever the waits report.  A reply that
// failed its check or lost a frame is asked for again (NACK, at most
// CAMERA_MAX_REPEATS times); read timeouts go through camera_reply_silence.
// Returns 0 when a reply packet was read (reply filled; reply->data points
// to a copy that stays valid until the next camera_request), -1 when none
// arrived, or when a card-changing request met the previous exchange's
// reply again or an earlier transmission (its outcome unknown).
int camera_request(unsigned type, const uint8_t *payload, uint16_t payload_len,
                   Packet *reply);

// Steps 1-3 of the exchange, for the multi-packet replies of the listing and
// the download: request, EOT(1), wait ACK (its failures reported, not acted
// on).  When the camera answers with data or an EOT instead of the ACK, it
// is still in an earlier transmission (whose acknowledge it never got): it
// is run out with camera_run_out and the request sent once more, unless it
// changes the card (delete, mkdir, rmdir): that is not sent twice, and the
// result is -4.  The request is kept for camera_reply_silence.  Returns the
// last wait's result.
int camera_send_request(unsigned type, const uint8_t *payload,
                        uint16_t payload_len);

// The number of requests in a row (camera_send_request, so also those of
// camera_request) that got no answer at all: no frame of any kind, not
// even the acknowledge of their EOT, while they were under way.  Any frame
// heard sets it back to 0.  A camera that was switched off, or whose
// batteries died, on a port that stays (a built-in RS-232 port, or an
// adapter still plugged in) shows here rather than as a lost line.
int camera_unanswered_requests(void);
// At this many the bulk commands, the upload and the batch runs stop.
constexpr int CAMERA_UNANSWERED_LIMIT = 2;

// Repeats asked for in a row on one message before the transfer is given
// up, and read timeouts in a row inside a reply that are answered before it
// is given up.
constexpr int CAMERA_MAX_REPEATS = 32;
constexpr int CAMERA_MAX_SILENCES = 2;

// Receives the next packet of the reply to the request last sent, as
// serial_get_packet does, except that a packet that follows a frame the
// line lost (see serial_frames_lost) comes back with crc_ok 0: the message
// it belongs to is not whole and must be asked for again.
const uint8_t *camera_get_reply_packet(Packet *pkt);

// What a read timeout inside a reply means, and what was done about it.
// *silences counts the timeouts in a row (the caller sets it to 0 whenever
// a packet arrives).
enum ReplySilence {
    SILENCE_RESENT,   // this side's frame was lost: the last answer (or the
                      // request, when the camera never had it) went again
    SILENCE_LOST_END, // the camera's message lost its end: the caller asks
                      // for it again with a NACK, as for a damaged message
    SILENCE_GIVE_UP,  // too many timeouts in a row: the transfer is over
};
// On a line that is no longer SERIAL_LINE_OK (serial_line_state) it gives
// up at once, with nothing sent or counted.
ReplySilence camera_reply_silence(int *silences);

// Lets the camera finish what it is still sending, the data unwanted:
// every EOT it sends is acknowledged (serial_answer_eot), starting with
// `pending_eot` when that is 0..255 (an EOT received and not yet
// answered), until the line has been quiet for one read timeout.  A camera
// waiting for an answer to its EOT takes the next request for that answer,
// so a transfer given up half-way is finished here instead.
void camera_run_out(int pending_eot);

// Around a command (or a whole non-interactive mode): camera_advice_begin
// forgets what the line cost so far; camera_advise_speed then prints one
// line on stderr suggesting the next lower speed when the command's
// transfers needed many repeats (at least 3, and one for every 4 messages
// that got through) or one was given up after repeats.
void camera_advice_begin(void);
void camera_advise_speed(void);

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

// The exchange engine: the rules by which every reply is received, as pure
// code.  It is fed what the line brought (a packet, a read timeout, the
// line lost) and says what to send next and what becomes of the message
// under way; the port I/O around it is camera_exchange (camera/message.h).
//
// One exchange is a request (data packet and EOT) and the camera's reply:
// one or more messages, each a run of data packets closed by the camera's
// EOT.  A reply is this request's or it is nothing, and at most one request
// is ever owed an answer.  The rules, the same for single replies, listings
// and downloads:
//  - damage: a message in which a packet failed its check or a frame was
//    lost, or whose EOT was damaged or lost, gets a NACK and comes again
//    (at most EXCHANGE_MAX_REPEATS in a row, then the exchange is given up);
//    nothing of it is kept;
//  - numbering: an EOT carrying the acknowledge counter closes a new
//    message (ACK, kept); one carrying the number already acknowledged is
//    a message the camera sent again because our ACK never reached it: the
//    same ACK goes again and the message is not kept;
//  - out of step: data or an EOT before the camera acknowledged this
//    request, an acknowledge carrying an earlier request's number, or an
//    already-acknowledged EOT before anything of this reply was kept, is
//    another request's answer: the line is run out and the request sent
//    once more; a request that changes the card is never sent twice, it
//    fails;
//  - running out: every EOT is acknowledged and its message dropped, a
//    message whose EOT was lost too, until a read timeout passes in quiet
//    (longer when the camera acknowledged this request meanwhile and its
//    answer has not begun), so that the camera owes nothing before
//    anything new is sent; a transfer given up is acknowledged to its end
//    the same way;
//  - silence: a read timeout after part of a message means its end was
//    lost (NACK); after our answer, that the answer was lost (sent again);
//    after a request the camera acknowledged, that the camera is slow or
//    its reply was lost: the request is never sent again, the camera is
//    waited for (a NACK fetches a lost reply); after a request nothing at
//    all answered, that it was lost: sent again, once.  The third read
//    timeout in a row ends the exchange; damaged frames are no progress
//    and do not interrupt that count;
//  - the line lost ends the exchange at once, nothing more sent.
#ifndef ORVIK_CAMERA_EXCHANGE_H
#define ORVIK_CAMERA_EXCHANGE_H

#include <cstdint>

#include "serial/codec.h"

constexpr int EXCHANGE_MAX_REPEATS = 32;   // NACKs in a row on one message
constexpr int EXCHANGE_MAX_SILENCES = 2;   // read timeouts in a row answered
constexpr int EXCHANGE_RUN_OUT_PACKETS = 65536;  // a camera repeating for ever

// The link's numbering, one record for the whole connection, kept by the
// engine alone.  This side numbers its EOTs with `eot_counter` (advanced by
// every EOT sent); the camera acknowledges with the same number.  The
// camera numbers its EOTs with what must equal `ack_counter`; this side
// answers with an ACK of that number, and the counter advances only for
// status 0 (a NACK asks for a repeat that carries the same number again).
struct LinkNumbering {
    uint8_t eot_counter;  // number of the next EOT this side sends
    uint8_t ack_counter;  // number of the camera's next EOT, and of our next ACK
    bool acked_before;    // an ACK 0 was sent since the reset: ack_counter - 1 was acknowledged
};

// The number of the EOT about to be sent; the counter advances.
uint8_t exchange_take_eot(LinkNumbering *num);
// The number of the ACK 0 about to be sent; the counter advances.
uint8_t exchange_take_ack(LinkNumbering *num);

enum ExchangeEventKind { EVENT_PACKET, EVENT_TIMEOUT, EVENT_LINE_LOST };
struct ExchangeEvent {
    ExchangeEventKind kind;
    Packet pkt;     // EVENT_PACKET
    bool damaged;   // EVENT_PACKET: failed its check, or a frame was lost before it
    bool remains;   // EVENT_TIMEOUT: part of a frame arrived, no whole one
};

enum ExchangeSend {
    SEND_NOTHING,
    SEND_ACK,       // PKT_ACK numbered `seq`, status 0 (the counter has advanced)
    SEND_ACK_AGAIN, // PKT_ACK numbered `seq`, status `status`; counters unchanged
    SEND_NACK,      // PKT_ACK numbered `seq` (the acknowledge counter), status NACK
    SEND_REQUEST,   // the request once more, its EOT(1) numbered `seq`
};

// What becomes of the message under way.
enum ExchangeMessage {
    MESSAGE_NONE,
    MESSAGE_PACKET,   // a data packet of it: hold it (`trusted`: no damage so far)
    MESSAGE_DROP,     // what is held of it is not kept
    MESSAGE_KEPT,     // it is whole and this request's: keep it
};

// The engine's reports, printed by camera_exchange (camera/message.h).
enum ExchangeNote {
    NOTE_NONE,
    NOTE_NO_ACK,    // "serial_get_packet() error waiting for ACK"
    NOTE_ACK_TYPE,  // "Received a packet type %d waiting for ACK" (got: the type)
    NOTE_OUT_OF_SEQUENCE,  // "Out of sequence ACK received, expected %d, got %d"
    NOTE_WAITING,   // "The camera has the request but has not answered: waiting longer"
};

struct ExchangeStep {
    ExchangeSend send;
    uint8_t seq, status;      // the frame's number (every send but SEND_NOTHING), its status
    ExchangeMessage message;
    bool trusted;             // MESSAGE_PACKET
    bool failed;              // the exchange is over without an answer (after `send`)
    bool damage;              // a NACK or a give-up caused by damaged frames
    ExchangeNote note;
    int expected, got;        // the note's numbers
};

enum ExchangePhase {
    PHASE_AWAIT_ACK,    // request sent, its acknowledge not yet here
    PHASE_REPLY,        // receiving the reply's messages
    PHASE_RUN_OUT,      // letting the camera finish, nothing kept
    PHASE_OVER,
};

struct ExchangeState {
    ExchangePhase phase;
    bool changes_card;    // never sent twice
    LinkNumbering *num;   // the connection's numbering
    uint8_t request_eot;  // number of the request's EOT last sent
    bool request_acked;   // the camera acknowledged the request's EOT
    bool heard;           // a frame (or part) since our last frame, the ACK aside
    bool answered;        // our last frame was an answer (ACK or NACK)
    uint8_t answer_seq, answer_status;
    bool damaged;         // the message under way is damaged
    bool kept_any;        // a message of this exchange was kept
    int silences;         // read timeouts in a row
    int repeats;          // NACKs in a row
    int resends;          // the request sent again after silence
    bool stale_resent;    // the request sent again after the ends were out of step
    bool resend_after_run_out;
    int run_out_packets;
    int run_out_nudges;   // ACKs sent in the run-out for an EOT the line lost
    bool owed;            // the run-out met the acknowledge of this request
    bool owed_heard;      // and something of the camera's since
    int owed_waits;       // read timeouts waited for that answer
    bool run_out_ack_again; // our last acknowledge sent again after quiet
};

// The state of a new exchange over the connection's numbering `num`: the
// request's EOT takes the next number (ex->request_eot), and the request is
// to be sent with it now.
void exchange_begin(ExchangeState *ex, bool changes_card, LinkNumbering *num);

// Takes one event and returns what to do: first the frame to send, then
// the message's fate.  After a step with `failed` the exchange is over
// (exchange_over); after MESSAGE_KEPT it is over when the consumer found
// that message the reply's last, and goes on otherwise.  Events after the
// end are ignored.
ExchangeStep exchange_feed(ExchangeState *ex, const ExchangeEvent &ev);

// The consumer found the kept messages break the protocol (or memory ran
// out): the camera is run out and the exchange fails.  Returns MESSAGE_DROP.
ExchangeStep exchange_abandon(ExchangeState *ex);

bool exchange_over(const ExchangeState *ex);

#endif

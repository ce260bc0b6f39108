// The exchange engine's rules (see camera/exchange.h).
#include "camera/exchange.h"

namespace {

ExchangeStep step_of(ExchangeSend send, ExchangeMessage message = MESSAGE_NONE)
{
    ExchangeStep s{};
    s.send = send;
    s.message = message;
    return s;
}

void note(ExchangeStep *s, ExchangeNote what, int expected, int got)
{
    s->note = what;
    s->expected = expected;
    s->got = got;
}

ExchangeStep fail(ExchangeState *ex, ExchangeStep s)
{
    ex->phase = PHASE_OVER;
    s.failed = true;
    if (s.message == MESSAGE_NONE)
        s.message = MESSAGE_DROP;
    return s;
}

// Our answer to a camera's EOT, remembered for sending it again.
ExchangeStep answer(ExchangeState *ex, ExchangeStep s)
{
    ex->heard = false;
    ex->answered = true;
    ex->damaged = false;
    if (s.send == SEND_ACK) {
        s.seq = exchange_take_ack(ex->num);
        s.status = 0;
        ex->answer_seq = s.seq;
        ex->answer_status = 0;
    } else if (s.send == SEND_NACK) {
        s.seq = ex->num->ack_counter;
        s.status = NACK;
        ex->answer_seq = s.seq;
        ex->answer_status = NACK;
    } else {
        ex->answer_seq = s.seq;
        ex->answer_status = s.status;
    }
    return s;
}

ExchangeStep ack_again(ExchangeState *ex, uint8_t seq, ExchangeMessage message)
{
    ExchangeStep s = step_of(SEND_ACK_AGAIN, message);
    s.seq = seq;
    s.status = 0;
    return answer(ex, s);
}

bool already_acknowledged(const ExchangeState *ex, uint8_t seq)
{
    return ex->num->acked_before && seq == static_cast<uint8_t>(ex->num->ack_counter - 1);
}

// An EOT met while running out: answered, nothing kept.  A damaged number
// is no number: that EOT is answered as the next.
ExchangeStep run_out_eot(ExchangeState *ex, const ExchangeEvent &ev)
{
    if (!ev.damaged && already_acknowledged(ex, ev.pkt.seq))
        return ack_again(ex, ev.pkt.seq, MESSAGE_NONE);
    return answer(ex, step_of(SEND_ACK));
}

// The two ends are out of step, or the exchange is given up: the camera
// finishes what it sends, then the request goes once more (or fails).
ExchangeStep start_run_out(ExchangeState *ex, ExchangeStep s, bool resend)
{
    ex->phase = PHASE_RUN_OUT;
    ex->resend_after_run_out = resend && !ex->changes_card && !ex->stale_resent;
    ex->run_out_packets = 0;
    ex->run_out_nudges = 0;
    ex->owed = false;
    ex->owed_heard = false;
    ex->owed_waits = 0;
    ex->run_out_ack_again = false;
    ex->heard = false;
    ex->silences = 0;
    s.message = MESSAGE_DROP;
    return s;
}

ExchangeStep send_request(ExchangeState *ex)
{
    ex->phase = PHASE_AWAIT_ACK;
    ex->request_eot = exchange_take_eot(ex->num);
    ex->request_acked = false;
    ex->heard = false;
    ex->answered = false;
    ex->damaged = false;
    ex->repeats = 0;
    ExchangeStep s = step_of(SEND_REQUEST, MESSAGE_DROP);
    s.seq = ex->request_eot;
    s.status = 1;
    return s;
}

ExchangeStep run_out_feed(ExchangeState *ex, const ExchangeEvent &ev)
{
    if (ev.kind == EVENT_TIMEOUT) {
        if (ex->owed && !ex->owed_heard && ex->owed_waits < EXCHANGE_MAX_SILENCES) {
            // The camera acknowledged this request while it finished
            // something else: its answer is still to come (a slow camera
            // may take longer than a read timeout), and it is absorbed
            // too before the request goes again.
            ex->owed_waits++;
            return step_of(SEND_NOTHING);
        }
        if (ex->heard && ex->run_out_nudges < EXCHANGE_MAX_SILENCES) {
            // Part of a message and then quiet: its EOT was lost, and a
            // patient camera waits for the answer.  It is acknowledged,
            // so that the camera finishes instead of keeping the message.
            ex->run_out_nudges++;
            return answer(ex, step_of(SEND_ACK));
        }
        if (ex->answered && ex->answer_status == 0 && !ex->run_out_ack_again) {
            // Quiet after our acknowledge: it may have been lost, and a
            // camera waiting for it keeps its transfer open (and would
            // send it on into the next exchange).  It goes once more.
            ex->run_out_ack_again = true;
            ExchangeStep again = step_of(SEND_ACK_AGAIN);
            again.seq = ex->answer_seq;
            again.status = 0;
            return answer(ex, again);
        }
        if (!ex->resend_after_run_out)
            return fail(ex, step_of(SEND_NOTHING));
        ex->stale_resent = true;
        return send_request(ex);
    }
    if (++ex->run_out_packets > EXCHANGE_RUN_OUT_PACKETS)
        return fail(ex, step_of(SEND_NOTHING));
    if (ev.pkt.type == PKT_ACK) {
        if (!ev.damaged && ev.pkt.seq == ex->request_eot && !ex->owed) {
            ex->owed = true;
            ex->owed_heard = false;
        }
        return step_of(SEND_NOTHING);
    }
    ex->owed_heard = ex->owed_heard || ex->owed;
    if (ev.pkt.type == PKT_EOT)
        return run_out_eot(ex, ev);
    ex->heard = ex->heard || (serial_is_data_packet(ev.pkt) && !ev.damaged);
    return step_of(SEND_NOTHING);
}

// A damaged message, or one whose end was lost: NACK, or give up.
ExchangeStep nack(ExchangeState *ex)
{
    ExchangeStep s = step_of(SEND_NACK, MESSAGE_DROP);
    s.damage = true;
    if (++ex->repeats > EXCHANGE_MAX_REPEATS) {
        // Given up: the message is acknowledged (and dropped) so that the
        // camera goes on to the end of its transfer instead of keeping it
        // for the next request; the run-out acknowledges the rest.
        s.send = SEND_ACK;
        return start_run_out(ex, answer(ex, s), false);
    }
    return answer(ex, s);
}

// The camera's EOT closing a message of the reply.
ExchangeStep reply_eot(ExchangeState *ex, const ExchangeEvent &ev)
{
    const uint8_t seq = ev.pkt.seq;
    if (ev.damaged || ex->damaged)
        return nack(ex);
    ExchangeStep s{};
    if (seq != ex->num->ack_counter)
        note(&s, NOTE_OUT_OF_SEQUENCE, ex->num->ack_counter, seq);
    if (already_acknowledged(ex, seq)) {
        // Sent again by a camera our ACK never reached.  Before anything of
        // this exchange was kept it is an earlier request's answer.
        ExchangeStep again = ack_again(ex, seq, MESSAGE_DROP);
        again.note = s.note;
        again.expected = s.expected;
        again.got = s.got;
        if (!ex->kept_any)
            return start_run_out(ex, again, true);
        // No progress either: a camera repeating for ever is given up.
        return ++ex->repeats > EXCHANGE_MAX_REPEATS ? start_run_out(ex, again, false) : again;
    }
    // Any other number is the camera's own numbering fault: the message is
    // whole, and answered as the next.
    s.send = SEND_ACK;
    s.message = MESSAGE_KEPT;
    ex->kept_any = true;
    ex->repeats = 0;
    return answer(ex, s);
}

// An acknowledge of one of our EOTs: the request's (perhaps late), an
// earlier request's (the camera answering out of step), or a stray one.
ExchangeStep request_ack(ExchangeState *ex, const ExchangeEvent &ev)
{
    const uint8_t seq = ev.pkt.seq;
    const uint8_t behind = static_cast<uint8_t>(ex->request_eot - seq);
    ExchangeStep s = step_of(SEND_NOTHING);
    if (seq == ex->request_eot || ev.damaged) {
        if (ex->phase == PHASE_AWAIT_ACK && seq != ex->request_eot)
            note(&s, NOTE_OUT_OF_SEQUENCE, ex->request_eot, seq);
        // The acknowledge closes our transmission: what came before it
        // was not the reply.
        if (!ex->request_acked && !ex->answered)
            ex->heard = false;
        ex->request_acked = true;
        ex->phase = PHASE_REPLY;
        return s;
    }
    note(&s, NOTE_OUT_OF_SEQUENCE, ex->request_eot, seq);
    if (behind > 0 && behind < 128)
        return start_run_out(ex, s, true);
    // A number ahead of ours is the camera's numbering fault.
    ex->request_acked = true;
    ex->phase = PHASE_REPLY;
    return s;
}

ExchangeStep packet_feed(ExchangeState *ex, const ExchangeEvent &ev)
{
    const Packet &pkt = ev.pkt;
    // Progress, not bytes: only a frame that passed its check keeps the
    // exchange from its silences.
    if (!ev.damaged)
        ex->silences = 0;
    if (pkt.type == PKT_ACK)
        return request_ack(ex, ev);
    ExchangeStep s = step_of(SEND_NOTHING);
    if (ex->phase == PHASE_AWAIT_ACK) {
        // Where the acknowledge belongs.  Data or an EOT before the camera
        // acknowledged this request is never its reply (an earlier
        // request's answer, or a message sent again by a camera that took
        // the request for an answer): the camera is run out, acknowledged
        // to the end, and the request asked once more.
        note(&s, NOTE_ACK_TYPE, PKT_ACK, pkt.type);
        if (pkt.type != PKT_EOT && !serial_is_data_packet(pkt))
            return s;
        s = start_run_out(ex, s, true);
        if (pkt.type != PKT_EOT)
            return s;
        ExchangeStep e = run_out_eot(ex, ev);
        e.message = MESSAGE_DROP;
        note(&e, s.note, s.expected, s.got);
        return e;
    }
    if (pkt.type == PKT_EOT)
        return reply_eot(ex, ev);
    // A damaged packet of any other type may be a data packet whose type
    // byte the line changed: the message is not whole either way.
    ex->heard = true;
    if (ev.damaged)
        ex->damaged = true;
    if (!serial_is_data_packet(pkt))
        return s;
    s.message = MESSAGE_PACKET;
    s.trusted = !ex->damaged;
    return s;
}

// A read timeout before the camera acknowledged the request.  The
// acknowledge may still come, before the reply: a late camera sends both;
// nothing is taken for the reply until it has come.  A second timeout
// means the request (or its EOT) was lost: it goes once more.  A
// card-changing request is not sent again: a NACK has the camera send its
// reply again, should only the acknowledge have been lost.
ExchangeStep silence_before_ack(ExchangeState *ex, ExchangeStep s)
{
    if (ex->silences == 1) {
        note(&s, NOTE_NO_ACK, 0, 0);
        return s;
    }
    if (ex->changes_card && !ex->answered) {
        s.send = SEND_NACK;
        return answer(ex, s);
    }
    if (ex->resends > 0 || ex->changes_card)
        return fail(ex, s);
    ex->resends++;
    return send_request(ex);
}

// A read timeout within the reply: which side's frame was lost.
ExchangeStep silence(ExchangeState *ex, const ExchangeEvent &ev)
{
    ExchangeStep s = step_of(SEND_NOTHING);
    ex->heard = ex->heard || ev.remains;
    if (++ex->silences > EXCHANGE_MAX_SILENCES) {
        if (ex->phase == PHASE_AWAIT_ACK) {
            note(&s, NOTE_NO_ACK, 0, 0);
            return fail(ex, s);
        }
        // Given up on a request the camera has: what it still sends is
        // absorbed before anything else is asked, nothing sent meanwhile
        // unless the camera sends something.
        return start_run_out(ex, s, false);
    }
    if (ex->phase == PHASE_AWAIT_ACK)
        return silence_before_ack(ex, s);
    if (ex->heard || ex->damaged)
        return nack(ex);
    if (ex->answered) {
        s.send = SEND_ACK_AGAIN;
        s.seq = ex->answer_seq;
        s.status = ex->answer_status;
        return answer(ex, s);
    }
    // The camera acknowledged the request: it has it (or may have carried
    // it out), so it is never sent again, and at most one request is owed
    // an answer.  The camera is waited for longer, and a NACK has it send
    // again a reply the line lost without a trace (one still busy ignores
    // it).
    if (!ex->changes_card)
        note(&s, NOTE_WAITING, 0, 0);
    s.send = SEND_NACK;
    return answer(ex, s);
}

}  // namespace

uint8_t exchange_take_eot(LinkNumbering *num)
{
    return num->eot_counter++;
}

uint8_t exchange_take_ack(LinkNumbering *num)
{
    num->acked_before = true;
    return num->ack_counter++;
}

void exchange_begin(ExchangeState *ex, bool changes_card, LinkNumbering *num)
{
    *ex = ExchangeState{};
    ex->phase = PHASE_AWAIT_ACK;
    ex->changes_card = changes_card;
    ex->num = num;
    ex->request_eot = exchange_take_eot(num);
}

ExchangeStep exchange_feed(ExchangeState *ex, const ExchangeEvent &ev)
{
    if (ex->phase == PHASE_OVER)
        return step_of(SEND_NOTHING);
    if (ev.kind == EVENT_LINE_LOST)
        return fail(ex, step_of(SEND_NOTHING));
    if (ex->phase == PHASE_RUN_OUT)
        return run_out_feed(ex, ev);
    if (ev.kind == EVENT_TIMEOUT)
        return silence(ex, ev);
    return packet_feed(ex, ev);
}

ExchangeStep exchange_abandon(ExchangeState *ex)
{
    return start_run_out(ex, step_of(SEND_NOTHING), false);
}

bool exchange_over(const ExchangeState *ex)
{
    return ex->phase == PHASE_OVER;
}

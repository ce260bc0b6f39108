// The exchange engine's rules, fed events without a terminal.
#include <gtest/gtest.h>

#include "camera/exchange.h"

namespace {

// An exchange whose request went out with EOT number 5; the camera's next
// EOT is expected as 9 (8 was acknowledged last).
struct ExchangeTest : testing::Test {
    ExchangeState ex{};
    LinkNumbering num{};
    uint8_t reply_byte = 0x42;
    void begin(bool changes_card = false)
    {
        num = LinkNumbering{5, 9, true};
        exchange_begin(&ex, changes_card, &num);
    }
    void SetUp() override { begin(); }

    ExchangeStep packet(uint8_t type, uint8_t seq, bool damaged = false)
    {
        Packet p{};
        p.type = type;
        p.seq = seq;
        p.crc_ok = !damaged;
        if (type == PKT_MSG) {
            p.length = 1;
            p.data = &reply_byte;
        }
        return exchange_feed(&ex, ExchangeEvent{EVENT_PACKET, p, damaged, false});
    }
    ExchangeStep ack(uint8_t seq) { return packet(PKT_ACK, seq); }
    ExchangeStep data(bool damaged = false) { return packet(PKT_MSG, 0, damaged); }
    ExchangeStep eot(uint8_t seq, bool damaged = false) { return packet(PKT_EOT, seq, damaged); }
    ExchangeStep timeout(bool remains = false)
    {
        return exchange_feed(&ex, ExchangeEvent{EVENT_TIMEOUT, Packet{}, false, remains});
    }
};

TEST_F(ExchangeTest, CleanReplyIsKeptAndAcknowledged)
{
    EXPECT_EQ(ack(5).send, SEND_NOTHING);
    const ExchangeStep d = data();
    EXPECT_EQ(d.message, MESSAGE_PACKET);
    EXPECT_TRUE(d.trusted);
    const ExchangeStep e = eot(9);
    EXPECT_EQ(e.send, SEND_ACK);
    EXPECT_EQ(e.message, MESSAGE_KEPT);
    EXPECT_EQ(e.note, NOTE_NONE);
    EXPECT_EQ(num.ack_counter, 10);
    // A damaged packet of an unknown type is a message's damage too.
    data();
    packet(9, 0, true);
    EXPECT_EQ(eot(10).send, SEND_NACK);
}

TEST_F(ExchangeTest, ReplyDamagedOnEveryRepeatFailsAndCountsAsDamage)
{
    ack(5);
    for (int i = 0; i < EXCHANGE_MAX_REPEATS; i++) {
        EXPECT_FALSE(data(true).trusted);
        const ExchangeStep e = eot(9);
        ASSERT_EQ(e.send, SEND_NACK) << i;
        EXPECT_EQ(e.message, MESSAGE_DROP);
        EXPECT_TRUE(e.damage);
    }
    data(true);
    const ExchangeStep last = eot(9);
    EXPECT_EQ(last.message, MESSAGE_DROP);
    EXPECT_TRUE(last.damage);
    // Given up, the message is acknowledged so that the camera finishes
    // instead of keeping it for the next request; the rest of the transfer
    // is acknowledged and dropped; nothing is asked for again.
    EXPECT_EQ(last.send, SEND_ACK);
    EXPECT_EQ(num.ack_counter, 10);
    EXPECT_EQ(ex.phase, PHASE_RUN_OUT);
    EXPECT_EQ(data().message, MESSAGE_NONE);
    const ExchangeStep next = eot(10);
    EXPECT_EQ(next.send, SEND_ACK);
    EXPECT_EQ(next.message, MESSAGE_NONE);
    // Quiet after our last acknowledge: it goes once more, numbered as
    // before, in case the camera never got it and holds its transfer open.
    const ExchangeStep again = timeout();
    EXPECT_EQ(again.send, SEND_ACK_AGAIN);
    EXPECT_EQ(again.seq, 10);
    EXPECT_EQ(again.status, 0);
    const ExchangeStep end = timeout();
    EXPECT_TRUE(end.failed);
    EXPECT_EQ(end.send, SEND_NOTHING);
    EXPECT_EQ(num.ack_counter, 11);
}

TEST_F(ExchangeTest, RunOutAcknowledgesAMessageWhoseEotWasLost)
{
    // A patient camera waits for the answer to an EOT the line lost: the
    // run-out acknowledges it rather than leave the camera owed.
    exchange_abandon(&ex);
    data();
    const ExchangeStep nudge = timeout();
    EXPECT_EQ(nudge.send, SEND_ACK);
    EXPECT_FALSE(nudge.failed);
    EXPECT_EQ(num.ack_counter, 10);
    EXPECT_EQ(timeout().send, SEND_ACK_AGAIN);
    EXPECT_TRUE(timeout().failed);
}

TEST_F(ExchangeTest, DamagedFramesAreNoProgress)
{
    // A babbling line: silences are counted however many damaged frames
    // arrive between them.
    ack(5);
    EXPECT_EQ(timeout(true).send, SEND_NACK);
    data(true);
    EXPECT_EQ(timeout(true).send, SEND_NACK);
    data(true);
    // Given up on a request the camera has, the run-out ends at the next
    // timeout: garbage is nothing to acknowledge.
    EXPECT_EQ(timeout(true).send, SEND_NOTHING);
    EXPECT_EQ(ex.phase, PHASE_RUN_OUT);
    data(true);
    EXPECT_TRUE(timeout(true).failed);
}

TEST_F(ExchangeTest, LateAcknowledgeAndReplyAreThisRequests)
{
    const ExchangeStep t = timeout();
    EXPECT_EQ(t.note, NOTE_NO_ACK);
    EXPECT_EQ(t.send, SEND_NOTHING);
    EXPECT_EQ(ack(5).note, NOTE_NONE);
    data();
    const ExchangeStep e = eot(9);
    EXPECT_EQ(e.message, MESSAGE_KEPT);
    EXPECT_FALSE(e.damage);
}

TEST_F(ExchangeTest, EarlierRequestsAnswerRunsOutAndAsksOnce)
{
    // The camera answers the request sent before the repeat: its ACK
    // carries the earlier number.
    timeout();
    EXPECT_EQ(timeout().send, SEND_REQUEST);
    EXPECT_EQ(ex.request_eot, 6);
    const ExchangeStep stale = ack(5);
    EXPECT_EQ(stale.note, NOTE_OUT_OF_SEQUENCE);
    EXPECT_EQ(ex.phase, PHASE_RUN_OUT);
    // Running out: its reply is not kept, every EOT answered.
    EXPECT_EQ(data().message, MESSAGE_NONE);
    EXPECT_EQ(eot(9).send, SEND_ACK);
    ack(6);
    data();
    const ExchangeStep again = eot(9);
    EXPECT_EQ(again.send, SEND_ACK_AGAIN);
    EXPECT_EQ(again.seq, 9);
    EXPECT_EQ(timeout().send, SEND_ACK_AGAIN);
    EXPECT_EQ(timeout().send, SEND_REQUEST);
    EXPECT_EQ(ex.request_eot, 7);
    ack(7);
    data();
    EXPECT_EQ(eot(10).message, MESSAGE_KEPT);

    // Out of step a second time: no more requests, the exchange fails.
    begin();
    ack(4);
    EXPECT_EQ(timeout().send, SEND_REQUEST);
    ack(4);
    EXPECT_TRUE(timeout().failed);
}

TEST_F(ExchangeTest, ReplyClosedByAnAcknowledgedEotIsStale)
{
    // Before anything of this exchange was kept, an EOT numbered as the
    // last acknowledge closes an earlier reply sent again.
    ack(5);
    data();
    const ExchangeStep e = eot(8);
    EXPECT_EQ(e.send, SEND_ACK_AGAIN);
    EXPECT_EQ(e.seq, 8);
    EXPECT_EQ(e.message, MESSAGE_DROP);
    EXPECT_EQ(e.note, NOTE_OUT_OF_SEQUENCE);
    EXPECT_EQ(timeout().send, SEND_ACK_AGAIN);
    EXPECT_EQ(timeout().send, SEND_REQUEST);

    // A card-changing request is never sent twice.
    begin(true);
    ack(5);
    data();
    eot(8);
    EXPECT_EQ(timeout().send, SEND_ACK_AGAIN);
    const ExchangeStep end = timeout();
    EXPECT_TRUE(end.failed);
    EXPECT_EQ(end.send, SEND_NOTHING);
}

TEST_F(ExchangeTest, NumberAheadIsTheCamerasNumberingFault)
{
    EXPECT_EQ(ack(6).note, NOTE_OUT_OF_SEQUENCE);
    data();
    const ExchangeStep e = eot(11);
    EXPECT_EQ(e.note, NOTE_OUT_OF_SEQUENCE);
    EXPECT_EQ(e.message, MESSAGE_KEPT);
    EXPECT_EQ(e.send, SEND_ACK);
}

TEST_F(ExchangeTest, SilenceTellsWhoseFrameWasLost)
{
    // Part of the message, then nothing: its end was lost.
    ack(5);
    data();
    const ExchangeStep lost_end = timeout();
    EXPECT_EQ(lost_end.send, SEND_NACK);
    EXPECT_TRUE(lost_end.damage);
    // Nothing after our NACK: the NACK was lost, and goes again.
    const ExchangeStep answer = timeout();
    EXPECT_EQ(answer.send, SEND_ACK_AGAIN);
    EXPECT_EQ(answer.seq, 9);
    EXPECT_EQ(answer.status, NACK);
    EXPECT_FALSE(answer.damage);
    // The third timeout in a row gives it up; what the camera may still
    // send is absorbed for one more, then it ends.
    EXPECT_EQ(timeout().send, SEND_NOTHING);
    EXPECT_TRUE(timeout().failed);

    // Remains of a frame count as part of a message.
    begin();
    ack(5);
    EXPECT_EQ(timeout(true).send, SEND_NACK);
}

TEST_F(ExchangeTest, AcknowledgedRequestIsNeverSentAgain)
{
    // Acknowledged, but no reply yet (a slow camera): the request is not
    // sent again, so that only one request is ever owed an answer.  The
    // camera is waited for longer, said so once; a NACK fetches a reply
    // the line lost; a late reply is this request's.
    ack(5);
    const ExchangeStep wait = timeout();
    EXPECT_EQ(wait.send, SEND_NACK);
    EXPECT_EQ(wait.note, NOTE_WAITING);
    EXPECT_FALSE(wait.damage);
    data();
    EXPECT_EQ(eot(9).message, MESSAGE_KEPT);

    // No reply at all: given up after the silences, never asked again.
    begin();
    ack(5);
    EXPECT_EQ(timeout().send, SEND_NACK);
    const ExchangeStep again = timeout();
    EXPECT_EQ(again.send, SEND_ACK_AGAIN);
    EXPECT_EQ(again.status, NACK);
    EXPECT_EQ(again.note, NOTE_NONE);
    // Given up, what the camera still sends is absorbed before the
    // exchange ends: a late answer acknowledged and dropped.
    const ExchangeStep give_up = timeout();
    EXPECT_FALSE(give_up.failed);
    EXPECT_EQ(give_up.send, SEND_NOTHING);
    EXPECT_EQ(ex.phase, PHASE_RUN_OUT);
    EXPECT_EQ(data().message, MESSAGE_NONE);
    EXPECT_EQ(eot(9).send, SEND_ACK);
    EXPECT_EQ(timeout().send, SEND_ACK_AGAIN);
    const ExchangeStep end = timeout();
    EXPECT_TRUE(end.failed);
    EXPECT_EQ(end.send, SEND_NOTHING);

}

TEST_F(ExchangeTest, RequestNeverAcknowledgedIsSentOnce)
{
    // A camera that answers nothing at all: one repeat, three timeouts.
    EXPECT_EQ(timeout().note, NOTE_NO_ACK);
    EXPECT_EQ(timeout().send, SEND_REQUEST);
    const ExchangeStep end = timeout();
    EXPECT_TRUE(end.failed);
    EXPECT_FALSE(end.damage);

    // A card-changing request is not sent again: a NACK fetches its reply.
    begin(true);
    ack(5);
    EXPECT_EQ(timeout().send, SEND_NACK);
}

TEST_F(ExchangeTest, LineLostEndsAtOnce)
{
    ack(5);
    data();
    const ExchangeStep s = exchange_feed(&ex, ExchangeEvent{EVENT_LINE_LOST, Packet{}, false, false});
    EXPECT_TRUE(s.failed);
    EXPECT_EQ(s.send, SEND_NOTHING);
    EXPECT_FALSE(s.damage);
    EXPECT_TRUE(exchange_over(&ex));
}

TEST_F(ExchangeTest, DataBeforeTheAcknowledgeIsNeverTheReply)
{
    // Another request's answer, or a message sent again by a camera that
    // took the request for an answer: the camera is run out (its EOTs
    // acknowledged, nothing kept), then the request is asked once more.
    const ExchangeStep d = data();
    EXPECT_EQ(d.note, NOTE_ACK_TYPE);
    EXPECT_EQ(d.got, PKT_MSG);
    EXPECT_EQ(d.message, MESSAGE_DROP);
    EXPECT_EQ(ex.phase, PHASE_RUN_OUT);
    const ExchangeStep e = eot(9);
    EXPECT_EQ(e.send, SEND_ACK);
    EXPECT_EQ(e.message, MESSAGE_NONE);
    // This request's acknowledge (a patient camera's answer to the bare
    // EOT of a request it took for an answer): its answer is waited for,
    // and when none comes the request goes once more.
    EXPECT_EQ(ack(5).message, MESSAGE_NONE);
    EXPECT_EQ(timeout().send, SEND_NOTHING);
    EXPECT_EQ(timeout().send, SEND_NOTHING);
    EXPECT_EQ(timeout().send, SEND_ACK_AGAIN);
    EXPECT_EQ(timeout().send, SEND_REQUEST);
    ack(6);
    data();
    EXPECT_EQ(eot(10).message, MESSAGE_KEPT);

    // The same after a read timeout: a camera whose acknowledge the line
    // lost may still owe a later request's answer, so nothing is taken
    // for this request's reply before its acknowledge.
    begin();
    EXPECT_EQ(timeout().note, NOTE_NO_ACK);
    EXPECT_EQ(data().message, MESSAGE_DROP);
    EXPECT_EQ(ex.phase, PHASE_RUN_OUT);

    // The camera acknowledges this request while it finishes the other
    // answer: its own answer is absorbed too (however slow) before the
    // request goes again.
    begin();
    data();
    eot(9);
    ack(5);
    EXPECT_EQ(timeout().send, SEND_NOTHING);
    EXPECT_EQ(timeout().send, SEND_NOTHING);
    data();
    EXPECT_EQ(eot(10).send, SEND_ACK);
    EXPECT_EQ(timeout().send, SEND_ACK_AGAIN);
    EXPECT_EQ(timeout().send, SEND_REQUEST);

    // An EOT alone, where the acknowledge belongs: the same.
    begin();
    const ExchangeStep alone = eot(8);
    EXPECT_EQ(alone.note, NOTE_ACK_TYPE);
    EXPECT_EQ(alone.send, SEND_ACK_AGAIN);
    EXPECT_EQ(alone.message, MESSAGE_DROP);
    EXPECT_EQ(timeout().send, SEND_ACK_AGAIN);
    EXPECT_EQ(timeout().send, SEND_REQUEST);

    // A card-changing request fails instead.
    begin(true);
    data();
    eot(9);
    EXPECT_EQ(timeout().send, SEND_ACK_AGAIN);
    EXPECT_TRUE(timeout().failed);
}

}  // namespace

namespace {

TEST_F(ExchangeTest, NumberingIsTheEnginesAlone)
{
    // The request's EOT takes the EOT counter, which wraps at 255; an ACK 0
    // takes the acknowledge counter; a NACK and an answer sent again leave
    // both where they are.
    num = LinkNumbering{255, 0, false};
    exchange_begin(&ex, false, &num);
    EXPECT_EQ(ex.request_eot, 255);
    EXPECT_EQ(num.eot_counter, 0);
    EXPECT_EQ(ack(255).note, NOTE_NONE);
    data(true);
    const ExchangeStep n = eot(0);
    EXPECT_EQ(n.send, SEND_NACK);
    EXPECT_EQ(n.seq, 0);
    EXPECT_EQ(n.status, NACK);
    EXPECT_EQ(num.ack_counter, 0);
    EXPECT_FALSE(num.acked_before);
    data();
    const ExchangeStep a = eot(0);
    EXPECT_EQ(a.send, SEND_ACK);
    EXPECT_EQ(a.seq, 0);
    EXPECT_EQ(num.ack_counter, 1);
    EXPECT_TRUE(num.acked_before);
    // The next exchange starts where this one left the numbering.
    exchange_begin(&ex, false, &num);
    EXPECT_EQ(ex.request_eot, 0);
    const ExchangeStep resent = timeout();
    EXPECT_EQ(resent.note, NOTE_NO_ACK);
    const ExchangeStep r = timeout();
    EXPECT_EQ(r.send, SEND_REQUEST);
    EXPECT_EQ(r.seq, 1);
    EXPECT_EQ(num.eot_counter, 2);
}

TEST_F(ExchangeTest, ReportsWhatArrivedWhereTheAcknowledgeBelongs)
{
    // A wrong number, another type, nothing at all: each reported once, as
    // the Part's waits print them.
    const ExchangeStep ahead = ack(7);
    EXPECT_EQ(ahead.note, NOTE_OUT_OF_SEQUENCE);
    EXPECT_EQ(ahead.expected, 5);
    EXPECT_EQ(ahead.got, 7);
    begin();
    const ExchangeStep type = eot(9);
    EXPECT_EQ(type.note, NOTE_ACK_TYPE);
    EXPECT_EQ(type.got, PKT_EOT);
    begin();
    EXPECT_EQ(timeout().note, NOTE_NO_ACK);
    // A damaged acknowledge is the request's whatever its number says.
    begin();
    EXPECT_EQ(packet(PKT_ACK, 3, true).note, NOTE_OUT_OF_SEQUENCE);
    EXPECT_EQ(ex.phase, PHASE_REPLY);
}

}  // namespace

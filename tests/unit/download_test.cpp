// The download's file state driven by the exchange engine, as
// camera_download composes them, fed crafted packets; and the progress bar.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "camera/exchange.h"
#include "files/download.h"

namespace {

// Keeps the bytes every Packet points to alive for the whole test.
struct Line {
    std::deque<std::vector<uint8_t>> store;

    Packet header(uint32_t total, const std::vector<uint8_t> &file_bytes, uint8_t status = 0,
                  bool crc_ok = true)
    {
        std::vector<uint8_t> d(36, 0);
        d[16] = status;
        d[20] = static_cast<uint8_t>(total);
        d[21] = static_cast<uint8_t>(total >> 8);
        d[22] = static_cast<uint8_t>(total >> 16);
        d[23] = static_cast<uint8_t>(total >> 24);
        d.insert(d.end(), file_bytes.begin(), file_bytes.end());
        return data(0, d, crc_ok);
    }
    Packet data(uint8_t seq, const std::vector<uint8_t> &bytes, bool crc_ok = true)
    {
        store.push_back(bytes);
        Packet p{};
        p.seq = seq;
        p.type = PKT_MSG;
        p.length = static_cast<uint16_t>(store.back().size());
        p.data = store.back().data();
        p.crc_ok = crc_ok;
        return p;
    }
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

// What the line gets after a packet: nothing yet, an answer, or the end.
enum Outcome { GO, ACK, NACK, ACK_AGAIN, DONE, EMPTY, REFUSED, FAILED, RUN_OUT };

struct DownloadTest : testing::Test {
    ExchangeState ex{};
    LinkNumbering num{};
    DownloadState st{};
    Line line;
    void SetUp() override { begin(); }
    void TearDown() override { download_end(&st); }
    // A new download whose request's EOT (number 0) was acknowledged.
    void begin()
    {
        download_end(&st);
        download_begin(&st);
        num = LinkNumbering{};
        exchange_begin(&ex, false, &num);
        Packet ack{};
        ack.type = PKT_ACK;
        ack.crc_ok = 1;
        exchange_feed(&ex, ExchangeEvent{EVENT_PACKET, ack, false, false});
    }
    // The camera's EOT, numbered as the engine expects unless `seq` says.
    Packet eot(bool crc_ok = true, int seq = -1) const
    {
        Packet p{};
        p.type = PKT_EOT;
        p.seq = static_cast<uint8_t>(seq >= 0 ? seq : num.ack_counter);
        p.crc_ok = crc_ok;
        return p;
    }
    Outcome feed(const Packet &p)
    {
        return apply(exchange_feed(&ex, ExchangeEvent{EVENT_PACKET, p, !p.crc_ok, false}), p);
    }
    Outcome apply(const ExchangeStep &s, const Packet &p)
    {
        if (s.message == MESSAGE_PACKET && download_feed(&st, &p, s.trusted) != DL_CONTINUE)
            return apply(exchange_abandon(&ex), p);
        if (s.message == MESSAGE_DROP)
            download_drop(&st);
        if (s.failed || (ex.phase == PHASE_RUN_OUT && !ex.resend_after_run_out)) {
            download_end(&st);
            return FAILED;
        }
        if (ex.phase == PHASE_RUN_OUT)
            return RUN_OUT;
        if (s.message == MESSAGE_KEPT) {
            switch (download_message_kept(&st)) {
            case DL_MORE: return ACK;
            case DL_DONE: return DONE;
            case DL_EMPTY: return EMPTY;
            case DL_REFUSED: return REFUSED;
            default: return apply(exchange_abandon(&ex), p);
            }
        }
        return s.send == SEND_NACK ? NACK : s.send == SEND_ACK_AGAIN ? ACK_AGAIN : GO;
    }
    std::vector<uint8_t> result() const
    {
        return std::vector<uint8_t>(st.buffer, st.buffer + st.received);
    }
};

TEST_F(DownloadTest, OneMessage)
{
    auto file = pattern(2500, 1);
    std::vector<uint8_t> a(file.begin(), file.begin() + 980), b(file.begin() + 980, file.begin() + 1996),
        c(file.begin() + 1996, file.end());
    EXPECT_EQ(feed(line.header(2500, a)), GO);
    ASSERT_NE(st.buffer, nullptr);
    EXPECT_EQ(st.total, 2500u);
    EXPECT_EQ(feed(line.data(1, b)), GO);
    EXPECT_EQ(feed(line.data(2, c)), GO);
    EXPECT_EQ(feed(eot()), DONE);
    EXPECT_EQ(result(), file);
}

TEST_F(DownloadTest, DamagedPacketInSecondOfThreeMessagesIsRepeated)
{
    auto file = pattern(3000, 9);
    auto part = [&](size_t from, size_t to) {
        return std::vector<uint8_t>(file.begin() + static_cast<long>(from), file.begin() + static_cast<long>(to));
    };
    // Message 1: bytes 0..1000.
    EXPECT_EQ(feed(line.header(3000, part(0, 600))), GO);
    EXPECT_EQ(feed(line.data(1, part(600, 1000))), GO);
    EXPECT_EQ(feed(eot()), ACK);
    EXPECT_EQ(st.checkpoint, 1000u);
    // Message 2, its second packet garbled on the line.
    EXPECT_EQ(feed(line.header(3000, part(1000, 1500))), GO);
    auto garbled = part(1500, 2000);
    garbled[10] ^= 0xFF;
    EXPECT_EQ(feed(line.data(1, garbled, false)), GO);
    EXPECT_EQ(feed(eot()), NACK);
    EXPECT_EQ(st.received, 1000u);
    // The repeat, then message 3.
    EXPECT_EQ(feed(line.header(3000, part(1000, 1500))), GO);
    EXPECT_EQ(feed(line.data(1, part(1500, 2000))), GO);
    EXPECT_EQ(feed(eot()), ACK);
    EXPECT_EQ(feed(line.header(3000, part(2000, 3000))), GO);
    EXPECT_EQ(feed(eot()), DONE);
    EXPECT_EQ(result(), file);
}

TEST_F(DownloadTest, MessageSentAgainAfterALostAckIsNotStoredTwice)
{
    // The camera never got the ACK of message 1 and sends it again on its
    // own, its EOT numbered as already acknowledged: acknowledged again
    // with that number, its bytes not counted as the file's next ones.
    auto file = pattern(200, 4);
    std::vector<uint8_t> a(file.begin(), file.begin() + 100), b(file.begin() + 100, file.end());
    EXPECT_EQ(feed(line.header(200, a)), GO);
    EXPECT_EQ(feed(eot()), ACK);
    EXPECT_EQ(feed(line.header(200, a)), GO);
    const Packet again = eot(true, 0);
    EXPECT_EQ(feed(again), ACK_AGAIN);
    EXPECT_EQ(st.received, 100u);
    EXPECT_EQ(num.ack_counter, 1);
    EXPECT_EQ(ex.repeats, 1);
    EXPECT_EQ(feed(line.header(200, b)), GO);
    EXPECT_EQ(feed(eot()), DONE);
    EXPECT_EQ(result(), file);
}

TEST_F(DownloadTest, DamagedEotAloneIsRepeated)
{
    auto file = pattern(100, 3);
    EXPECT_EQ(feed(line.header(100, file)), GO);
    EXPECT_EQ(feed(eot(false)), NACK);
    EXPECT_EQ(st.received, 0u);
    EXPECT_EQ(feed(line.header(100, file)), GO);
    EXPECT_EQ(feed(eot()), DONE);
    EXPECT_EQ(result(), file);
}

TEST_F(DownloadTest, RefusalAndEmptyReply)
{
    EXPECT_EQ(feed(line.header(0, {}, 0x21)), GO);
    EXPECT_EQ(feed(eot()), REFUSED);
    EXPECT_EQ(st.buffer, nullptr);

    begin();
    EXPECT_EQ(feed(eot()), EMPTY);
    EXPECT_EQ(st.buffer, nullptr);

    // A refusal can be shorter than a full header.
    begin();
    EXPECT_EQ(feed(line.data(0, std::vector<uint8_t>(20, 0x01))), GO);
    EXPECT_EQ(feed(eot()), REFUSED);

    // A zero-byte file is a file, not an empty reply.
    begin();
    EXPECT_EQ(feed(line.header(0, {})), GO);
    EXPECT_EQ(feed(eot()), DONE);
    EXPECT_NE(st.buffer, nullptr);
    EXPECT_EQ(st.received, 0u);
}

TEST_F(DownloadTest, ProtocolBreachesFailWithoutBuffer)
{
    // More bytes than announced.
    EXPECT_EQ(feed(line.header(100, pattern(80, 0))), GO);
    EXPECT_EQ(feed(line.data(1, pattern(21, 0))), FAILED);
    EXPECT_EQ(st.buffer, nullptr);

    // A header announcing more than the buffer holds.
    begin();
    EXPECT_EQ(feed(line.header(100, pattern(50, 0))), GO);
    EXPECT_EQ(feed(eot()), ACK);
    EXPECT_EQ(feed(line.header(5000, pattern(50, 0))), FAILED);
    EXPECT_EQ(st.buffer, nullptr);

    // ...or fewer: taken at its word it would end a 100-byte file at 60.
    begin();
    EXPECT_EQ(feed(line.header(100, pattern(50, 0))), GO);
    EXPECT_EQ(feed(eot()), ACK);
    EXPECT_EQ(feed(line.header(60, pattern(10, 0))), FAILED);
    EXPECT_EQ(st.buffer, nullptr);

    // File bytes before any header.
    begin();
    EXPECT_EQ(feed(line.data(1, pattern(50, 0))), FAILED);

    // A header packet shorter than 36 bytes.
    begin();
    EXPECT_EQ(feed(line.data(0, std::vector<uint8_t>(30, 0))), FAILED);
}

TEST_F(DownloadTest, DamagedPacketsAreStoredInsideTheBuffer)
{
    // A damaged packet may carry anything: it is stored up to the buffer's
    // end, its header's total and a length past the file are ignored, and
    // the repeat overwrites it all.
    EXPECT_EQ(feed(line.header(100, pattern(60, 0))), GO);
    EXPECT_EQ(feed(line.data(1, pattern(900, 3), false)), GO);
    EXPECT_EQ(st.received, 100u);
    EXPECT_EQ(std::vector<uint8_t>(st.buffer + 60, st.buffer + 100), pattern(40, 3));
    EXPECT_EQ(feed(line.data(2, pattern(10, 0))), GO);  // nothing left to fill
    EXPECT_EQ(feed(eot()), NACK);
    EXPECT_EQ(st.received, 0u);
    EXPECT_EQ(feed(line.header(7777, pattern(30, 9), 0, false)), GO);
    EXPECT_EQ(st.total, 100u);
    EXPECT_EQ(st.received, 30u);
    EXPECT_EQ(feed(eot()), NACK);
    EXPECT_EQ(feed(line.header(100, pattern(100, 0))), GO);
    EXPECT_EQ(feed(eot()), DONE);
    EXPECT_EQ(result(), pattern(100, 0));
}

TEST_F(DownloadTest, NoBufferFromADamagedFirstHeader)
{
    // Neither its total nor its status is believed; the packets after it
    // have nowhere to go until a sound header arrives.
    EXPECT_EQ(feed(line.header(0x7FFFFFFF, pattern(10, 0), 0x21, false)), GO);
    EXPECT_EQ(feed(line.data(1, pattern(10, 0))), GO);
    EXPECT_EQ(st.buffer, nullptr);
    EXPECT_EQ(feed(eot()), NACK);
    EXPECT_EQ(feed(line.header(20, pattern(10, 0))), GO);
    EXPECT_EQ(st.total, 20u);
    EXPECT_EQ(feed(line.data(1, pattern(10, 10))), GO);
    EXPECT_EQ(feed(eot()), DONE);
}

TEST_F(DownloadTest, EndlessRepeatsFail)
{
    EXPECT_EQ(feed(line.header(100, pattern(10, 0))), GO);
    for (int i = 0; i < EXCHANGE_MAX_REPEATS; i++) {
        EXPECT_EQ(feed(line.header(100, pattern(10, 0), 0, false)), GO);
        ASSERT_EQ(feed(eot()), NACK) << "repeat " << i + 1;
    }
    EXPECT_EQ(feed(line.header(100, pattern(10, 0), 0, false)), GO);
    EXPECT_EQ(feed(eot()), FAILED);
    EXPECT_EQ(st.buffer, nullptr);
}

TEST_F(DownloadTest, RepeatCountRestartsAfterProgress)
{
    auto file = pattern(2000, 5);
    std::vector<uint8_t> a(file.begin(), file.begin() + 1000), b(file.begin() + 1000, file.end());
    EXPECT_EQ(feed(line.header(2000, a)), GO);
    for (int i = 0; i < EXCHANGE_MAX_REPEATS; i++)
        ASSERT_EQ(feed(eot(false)), NACK);
    EXPECT_EQ(feed(line.header(2000, a)), GO);
    EXPECT_EQ(feed(eot()), ACK);
    for (int i = 0; i < EXCHANGE_MAX_REPEATS; i++)
        ASSERT_EQ(feed(eot(false)), NACK);
    EXPECT_EQ(feed(line.header(2000, b)), GO);
    EXPECT_EQ(feed(eot()), DONE);
    EXPECT_EQ(result(), file);
}

std::string bar(uint32_t total, const std::vector<uint32_t> &steps)
{
    testing::internal::CaptureStdout();
    progress_bar(0, total, 0);
    for (uint32_t done : steps)
        progress_bar(1, total, done);
    return testing::internal::GetCapturedStdout();
}

const std::string scale =
    "0------------------25------------------50------------------75----------------100\n";

TEST(ProgressBar, DotsFollowTheFraction)
{
    EXPECT_EQ(bar(1000, {12}), scale);
    EXPECT_EQ(bar(1000, {13}), scale + ".");
    EXPECT_EQ(bar(1000, {13, 500, 1000}), scale + std::string(80, '.'));
    EXPECT_EQ(bar(0, {0, 10}), scale);
    // After a repeat the position follows the count back down, so the
    // repeated part is drawn again.
    EXPECT_EQ(bar(1000, {500, 250, 500}), scale + std::string(60, '.'));
}

}  // namespace

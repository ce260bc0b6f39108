// The download (the exchange engine and the file state) fed a scripted
// stream of packets, built from the input:
// records of [control][length LE16][bytes].  Control bits 0-1 pick the
// packet: 0 the first packet of a reply message (seq 0, 36-byte header),
// 1 a further data packet (seq from bits 4-7, never 0), 2 an end of
// transmission (status from bits 4-7), 3 another type (bits 4-7: 5 ACK,
// 6 MSG_ALT with seq 0, else an unknown type).  Bit 2 marks the packet's
// CRC as failed.  Each packet's bytes live in their own exact-size
// allocation, so any read or write beyond them is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "camera/exchange.h"
#include "files/download.h"

namespace {

struct Script {
    std::vector<Packet> packets;
    std::vector<std::unique_ptr<uint8_t[]>> storage;
};

void build(const uint8_t *data, size_t size, Script *script)
{
    size_t pos = 0;
    while (pos + 3 <= size && script->packets.size() < 4096) {
        const uint8_t ctl = data[pos];
        size_t len = le16(data + pos + 1);
        pos += 3;
        if (len > size - pos)
            len = size - pos;
        if (len > SERIAL_MAX_PAYLOAD + 3000)
            len = SERIAL_MAX_PAYLOAD + 3000;  // longest frame the reader passes

        Packet pkt{};
        pkt.crc_ok = (ctl & 4) ? 0 : 1;
        const int kind = ctl & 3;
        const uint8_t high = static_cast<uint8_t>(ctl >> 4);
        if (kind == 2) {
            pkt.type = PKT_EOT;
            pkt.eot_status = high;
            pkt.seq = data[pos - 1];
            pkt.frame_length = 8;
        } else if (kind == 3 && high != PKT_MSG_ALT) {
            pkt.type = high == 5 ? PKT_ACK : static_cast<uint8_t>(7 + high);
            pkt.frame_length = 8;
        } else {
            pkt.type = kind == 3 ? PKT_MSG_ALT : PKT_MSG;
            pkt.seq = kind == 1 ? static_cast<uint8_t>(high | 1) : 0;
            std::unique_ptr<uint8_t[]> bytes(new uint8_t[len ? len : 1]);
            std::memcpy(bytes.get(), data + pos, len);
            // Keep announced totals below 64 KiB: a script delivers at most
            // a few megabytes, and each huge allocation (poisoned by the
            // sanitizer) would cost more than the whole run of the loop.
            if (pkt.seq == 0 && len >= 24) {
                bytes[22] = 0;
                bytes[23] = 0;
            }
            pkt.data = bytes.get();
            pkt.length = static_cast<uint16_t>(len);
            pkt.frame_length = static_cast<int32_t>(len + 6);
            script->storage.push_back(std::move(bytes));
            pos += len;
        }
        script->packets.push_back(pkt);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Script script;
    build(data, size, &script);

    DownloadState st;
    download_begin(&st);
    fuzz_check(st.buffer == nullptr && st.received == 0, "a transfer starts empty");
    ExchangeState ex;
    LinkNumbering num{};
    exchange_begin(&ex, false, &num);
    int repeats = 0;
    for (const Packet &pkt : script.packets) {
        ExchangeStep step = exchange_feed(&ex, ExchangeEvent{EVENT_PACKET, pkt, !pkt.crc_ok, false});
        DownloadStep file = DL_CONTINUE;
        if (step.message == MESSAGE_PACKET) {
            file = download_feed(&st, &pkt, step.trusted);
            if (file == DL_FAILED)
                fuzz_check(st.buffer == nullptr, "a failed transfer frees its buffer");
            if (file != DL_CONTINUE)
                break;
        } else if (step.message == MESSAGE_DROP) {
            download_drop(&st);
            fuzz_check(st.received == st.checkpoint, "a dropped message falls back to the checkpoint");
        } else if (step.message == MESSAGE_KEPT) {
            file = download_message_kept(&st);
        }
        fuzz_check(st.checkpoint <= st.received, "checkpoint behind the write position");
        // NACKs and answers sent again, without a message kept between.
        if (step.send == SEND_ACK)
            repeats = 0;
        else if (step.send != SEND_NOTHING)
            repeats++;
        fuzz_check(repeats <= EXCHANGE_MAX_REPEATS + 1, "repeats are bounded");
        if (file == DL_DONE) {
            fuzz_check(st.buffer != nullptr, "a finished file has its buffer");
            volatile uint8_t sink = 0;
            for (uint32_t i = 0; i < st.received; ++i)
                sink = static_cast<uint8_t>(sink ^ st.buffer[i]);
            (void)sink;
        }
        fuzz_check(file != DL_EMPTY || st.received == 0, "an empty reply holds no bytes");
        if (file != DL_CONTINUE && file != DL_MORE)
            break;
        if (step.failed || ex.phase == PHASE_RUN_OUT)
            break;
    }
    download_end(&st);
    return 0;
}

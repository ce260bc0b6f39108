// Micro-benchmarks of the wire codec: the per-byte costs that every packet
// pays on both sides of the line, and the CRC seed recovery for frames whose
// length has no table value.
//
// At 115200 bits per second the line carries 11520 bytes a second, so one
// 1016-byte data packet occupies the line for about 90 ms; the figures here
// show how small a share of that the codec takes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "serial/codec.h"

namespace {

// Deterministic bytes that look like entropy-coded image data: every byte
// value equally likely, so about 3 in 256 need an escape.
std::vector<uint8_t> noise(size_t n, uint32_t seed)
{
    std::vector<uint8_t> out(n);
    uint32_t x = seed ? seed : 1;
    for (auto &b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

// A data packet as the camera sends it: seq, type, LE16 length, payload.
std::vector<uint8_t> data_packet(uint8_t seq, const uint8_t *payload, size_t length)
{
    std::vector<uint8_t> p(4 + length);
    p[0] = seq;
    p[1] = PKT_MSG;
    put_le16(p.data() + 2, static_cast<uint16_t>(length));
    std::memcpy(p.data() + 4, payload, length);
    return p;
}

uint16_t packet_crc(const std::vector<uint8_t> &p)
{
    const int initial = serial_crc_initial(static_cast<int>(p.size()));
    return serial_crc_run(static_cast<uint16_t>(initial < 0 ? 0 : initial),
                          p.data(), p.size());
}

void BM_CrcRun(benchmark::State &state)
{
    const auto bytes = noise(SERIAL_MAX_PAYLOAD, 7);
    for (auto _ : state) {
        uint16_t crc = serial_crc_run(0x5B70, bytes.data(), bytes.size());
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_CrcRun);

// Range 0: image-like payload; range 1: every byte needs an escape (the
// worst case for the frame length and the encoder's branches).
void BM_EncodeFrame(benchmark::State &state)
{
    auto payload = noise(SERIAL_MAX_PAYLOAD, 11);
    if (state.range(0) == 1)
        std::memset(payload.data(), FRAME_ESCAPE, payload.size());
    const auto packet = data_packet(1, payload.data(), payload.size());
    const uint16_t crc = packet_crc(packet);
    std::vector<uint8_t> out(2 * (packet.size() + 2) + 2);
    size_t frame_length = 0;
    for (auto _ : state) {
        frame_length = serial_encode_frame(packet.data(), packet.size(), crc, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(payload.size()));
    state.counters["frame_bytes"] = static_cast<double>(frame_length);
    state.SetLabel(state.range(0) == 1 ? "all escaped" : "image-like");
}
BENCHMARK(BM_EncodeFrame)->Arg(0)->Arg(1);

// One reply message of a download as it lies in the read buffer: eight
// full data packets (8128 file bytes) and the camera's EOT, parsed as the
// download loop does.  Range 0: fed one byte at a time; range 1: fed in
// blocks of 1024 bytes, one per refill of the port's read buffer, as
// serial_get_frame does.
void BM_ReceiveStream(benchmark::State &state)
{
    std::vector<uint8_t> stream;
    int frames = 0;
    uint8_t frame[2 * (SERIAL_FRAME_MAX + 2) + 2];
    for (int i = 0; i < 8; i++) {
        const auto payload = noise(SERIAL_MAX_PAYLOAD, 100 + static_cast<uint32_t>(i));
        const auto packet = data_packet(static_cast<uint8_t>(i), payload.data(), payload.size());
        const size_t n = serial_encode_frame(packet.data(), packet.size(), packet_crc(packet), frame);
        stream.insert(stream.end(), frame, frame + n);
        frames++;
    }
    const std::vector<uint8_t> eot = {0, PKT_EOT, 1, 0, 0, 0};
    const size_t n = serial_encode_frame(eot.data(), eot.size(), packet_crc(eot), frame);
    stream.insert(stream.end(), frame, frame + n);
    frames++;

    const bool blocks = state.range(0) == 1;
    FrameReader reader;
    Packet pkt{};
    PacketVerdict verdict{};
    int64_t payload_bytes = 0;
    for (auto _ : state) {
        serial_frame_reset(&reader);
        int done = 0;
        int bad = 0;
        payload_bytes = 0;
        auto take = [&] {
            serial_parse_packet(reader.buf, reader.count, &pkt, &verdict);
            done++;
            bad += pkt.crc_ok ? 0 : 1;
            if (pkt.type == PKT_MSG)
                payload_bytes += pkt.length;
        };
        if (blocks) {
            for (size_t block = 0; block < stream.size(); block += 1024) {
                const size_t end = std::min(stream.size(), block + 1024);
                size_t pos = block;
                while (pos < end) {
                    size_t used = 0;
                    const int st = serial_frame_feed_run(&reader, stream.data() + pos,
                                                         end - pos, &used);
                    pos += used;
                    if (st == FRAME_DONE)
                        take();
                }
            }
        } else {
            for (uint8_t b : stream)
                if (serial_frame_feed(&reader, b) == FRAME_DONE)
                    take();
        }
        // A stream that does not come back whole is not worth timing.
        if (done != frames || bad != 0) {
            state.SkipWithError("frames lost or damaged in the receive benchmark");
            break;
        }
        benchmark::DoNotOptimize(pkt);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(stream.size()));
    state.counters["line_bytes"] = static_cast<double>(stream.size());
    state.counters["file_bytes"] = static_cast<double>(payload_bytes);
    state.SetLabel(blocks ? "1024-byte blocks" : "byte by byte");
}
BENCHMARK(BM_ReceiveStream)->Arg(0)->Arg(1);

// Seed recovery by running the register backwards: one step per byte.
void BM_RecoverInitial(benchmark::State &state)
{
    const auto bytes = noise(static_cast<size_t>(state.range(0)), 23);
    const uint16_t seed = 0xFFFF;
    const uint16_t crc = serial_crc_run(seed, bytes.data(), bytes.size());
    for (auto _ : state) {
        uint16_t found = serial_crc_recover_initial(bytes.data(), bytes.size(), crc);
        if (found != seed) {
            state.SkipWithError("recovered the wrong seed");
            break;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetComplexityN(state.range(0));
}
// 1021: just past the table; 2048; 4093: the longest frame's covered bytes.
BENCHMARK(BM_RecoverInitial)->Arg(1021)->Arg(2048)->Arg(4093)->Complexity(benchmark::oN);

// The obvious alternative: try every seed from 0 up until one reproduces the
// received CRC.  The seed 0xFFFF makes it the full 65536-candidate search
// (on average a search stops half way).
void BM_SearchInitial(benchmark::State &state)
{
    const auto bytes = noise(static_cast<size_t>(state.range(0)), 23);
    const uint16_t seed = 0xFFFF;
    const uint16_t crc = serial_crc_run(seed, bytes.data(), bytes.size());
    for (auto _ : state) {
        unsigned v = 0;
        for (; v <= 0xFFFF; v++)
            if (serial_crc_run(static_cast<uint16_t>(v), bytes.data(), bytes.size()) == crc)
                break;
        if (v != seed) {
            state.SkipWithError("search found the wrong seed");
            break;
        }
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_SearchInitial)->Arg(4093)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

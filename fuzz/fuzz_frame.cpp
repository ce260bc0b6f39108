// The frame receiver fed arbitrary line bytes: reassembly into frames,
// each frame parsed as the link would, and every complete frame re-encoded
// to check that escaping and unescaping are inverse.  The same bytes fed
// again in runs of varying length, as the port's refills hand them over,
// must give exactly the same frames.
#include <cstdint>
#include <vector>

#include "packet_props.h"

static void check_round_trip(const uint8_t *frame, int n)
{
    if (n < 2)
        return;
    uint8_t wire[2 * (SERIAL_FRAME_MAX + 2) + 2];
    const size_t covered = static_cast<size_t>(n - 2);
    const size_t len = serial_encode_frame(frame, covered, le16(frame + covered), wire);
    fuzz_check(len >= covered + 4 && len <= 2 * (covered + 2) + 2, "frame length bounds");
    fuzz_check(wire[0] == FRAME_START && wire[len - 1] == FRAME_END, "delimiters");
    for (size_t i = 1; i + 1 < len; ++i)
        fuzz_check(wire[i] != FRAME_START && wire[i] != FRAME_END, "no raw delimiter inside");

    FrameReader again;
    serial_frame_reset(&again);
    int status = FRAME_MORE;
    for (size_t i = 0; i < len; ++i) {
        status = serial_frame_feed(&again, wire[i]);
        if (i + 1 < len)
            fuzz_check(status == FRAME_MORE, "no early end");
    }
    fuzz_check(status == FRAME_DONE && again.count == n, "re-read frame complete");
    for (int i = 0; i < n; ++i)
        fuzz_check(again.buf[i] == frame[i], "re-read frame identical");
}

struct Event {
    int status;
    std::vector<uint8_t> frame;
};

// Feeds the bytes in runs whose lengths (1 to 1024) follow from the data.
static std::vector<Event> feed_in_runs(const uint8_t *data, size_t size)
{
    static FrameReader reader;
    serial_frame_reset(&reader);
    std::vector<Event> events;
    unsigned step = size > 0 ? data[0] : 0;
    size_t pos = 0;
    while (pos < size) {
        step = step * 1103515245u + 12345u;
        size_t run = 1 + (step >> 8) % 1024;
        if (run > size - pos)
            run = size - pos;
        size_t used = 0;
        const int status = serial_frame_feed_run(&reader, data + pos, run, &used);
        fuzz_check(used >= 1 && used <= run, "a run takes from one byte to all it is given");
        fuzz_check(status != FRAME_MORE || used == run, "an unfinished run takes everything");
        pos += used;
        if (status == FRAME_DONE) {
            events.push_back({status, std::vector<uint8_t>(reader.buf, reader.buf + reader.count)});
        } else if (status == FRAME_OVERFLOW) {
            events.push_back({status, {}});
            serial_frame_reset(&reader);
        }
    }
    return events;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FrameReader reader;
    serial_frame_reset(&reader);
    std::vector<Event> events;
    for (size_t i = 0; i < size; ++i) {
        const int status = serial_frame_feed(&reader, data[i]);
        fuzz_check(reader.count >= 0 && reader.count <= SERIAL_FRAME_MAX, "count in bounds");
        if (status == FRAME_OVERFLOW) {
            fuzz_check(reader.count == SERIAL_FRAME_MAX, "overflow at the buffer size");
            events.push_back({status, {}});
            serial_frame_reset(&reader);
        } else if (status == FRAME_DONE) {
            fuzz_check(data[i] == FRAME_END, "a frame ends at an end byte");
            std::vector<uint8_t> frame(reader.buf, reader.buf + reader.count);
            parse_and_check(frame.data(), reader.count);
            check_round_trip(frame.data(), reader.count);
            events.push_back({status, frame});
        } else {
            fuzz_check(status == FRAME_MORE, "known status");
        }
    }
    const std::vector<Event> in_runs = feed_in_runs(data, size);
    fuzz_check(in_runs.size() == events.size(), "same number of frames in runs");
    for (size_t i = 0; i < events.size() && i < in_runs.size(); ++i)
        fuzz_check(in_runs[i].status == events[i].status && in_runs[i].frame == events[i].frame,
                   "same frames in runs");
    return 0;
}

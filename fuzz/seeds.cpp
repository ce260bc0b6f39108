// Writes the seed corpus: a few valid inputs per target, so that the fuzzer
// starts from inputs that reach deep into each parser.  Run once from the
// fuzz directory (fuzz_seeds corpus); the seeds are kept in the repository.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "serial/codec.h"

using Bytes = std::vector<uint8_t>;

static void save(const std::string &dir, const std::string &name, const Bytes &b)
{
    const std::string path = dir + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::perror(path.c_str());
        return;
    }
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
}

// Packet bytes followed by their CRC (the camera's table value, or a seed of
// 0 where the table has none, as a long camera packet would carry).
static Bytes with_crc(Bytes p)
{
    const int init = serial_crc_initial(static_cast<int>(p.size()));
    const uint16_t crc = serial_crc_run(init >= 0 ? static_cast<uint16_t>(init) : 0,
                                        p.data(), p.size());
    p.push_back(static_cast<uint8_t>(crc));
    p.push_back(static_cast<uint8_t>(crc >> 8));
    return p;
}

static Bytes data_packet(uint8_t seq, const Bytes &payload)
{
    Bytes p = {seq, PKT_MSG, static_cast<uint8_t>(payload.size()),
               static_cast<uint8_t>(payload.size() >> 8)};
    p.insert(p.end(), payload.begin(), payload.end());
    return with_crc(p);
}

static Bytes link_packet(uint8_t type, uint8_t seq, uint8_t status)
{
    return with_crc({seq, type, status, 0, 0, 0});
}

static Bytes encode(const Bytes &unescaped)
{
    Bytes out(2 * unescaped.size() + 2);
    const size_t covered = unescaped.size() - 2;
    out.resize(serial_encode_frame(unescaped.data(), covered,
                                   le16(unescaped.data() + covered), out.data()));
    return out;
}

static Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

static Bytes id_request()
{
    return {0x02, 0, 0, 0, 0x01, 0, 0, 0x12, 0x10, 0, 0, 0, 0x14, 0xF7, 0x8A, 0};
}

static Bytes listing_record(uint8_t attrib, uint32_t size, uint32_t time, const std::string &name)
{
    Bytes r = {attrib, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put_le32(r.data() + 2, size);
    put_le32(r.data() + 6, time);
    r.insert(r.end(), name.begin(), name.end());
    r.push_back(0);
    return r;
}

static Bytes listing_reply(const std::string &dir, const std::vector<Bytes> &entries)
{
    Bytes r(21, 0);
    r[0] = 0x09;  // the reply carries its request's message type
    r = cat({r, listing_record(0x80, 0, 0, dir)});
    for (const Bytes &e : entries)
        r = cat({r, e});
    return cat({r, Bytes(11, 0)});
}

// One download record: [control][length LE16][bytes].
static Bytes record(uint8_t control, const Bytes &bytes)
{
    Bytes r = {control, static_cast<uint8_t>(bytes.size()), static_cast<uint8_t>(bytes.size() >> 8)};
    return cat({r, bytes});
}

static Bytes file_header(uint8_t status, uint32_t total, const Bytes &file_bytes)
{
    Bytes h(36, 0);
    h[16] = status;
    put_le32(h.data() + 20, total);
    return cat({h, file_bytes});
}

static Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

int main(int argc, char **argv)
{
    const std::string root = argc > 1 ? argv[1] : "corpus";

    // Frames and packets.
    const Bytes id = data_packet(0, id_request());
    const Bytes eot = link_packet(PKT_EOT, 0, 1);
    const Bytes ack = link_packet(PKT_ACK, 3, 0);
    const Bytes escapes = data_packet(0, {0xC0, 0xC1, 0x7E, 0x20, 0xE0});
    const Bytes long_packet = data_packet(0, pattern(1020, 0x31));
    const Bytes pc_mode = with_crc({0x00, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00,
                                    0x02, 0x00, 0x04, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0});
    const Bytes unknown = with_crc({0, 7, 0, 0, 0, 0});
    save(root + "/fuzz_packet", "id_request", id);
    save(root + "/fuzz_packet", "eot", eot);
    save(root + "/fuzz_packet", "ack", ack);
    save(root + "/fuzz_packet", "escapes", escapes);
    save(root + "/fuzz_packet", "long_1020", long_packet);
    save(root + "/fuzz_packet", "pc_mode", pc_mode);
    save(root + "/fuzz_packet", "unknown_type", unknown);
    save(root + "/fuzz_frame", "id_request", encode(id));
    save(root + "/fuzz_frame", "reply_stream",
         cat({{0x55, 0x00}, encode(ack), encode(escapes), encode(eot)}));
    save(root + "/fuzz_frame", "long_1020", encode(long_packet));
    save(root + "/fuzz_frame", "stray_start", cat({{0xC0, 0xC0, 0x7E}, encode(unknown)}));

    // Listing replies (two bytes of clock offset first).
    const Bytes offset = {0x3C, 0x00};
    save(root + "/fuzz_listing", "dcim",
         cat({offset, listing_reply("D:\\DCIM", {listing_record(0x10, 0, 946684800, "100CANON")})}));
    save(root + "/fuzz_listing", "folder",
         cat({offset, listing_reply("D:\\DCIM\\100CANON",
                                    {listing_record(0x20, 524288, 1000000000, "IMG_0001.JPG"),
                                     listing_record(0x21, 1023, 0x7FFFFFFF, "IMG_0002.JPG"),
                                     listing_record(0x00, 12, 0xFFFFFFFF, "README")})}));
    save(root + "/fuzz_listing", "empty", cat({offset, listing_reply("D:\\DCIM\\101CANON", {})}));
    save(root + "/fuzz_listing", "hostile",
         cat({offset, listing_reply("D:\\DCIM\\100CANON",
                                    {listing_record(0x20, 100, 5, "../evil.jpg"),
                                     listing_record(0x20, 100, 5, "a/b\x01\x1b.jpg")})}));

    // Download scripts: [control][length][bytes] records (see fuzz_download.cpp).
    const Bytes a = pattern(900, 1), b = pattern(700, 2);
    const Bytes eot_rec = record(2, {});
    save(root + "/fuzz_download", "one_message",
         cat({record(0, file_header(0, 1600, a)), record(1, b), eot_rec}));
    save(root + "/fuzz_download", "damaged_repeat",
         cat({record(0, file_header(0, 1600, a)), eot_rec,
              record(0, file_header(0, 1600, b)), record(4 | 1, {}), eot_rec,
              record(0, file_header(0, 1600, b)), eot_rec}));
    save(root + "/fuzz_download", "damaged_eot",
         cat({record(0, file_header(0, 900, a)), record(2 | 4, {}),
              record(0, file_header(0, 900, a)), eot_rec}));
    save(root + "/fuzz_download", "refused",
         cat({record(0, file_header(1, 0, {})), eot_rec}));
    save(root + "/fuzz_download", "empty", eot_rec);

    // Thumbnail data.
    const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46, 0xFF, 0xD9};
    save(root + "/fuzz_thumb", "embedded", cat({Bytes(40, 0), jpeg, {0xFF, 0xD9, 0x00}}));
    save(root + "/fuzz_thumb", "start_at_zero", cat({{0xFF, 0xD8}, jpeg}));
    save(root + "/fuzz_thumb", "shortest", {0x00, 0x00, 0xFF, 0xD8, 0xFF, 0xD9});
    save(root + "/fuzz_thumb", "no_end", {0x00, 0x00, 0xFF, 0xD8, 0xFF, 0xD8, 0x12});
    return 0;
}

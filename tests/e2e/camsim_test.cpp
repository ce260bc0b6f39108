// The emulator seen from the host's end of the line: a test plays the host
// with the codec and checks what the camera answers, byte by byte.
#include "harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "e2e.h"
#include "serial/codec.h"

using namespace e2e;

namespace {

using Bytes = std::vector<uint8_t>;

struct Pkt {
    bool ok = false;  // a frame arrived
    uint8_t seq = 0, type = 0, status = 0;
    bool crc_ok = false;
    Bytes data;
    Bytes frame;  // unescaped, CRC included
};

// The host's end: raw terminal, frames through the codec.
struct Host {
    int fd = -1;
    FrameReader reader{};
    uint8_t ack_number = 0;  // number of our next ACK (and of the camera's next EOT)
    uint8_t eot_number = 0;  // number of our next EOT

    explicit Host(const std::string &tty)
    {
        fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
        if (fd >= 0) {
            struct termios t;
            tcgetattr(fd, &t);
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        serial_frame_reset(&reader);
    }
    ~Host()
    {
        if (fd >= 0)
            close(fd);
    }

    // The camera hears only what is sent at its own speed.
    void speed(speed_t code)
    {
        struct termios t;
        tcgetattr(fd, &t);
        cfsetospeed(&t, code);
        cfsetispeed(&t, code);
        tcsetattr(fd, TCSANOW, &t);
    }

    void raw(const Bytes &b) { ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size())); }

    void packet(const Bytes &p)
    {
        uint16_t crc = serial_crc_run(static_cast<uint16_t>(serial_crc_initial(static_cast<int>(p.size()))),
                                      p.data(), p.size());
        Bytes frame(2 * (p.size() + 2) + 2);
        frame.resize(serial_encode_frame(p.data(), p.size(), crc, frame.data()));
        raw(frame);
    }
    void eot(uint8_t status) { packet({eot_number++, PKT_EOT, status, 0, 0, 0}); }
    void ack(uint8_t status)
    {
        packet({ack_number, PKT_ACK, status, 0, 0, 0});
        if (status == 0)
            ++ack_number;
    }

    Pkt receive(int timeout_ms = 3000)
    {
        Pkt p;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            struct pollfd pf = {fd, POLLIN, 0};
            if (poll(&pf, 1, 50) <= 0)
                continue;
            uint8_t b;
            if (read(fd, &b, 1) != 1)
                continue;
            if (serial_frame_feed(&reader, b) != FRAME_DONE)
                continue;
            Packet pk{};
            PacketVerdict v{};
            serial_parse_packet(reader.buf, reader.count, &pk, &v);
            p.ok = true;
            p.frame.assign(reader.buf, reader.buf + reader.count);
            p.seq = pk.seq;
            p.type = pk.type;
            p.crc_ok = pk.crc_ok;
            p.status = pk.type == PKT_EOT ? pk.eot_status : pk.ack_status;
            if (pk.type == PKT_MSG)
                p.data.assign(pk.data, pk.data + pk.length);
            return p;
        }
        return p;
    }

    // Synchronisation, greeting, speed switch and the first probe.
    std::string connect()
    {
        speed(B9600);
        raw({'U', 'U', 'U', 'U'});
        Pkt g = receive();
        EXPECT_TRUE(g.ok);
        EXPECT_EQ(g.type, PKT_MSG);
        std::string greeting = g.data.size() > 22
            ? std::string(reinterpret_cast<const char *>(g.data.data() + 22)) : "";
        Pkt e = receive();
        EXPECT_EQ(e.type, PKT_EOT);
        EXPECT_EQ(e.seq, 0);
        ack_number = eot_number = 0;
        ack(0);
        raw({0xc0, 0x00, 0x03, 0x80, 0x02, 0x01, 0x10, 0x00, 0x00, 0x00, 0x00, 0x4d, 0xf9, 0xc1});
        eot(1);
        Pkt a = receive();
        EXPECT_EQ(a.type, PKT_ACK);
        EXPECT_EQ(a.seq, 0);
        speed(B115200);
        eot(0);
        Pkt probe = receive();
        EXPECT_EQ(probe.type, PKT_ACK);
        EXPECT_EQ(probe.seq, 1);
        return greeting;
    }

    // Sends a request of the given table row; returns the camera's ACK.
    Pkt send_request(uint8_t command, uint8_t cls, Bytes word, const Bytes &payload)
    {
        Bytes m = {2, 0, 0, 0, command, 0, 0, cls, 0, 0, 0, 0};
        put_le16(&m[8], static_cast<uint16_t>(16 + payload.size()));
        m.insert(m.end(), word.begin(), word.end());
        m.insert(m.end(), payload.begin(), payload.end());
        Bytes p = {0, PKT_MSG, 0, 0};
        put_le16(&p[2], static_cast<uint16_t>(m.size()));
        p.insert(p.end(), m.begin(), m.end());
        packet(p);
        uint8_t n = eot_number;
        eot(1);
        Pkt a = receive();
        EXPECT_EQ(a.type, PKT_ACK);
        EXPECT_EQ(a.seq, n);
        return a;
    }

    // A whole single-message reply: its data (packets joined) and the EOT.
    Bytes reply(Pkt *eot_out = nullptr)
    {
        Bytes all;
        for (;;) {
            Pkt p = receive();
            if (!p.ok || p.type == PKT_EOT) {
                if (eot_out)
                    *eot_out = p;
                EXPECT_TRUE(p.ok) << "no EOT";
                EXPECT_EQ(p.seq, ack_number) << "camera EOT number";
                return all;
            }
            all.insert(all.end(), p.data.begin(), p.data.end());
        }
    }
};

const Bytes W_ID = {0x14, 0xf7, 0x8a, 0x00}, W_FILE = {0x6a, 0x08, 0x79, 0x04},
            W_DISK = {0xdc, 0xf7, 0x8a, 0x00}, W_LIST = {0xa8, 0xf6, 0x8a, 0x00},
            W_DELETE = {0x8c, 0xf4, 0x7b, 0x00}, W_DATEPOWER = {0x70, 0xf6, 0x8a, 0x00},
            W_ZERO = {0, 0, 0, 0};

Bytes path_payload(const std::string &path)
{
    Bytes b(path.begin(), path.end());
    b.push_back(0);
    return b;
}

Bytes list_payload(const std::string &path)
{
    Bytes b = {0};
    b.insert(b.end(), path.begin(), path.end());
    b.insert(b.end(), {0, 0, 0});
    return b;
}

Bytes file_payload(const std::string &path, bool thumb)
{
    Bytes b = {static_cast<uint8_t>(thumb), 0, 0, 0, 0, static_cast<uint8_t>(path.size() + 1), 0, 0};
    b.insert(b.end(), path.begin(), path.end());
    b.push_back(0);
    return b;
}

struct Record {
    uint8_t attr;
    uint32_t size;
    std::string name;
};

// The entries' records: after the folder's own record (offset 21), up to
// the end record.
std::vector<Record> records(const Bytes &r)
{
    std::vector<Record> out;
    if (r.size() < 32)
        return out;
    size_t at = 31 + std::strlen(reinterpret_cast<const char *>(&r[31])) + 1;
    while (at + 10 < r.size()) {
        std::string name(reinterpret_cast<const char *>(&r[at + 10]));
        if (name.empty())
            break;
        out.push_back({r[at], le32(&r[at + 2]), name});
        at += 10 + name.size() + 1;
    }
    return out;
}

// A whole download: every message acknowledged, file bytes joined.
// nack_first repeats the first message once.  Returns the status byte.
uint8_t download(Host &h, const std::string &path, bool thumb, Bytes *out, bool nack_first = false)
{
    h.send_request(0x01, 0x11, W_FILE, file_payload(path, thumb));
    out->clear();
    size_t checkpoint = 0, total = 0;
    bool first = true, damaged = false;
    for (;;) {
        Pkt p = h.receive();
        if (!p.ok)
            return 0xEE;
        if (p.type == PKT_EOT) {
            EXPECT_EQ(p.seq, h.ack_number);
            if (damaged || (nack_first && checkpoint == 0 && !out->empty())) {
                nack_first = false;
                damaged = false;
                out->resize(checkpoint);
                h.ack(NACK);
                continue;
            }
            h.ack(0);
            if (out->size() >= total)
                return 0;
            checkpoint = out->size();
            continue;
        }
        damaged = damaged || !p.crc_ok;
        if (p.seq == 0) {
            EXPECT_GE(p.data.size(), 36u);
            if (first && p.data[16] != 0) {
                Pkt e = h.receive();
                EXPECT_EQ(e.type, PKT_EOT);
                h.ack(0);
                return p.data[16];
            }
            first = false;
            total = le32(&p.data[20]);
            out->insert(out->end(), p.data.begin() + 36, p.data.end());
        } else {
            out->insert(out->end(), p.data.begin(), p.data.end());
        }
    }
}

Bytes card_file(const Camsim &sim, const std::string &rel)
{
    std::string s = read_file(sim.card + "/" + rel);
    return Bytes(s.begin(), s.end());
}

TEST(Camsim, HandshakeAndExchangeNumbering)
{
    Camsim sim = camsim_start({"--firmware", "1.2.3.4"});
    Host h(sim.tty);
    ASSERT_GE(h.fd, 0);
    EXPECT_EQ(h.connect(), "Canon PowerShot S20 emulated");

    // The same number again after an unanswered probe: answered with it.
    h.eot_number = 1;
    h.eot(0);
    Pkt probe = h.receive();
    EXPECT_EQ(probe.type, PKT_ACK);
    EXPECT_EQ(probe.seq, 1);

    h.send_request(0x01, 0x12, W_ID, {});
    Bytes id = h.reply();
    ASSERT_GT(id.size(), 28u);
    EXPECT_EQ(Bytes(id.begin() + 24, id.begin() + 28), (Bytes{4, 3, 2, 1}));
    EXPECT_STREQ(reinterpret_cast<const char *>(&id[28]), "Canon PowerShot S20");
    h.ack(0);

    h.send_request(0x0A, 0x11, W_DISK, {});
    Bytes disk = h.reply();
    ASSERT_GE(disk.size(), 23u);
    EXPECT_STREQ(reinterpret_cast<const char *>(&disk[20]), "D:");
    h.ack(0);

    // Power on the AC adapter: level 6, source 0x10.
    h.send_request(0x0A, 0x12, W_DATEPOWER, {});
    Bytes power = h.reply();
    ASSERT_GE(power.size(), 24u);
    EXPECT_EQ(power[20], 6);
    EXPECT_EQ(power[23], 0x10);
    h.ack(0);

    // Disk info knows drive D only.
    h.send_request(0x09, 0x11, {0xd8, 0xf7, 0x8a, 0x00}, {'d', ':', '\\', 0});
    Bytes info = h.reply();
    ASSERT_GE(info.size(), 28u);
    EXPECT_EQ(info[16], 0);
    EXPECT_GT(le32(&info[20]), 0u);
    h.ack(0);
    h.send_request(0x09, 0x11, {0xd8, 0xf7, 0x8a, 0x00}, {'C', ':', '\\', 0});
    EXPECT_EQ(h.reply()[16], 0x87);
    h.ack(0);
}

TEST(Camsim, ListingInNameOrderWithFolderRecord)
{
    Camsim sim = camsim_start({"--packet-size", "64"});
    Host h(sim.tty);
    h.connect();
    // Case does not matter on the card; the reply spells the path as stored.
    h.send_request(0x0B, 0x11, W_LIST, list_payload("d:\\dcim"));
    Bytes r = h.reply();
    h.ack(0);
    ASSERT_GT(r.size(), 32u);
    EXPECT_EQ(r[21], 0x80);
    EXPECT_STREQ(reinterpret_cast<const char *>(&r[31]), "D:\\DCIM");
    std::vector<Record> rec = records(r);
    ASSERT_EQ(rec.size(), 4u);
    EXPECT_EQ(rec[0].name, "100CANON");
    EXPECT_EQ(rec[0].attr, 0x10);
    EXPECT_EQ(rec[2].name, "102CANON");
    EXPECT_EQ(rec[3].name, "CANONMSC.CTG");
    EXPECT_EQ(rec[3].attr, 0x20);
    EXPECT_EQ(rec[3].size, 256u);

    // The folder holding only a hidden file looks empty.
    h.send_request(0x0B, 0x11, W_LIST, list_payload("D:\\DCIM\\102CANON"));
    Bytes empty = h.reply();
    h.ack(0);
    EXPECT_EQ(empty[21], 0x80);
    EXPECT_TRUE(records(empty).empty());

    // Missing folders, files and paths climbing out of the card: no listing.
    for (const char *bad : {"D:\\DCIM\\NOPE", "D:\\DCIM\\100CANON\\README", "D:\\DCIM\\..\\..",
                            "C:\\DCIM"}) {
        h.send_request(0x0B, 0x11, W_LIST, list_payload(bad));
        Bytes refused = h.reply();
        h.ack(0);
        ASSERT_GE(refused.size(), 22u) << bad;
        EXPECT_NE(refused[21], 0x80) << bad;
    }
}

TEST(Camsim, DownloadRepeatsMessageAfterNack)
{
    Camsim sim = camsim_start({"--message-size", "4096", "--packet-size", "500"});
    Host h(sim.tty);
    h.connect();
    Bytes got;
    ASSERT_EQ(download(h, "D:\\DCIM\\100CANON\\IMG_0001.JPG", false, &got, true), 0);
    EXPECT_EQ(got, card_file(sim, "DCIM/100CANON/IMG_0001.JPG"));
    // One NACK, so one more EOT than messages, the repeat with the same number.
    std::vector<std::string> tx = log_lines(sim, "TX");
    int eots_numbered_1 = 0;
    for (const std::string &l : tx)
        if (l.rfind("c0 01 04 01", 0) == 0)
            ++eots_numbered_1;
    EXPECT_EQ(eots_numbered_1, 2);

    // A name that is no file is refused in the first packet.
    EXPECT_NE(download(h, "D:\\DCIM\\100CANON\\IMG_9999.JPG", false, &got), 0);
}

TEST(Camsim, ThumbnailIsSmallJpegInsideHeader)
{
    Camsim sim = camsim_start();
    Host h(sim.tty);
    h.connect();
    Bytes t;
    ASSERT_EQ(download(h, "D:\\DCIM\\100CANON\\IMG_0003.JPG", true, &t), 0);
    ASSERT_GT(t.size(), 20u);
    EXPECT_FALSE(t[0] == 0xFF && t[1] == 0xD8);
    size_t soi = 2;
    while (soi + 1 < t.size() && !(t[soi] == 0xFF && t[soi + 1] == 0xD8))
        ++soi;
    ASSERT_LT(soi + 1, t.size());
    // The frame header gives the size: at most 160 pixels across.
    size_t sof = soi;
    while (sof + 9 < t.size() && !(t[sof] == 0xFF && t[sof + 1] == 0xC0))
        ++sof;
    ASSERT_LT(sof + 9, t.size());
    int height = t[sof + 5] << 8 | t[sof + 6], width = t[sof + 7] << 8 | t[sof + 8];
    EXPECT_EQ(width, 128);  // 1024 x 768 at 1/8
    EXPECT_EQ(height, 96);
    bool has_eoi = false;
    for (size_t i = soi + 2; i + 1 < t.size(); ++i)
        has_eoi = has_eoi || (t[i] == 0xFF && t[i + 1] == 0xD9);
    EXPECT_TRUE(has_eoi);

    EXPECT_NE(download(h, "D:\\DCIM\\100CANON\\README", true, &t), 0);
}

TEST(Camsim, CameraOffKeepsCardStateUntilNextSync)
{
    Camsim sim = camsim_start();
    Host h(sim.tty);
    h.connect();
    // Protect IMG_0002.JPG, then a delete of it is refused.
    Bytes attr = {0x21, 0, 0, 0};
    std::string target = "D:\\DCIM\\100CANON\\IMG_0002.JPG";
    attr.insert(attr.end(), target.begin(), target.end());
    attr.push_back(0);
    h.send_request(0x0E, 0x11, W_ZERO, attr);
    EXPECT_EQ(h.reply()[16], 0);
    h.ack(0);

    // Camera off: nothing is answered until the next synchronisation.
    h.raw({0xc0, 0x00, 0x02, 0x55, 0x2c, 0xc1});
    h.raw({0xc0, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00, 0x24, 0xc6, 0xc1});
    h.eot_number = 5;
    h.eot(0);
    EXPECT_FALSE(h.receive(1000).ok);

    h.connect();
    h.send_request(0x0D, 0x11, W_DELETE, path_payload(target));
    EXPECT_NE(h.reply()[16], 0);
    h.ack(0);
    EXPECT_FALSE(card_file(sim, "DCIM/100CANON/IMG_0002.JPG").empty());

    h.send_request(0x0B, 0x11, W_LIST, list_payload("D:\\DCIM\\100CANON"));
    Bytes r = h.reply();
    h.ack(0);
    bool seen = false;
    for (const Record &rec : records(r)) {
        if (rec.name == "IMG_0002.JPG") {
            seen = true;
            EXPECT_EQ(rec.attr, 0x21);
        }
    }
    EXPECT_TRUE(seen);
}

TEST(Camsim, StateFileKeepsAttributesAcrossRuns)
{
    std::string state = make_temp_dir() + "/attributes";
    Bytes attr = {0x01, 0, 0, 0};  // protected, no longer new
    std::string target = "d:\\dcim\\101canon\\img_0101.jpg";
    attr.insert(attr.end(), target.begin(), target.end());
    attr.push_back(0);
    {
        Camsim sim = camsim_start({"--state", state});
        Host h(sim.tty);
        h.connect();
        h.send_request(0x0E, 0x11, W_ZERO, attr);
        EXPECT_EQ(h.reply()[16], 0);
        h.ack(0);
        camsim_stop(sim);
    }
    EXPECT_EQ(read_file(state), "01 DCIM/101CANON/IMG_0101.JPG\n");
    Camsim sim = camsim_start({"--state", state});
    Host h(sim.tty);
    h.connect();
    h.send_request(0x0B, 0x11, W_LIST, list_payload("D:\\DCIM\\101CANON"));
    std::vector<Record> rec = records(h.reply());
    h.ack(0);
    ASSERT_EQ(rec.size(), 2u);
    EXPECT_EQ(rec[0].name, "IMG_0101.JPG");
    EXPECT_EQ(rec[0].attr, 0x01);
    EXPECT_EQ(rec[1].attr, 0x20);
}

TEST(Camsim, UploadAndFolders)
{
    Camsim sim = camsim_start();
    Host h(sim.tty);
    h.connect();
    auto chunk = [&](uint32_t offset, const std::string &bytes) {
        Bytes p(12);
        put_le32(&p[0], 2);
        put_le32(&p[4], offset);
        put_le32(&p[8], static_cast<uint32_t>(bytes.size()));
        std::string path = "D:\\DCIM\\NEW\\UP.JPG";
        p.insert(p.end(), path.begin(), path.end());
        p.push_back(0);
        p.insert(p.end(), bytes.begin(), bytes.end());
        h.send_request(0x03, 0x11, W_ZERO, p);
        uint8_t status = h.reply()[16];
        h.ack(0);
        return status;
    };
    auto dir_request = [&](uint8_t command, const std::string &path) {
        h.send_request(command, 0x11, command == 0x0D ? W_DELETE : W_ZERO, path_payload(path));
        uint8_t status = h.reply()[16];
        h.ack(0);
        return status;
    };
    EXPECT_NE(chunk(0, "abc"), 0);  // no such folder yet
    EXPECT_EQ(dir_request(0x05, "D:\\DCIM\\NEW"), 0);
    EXPECT_NE(dir_request(0x05, "D:\\DCIM\\new"), 0);  // exists, whatever the case
    EXPECT_EQ(chunk(0, "hello "), 0);
    EXPECT_EQ(chunk(6, "world"), 0);
    EXPECT_EQ(read_file(sim.card + "/DCIM/NEW/UP.JPG"), "hello world");
    EXPECT_EQ(chunk(0, "x"), 0);  // offset 0 starts the file afresh
    EXPECT_EQ(read_file(sim.card + "/DCIM/NEW/UP.JPG"), "x");
    EXPECT_NE(dir_request(0x06, "D:\\DCIM\\NEW"), 0);  // not empty
    EXPECT_EQ(dir_request(0x0D, "D:\\DCIM\\NEW\\UP.JPG"), 0);
    EXPECT_EQ(dir_request(0x06, "D:\\DCIM\\NEW"), 0);
    // The folder with only a hidden file is empty to the camera.
    EXPECT_EQ(dir_request(0x06, "D:\\DCIM\\102CANON"), 0);
    EXPECT_NE(dir_request(0x05, "D:\\DCIM\\..\\escape"), 0);
}

TEST(Camsim, InjectedLinkFaults)
{
    Camsim sim = camsim_start({"--fault", "crc-data@1", "--fault", "eotseq@2",
                               "--fault", "ackseq@3"});
    Host h(sim.tty);
    h.connect();
    // Request 1, a download: its first packet fails the CRC check, the
    // repeat after the NACK passes and the file arrives whole.
    h.send_request(0x01, 0x11, W_FILE, file_payload("D:\\DCIM\\100CANON\\IMG_0002.JPG", false));
    std::vector<bool> crc_ok;
    Bytes got;
    for (int transmission = 0; transmission < 2; ++transmission) {
        got.clear();
        for (;;) {
            Pkt p = h.receive();
            ASSERT_TRUE(p.ok);
            if (p.type == PKT_EOT)
                break;
            crc_ok.push_back(p.crc_ok);
            got.insert(got.end(), p.data.begin() + (p.seq == 0 ? 36 : 0), p.data.end());
        }
        h.ack(transmission == 0 ? NACK : 0);
    }
    ASSERT_GE(crc_ok.size(), 4u);
    size_t per_transmission = crc_ok.size() / 2;
    EXPECT_FALSE(crc_ok[0]);
    for (size_t i = 1; i < crc_ok.size(); ++i)
        EXPECT_TRUE(crc_ok[i]) << "packet " << i;
    EXPECT_EQ(per_transmission * 2, crc_ok.size());
    EXPECT_EQ(got, card_file(sim, "DCIM/100CANON/IMG_0002.JPG"));

    // Request 2: the camera's EOT carries a wrong number.
    h.send_request(0x0A, 0x11, W_DISK, {});
    Pkt e;
    Pkt data = h.receive();
    e = h.receive();
    EXPECT_EQ(data.type, PKT_MSG);
    EXPECT_EQ(e.type, PKT_EOT);
    EXPECT_NE(e.seq, h.ack_number);
    h.ack(0);

    // Request 3: the ACK carries a wrong number.
    uint8_t n = h.eot_number;
    Bytes m = {2, 0, 0, 0, 0x0A, 0, 0, 0x11, 16, 0, 0, 0, 0xdc, 0xf7, 0x8a, 0x00};
    Bytes p = {0, PKT_MSG, 16, 0};
    p.insert(p.end(), m.begin(), m.end());
    h.packet(p);
    h.eot(1);
    Pkt a = h.receive();
    EXPECT_EQ(a.type, PKT_ACK);
    EXPECT_NE(a.seq, n);
    h.reply();
    h.ack(0);
}

TEST(Camsim, PacketsAboveTableLengthUseInitialValueZero)
{
    Camsim sim = camsim_start({"--packet-size", "2000"});
    Host h(sim.tty);
    h.connect();
    h.send_request(0x01, 0x11, W_FILE, file_payload("D:\\DCIM\\100CANON\\IMG_0002.JPG", false));
    Pkt p = h.receive();
    ASSERT_EQ(p.type, PKT_MSG);
    ASSERT_EQ(p.data.size(), 2000u);
    size_t n = p.frame.size();
    EXPECT_EQ(serial_crc_run(0, p.frame.data(), n - 2), le16(&p.frame[n - 2]));
}

} // namespace

TEST(Camsim, DropsDamagedFramesAndGivesUpAfterItsPatience)
{
    Camsim sim = camsim_start({"--patience", "1"});
    Host h(sim.tty);
    h.connect();

    // A request whose CRC fails is never seen: its EOT alone is answered.
    Bytes request = {0, PKT_MSG, 16, 0, 2, 0, 0, 0, 0x0A, 0, 0, 0x11, 16, 0, 0, 0};
    request.insert(request.end(), W_DISK.begin(), W_DISK.end());
    uint16_t crc = serial_crc_run(static_cast<uint16_t>(serial_crc_initial(20)), request.data(), 20);
    Bytes frame(2 * 22 + 2);
    frame.resize(serial_encode_frame(request.data(), 20, static_cast<uint16_t>(crc ^ 1), frame.data()));
    h.raw(frame);
    h.eot(1);
    EXPECT_EQ(h.receive().type, PKT_ACK);
    EXPECT_FALSE(h.receive(1500).ok);

    // Unanswered, the reply is sent again when anything else arrives in
    // the patience (here a new request), with the same EOT number.
    h.send_request(0x0A, 0x11, W_DISK, {});
    Bytes disk = h.reply();
    h.packet(request);
    EXPECT_EQ(h.reply(), disk);
    // After a second without an answer the camera gives the reply up, and
    // serves the next request with the number it had.
    usleep(1500000);
    EXPECT_EQ(count_notes(sim, "no answer within the patience"), 1);
    h.send_request(0x0A, 0x11, W_DISK, {});
    EXPECT_EQ(h.reply(), disk);
    h.ack(0);
}

TEST(Camsim, NoiseFlipsBitsBothWaysUntilSwitchedOff)
{
    Camsim sim = camsim_start({"--noise", "0.002:5"});
    kill(sim.pid, SIGUSR1);  // off for the handshake
    Host h(sim.tty);
    usleep(100000);
    h.connect();

    // A disk request and whatever comes back until the line is quiet,
    // numbers and checks aside: on a noisy line any of it may be damaged.
    auto exchange = [&h]() {
        Bytes m = {0, PKT_MSG, 16, 0, 2, 0, 0, 0, 0x0A, 0, 0, 0x11, 16, 0, 0, 0};
        m.insert(m.end(), W_DISK.begin(), W_DISK.end());
        h.packet(m);
        h.eot(1);
        Bytes data;
        for (Pkt p = h.receive(500); p.ok; p = h.receive(500)) {
            if (p.type == PKT_EOT) {
                h.packet({p.seq, PKT_ACK, 0, 0, 0, 0});
                break;
            }
            if (p.type == PKT_MSG)
                data = p.data;
        }
        return data;
    };
    kill(sim.pid, SIGUSR1);
    usleep(100000);
    for (int i = 0; i < 200; i++) {
        exchange();
        if (count_notes(sim, "noise from host") > 0 && count_notes(sim, "noise to host") > 0)
            break;
    }
    // Switched off (when the next byte crosses), the line is clean again.
    kill(sim.pid, SIGUSR1);
    usleep(200000);
    Bytes disk = exchange();
    ASSERT_GE(disk.size(), 23u);
    EXPECT_STREQ(reinterpret_cast<const char *>(&disk[20]), "D:");
    std::vector<std::string> toggles;
    for (const std::string &note : log_lines(sim, "NOTE"))
        if (note.rfind("noise o", 0) == 0)
            toggles.push_back(note);
    ASSERT_EQ(toggles.size(), 3u);
    EXPECT_EQ(toggles[0], "noise off after 0 bits flipped to host, 0 from host");
    EXPECT_EQ(toggles[1], "noise on after 0 bits flipped to host, 0 from host");
    EXPECT_EQ(toggles[2].rfind("noise off after ", 0), 0u);
    EXPECT_GT(count_notes(sim, "noise to host"), 0);
    EXPECT_GT(count_notes(sim, "noise from host"), 0);
}

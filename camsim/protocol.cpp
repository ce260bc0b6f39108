#include "camsim/protocol.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <time.h>
#include <vector>

#include "camsim/requests.h"
#include "serial/codec.h"

namespace {

constexpr uint8_t PKT_CAMERA_OFF = 2;
constexpr uint8_t PKT_SPEED = 3;
constexpr uint8_t PKT_STRANGE = 7;   // a type the host does not know
constexpr uint8_t EOT_CLOSES = 1;
constexpr uint8_t EOT_PROBE = 0;
constexpr size_t LONG_FRAME_DATA = 4100;
// After the camera-off frame the camera is back at 9600 bits/s this much
// later (the host waits a second before it closes the line).
constexpr int POWER_DOWN_MS = 300;

enum Awaiting {
    AWAIT_NONE,      // nothing of ours unanswered
    AWAIT_GREETING,  // the greeting
    AWAIT_REPLY,     // a reply message (single packet or listing)
    AWAIT_FILE,      // one message of a file transfer
};

struct Camera {
    CamsimOptions *opts = nullptr;
    bool on = false;
    uint8_t eot_number = 0;     // number of our next EOT; advances on ACK 0
    Awaiting awaiting = AWAIT_NONE;
    std::vector<uint8_t> reply; // AWAIT_GREETING / AWAIT_REPLY: to repeat on NACK
    bool wrong_eot = false;     // the next EOT carries a wrong number
    bool reply_bad = false;     // every sending of this reply is damaged
    long long answer_due_us = 0;// with --patience: when the wait for the answer ends

    // The file transfer in progress.
    std::vector<uint8_t> request;  // the request message (its header is echoed)
    std::vector<uint8_t> file;
    size_t msg_start = 0;
    size_t msg_len = 0;
    bool persist = false;
    int burst_left = 0;            // sendings of this transfer still damaged

    // What the host sent since its last EOT.
    bool have_msg = false;
    std::vector<uint8_t> msg;
    bool have_speed = false;
    uint8_t speed_code = 0;
    bool probing = false;

    // Event counts over the emulator's lifetime, for the faults.
    long connections = 0;
    long sync_bursts = 0;
    long probes_ignored = 0;
    long requests = 0;
    long singles = 0;
    long downloads = 0;
    long data_packets = 0;
    long transfer_eots = 0;
    long file_acks = 0;
    long host_acks = 0;
    long host_eots = 0;
    long host_requests = 0;

    // --slow: requests acknowledged and not yet answered, in order, and
    // when the first byte of the front one's answer is due (0: not yet set).
    struct Pending {
        std::vector<uint8_t> msg;
        long n;
    };
    std::vector<Pending> pending;
    long long pending_due_us = 0;
    // --fault babble@N: garbage on the line from then on.
    bool babbling = false;
    unsigned long long babble_state = 0x9E3779B97F4A7C15ull;
};
Camera cam;

// The fault (once) when one of this kind is set for the count-th event.
const Fault *fires(FaultKind kind, long count)
{
    for (Fault &f : cam.opts->faults) {
        if (f.kind == kind && f.n == count && !f.fired) {
            f.fired = true;
            line_note(std::string("fault ") + FAULT_NAMES[kind] + "@" + std::to_string(f.n));
            return &f;
        }
    }
    return nullptr;
}

// The N of a fault of this kind, or 0.
long fault_n(FaultKind kind)
{
    for (const Fault &f : cam.opts->faults)
        if (f.kind == kind)
            return f.n;
    return 0;
}

void send_link(uint8_t seq, uint8_t type, uint8_t status, bool bad_crc = false)
{
    uint8_t p[6] = {seq, type, status, 0, 0, 0};
    line_send_packet(p, sizeof p, bad_crc);
}

void send_data(uint8_t seq, const uint8_t *data, size_t len, bool bad_crc = false)
{
    uint8_t head[4] = {seq, PKT_MSG, 0, 0};
    put_le16(&head[2], static_cast<uint16_t>(len));
    std::vector<uint8_t> p(head, head + sizeof head);
    p.insert(p.end(), data, data + len);
    line_send_packet(p.data(), p.size(), bad_crc);
}

long long now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void send_eot(bool bad_crc = false)
{
    uint8_t number = cam.eot_number;
    if (cam.wrong_eot) {
        number = static_cast<uint8_t>(number + 1);
        cam.wrong_eot = false;
    }
    send_link(number, PKT_EOT, EOT_CLOSES, bad_crc);
    // The wait for the answer starts once the EOT has gone out.
    if (cam.opts->patience_ms >= 0)
        cam.answer_due_us = now_us() + cam.opts->patience_ms * 1000;
}

// Data packets after the first of a message are numbered 1, 2, ... and
// skip 0 when they wrap, since 0 marks a message's first packet.
uint8_t next_seq(uint8_t seq)
{
    return seq == 255 ? 1 : static_cast<uint8_t>(seq + 1);
}

// A reply message: as many packets as it needs, then our EOT.
void send_reply()
{
    size_t limit = static_cast<size_t>(cam.opts->packet_size);
    uint8_t seq = 0;
    size_t at = 0;
    do {
        size_t n = std::min(limit, cam.reply.size() - at);
        send_data(seq, cam.reply.data() + at, n, cam.reply_bad);
        at += n;
        seq = next_seq(seq);
    } while (at < cam.reply.size());
    send_eot();
}

// One message of a file transfer: the header packet (seq 0) with the
// first bytes, further packets with file bytes only, then our EOT.
void send_file_message()
{
    Request req;
    request_parse(cam.request.data(), cam.request.size(), &req);
    size_t total = cam.file.size();
    cam.msg_len = std::min(static_cast<size_t>(cam.opts->message_size), total - cam.msg_start);
    const uint8_t *bytes = cam.file.data() + cam.msg_start;
    size_t limit = static_cast<size_t>(cam.opts->packet_size);
    // A burst of noise: this sending is damaged throughout.
    const bool burst = cam.burst_left > 0;
    if (burst && --cam.burst_left == 0)
        line_note("noise burst over");

    std::vector<uint8_t> first = file_header(req, 0, static_cast<uint32_t>(total),
                                             static_cast<uint32_t>(cam.msg_start),
                                             static_cast<uint32_t>(cam.msg_len));
    size_t at = std::min(limit - FILE_HEADER_LEN, cam.msg_len);
    first.insert(first.end(), bytes, bytes + at);
    uint8_t seq = 0;
    for (;;) {
        long n = ++cam.data_packets;
        bool bad = fires(FAULT_CRC_DATA, n) || burst;
        if (seq == 0 && cam.msg_start == 0 && cam.persist) {
            line_note("fault crc-persist");
            bad = true;
        }
        bool dropped = fires(FAULT_DROP, n);
        if (seq == 0) {
            if (!dropped)
                send_data(0, first.data(), first.size(), bad);
        } else {
            size_t len = std::min(limit, cam.msg_len - at);
            if (!dropped)
                send_data(seq, bytes + at, len, bad);
            at += len;
        }
        if (fires(FAULT_SILENT, n)) {
            // The camera goes quiet on this transfer; the next request wakes it.
            cam.awaiting = AWAIT_NONE;
            return;
        }
        seq = next_seq(seq);
        if (at >= cam.msg_len)
            break;
    }
    send_eot(fires(FAULT_CRC_EOT, ++cam.transfer_eots));
    cam.awaiting = AWAIT_FILE;
}

void start_reply(std::vector<uint8_t> reply)
{
    cam.reply = std::move(reply);
    cam.awaiting = AWAIT_REPLY;
    send_reply();
}

void refuse_download(const Request &req, uint8_t status)
{
    line_note("download refused, status " + std::to_string(status));
    std::vector<uint8_t> h = file_header(req, status, 0, 0, 0);
    start_reply(std::move(h));
}

void download(const Request &req)
{
    long n = ++cam.downloads;
    if (fires(FAULT_REFUSE, n)) {
        refuse_download(req, REPLY_REFUSED);
        return;
    }
    std::vector<uint8_t> data;
    uint8_t status = file_contents(req, *cam.opts, &data);
    if (status != 0) {
        refuse_download(req, status);
        return;
    }
    long persist_from = fault_n(FAULT_CRC_PERSIST);
    cam.persist = persist_from > 0 && n >= persist_from;
    // Damaged as many times as the host repeats a message before it gives
    // up (1 + 32), then clean: the noise stops just then.
    cam.burst_left = fires(FAULT_NOISE_BURST, n) ? 33 : 0;
    cam.file.swap(data);
    cam.msg_start = 0;
    send_file_message();
}

// The camera busy before it answers: what the host sends meanwhile waits
// on the line.
void be_late(double seconds)
{
    line_note("answering " + std::to_string(seconds) + " s late");
    const long long until = now_us() + static_cast<long long>(seconds * 1e6);
    struct timespec tick = {0, 10 * 1000 * 1000};
    while (!line_stop && now_us() < until)
        nanosleep(&tick, nullptr);
}

// The faults that answer the Nth request with something else than its
// reply.  True when one did.
bool answered_instead(long n)
{
    if (fires(FAULT_PCMODE, n)) {
        // The camera announces it has left PC mode (its menu was touched).
        const uint8_t msg[16] = {0x02, 0, 0, 0, 0x02, 0, 0x04, 0, 0x10, 0, 0, 0, 0, 0, 0, 0};
        send_data(0, msg, sizeof msg);
        cam.awaiting = AWAIT_NONE;
        return true;
    }
    if (fires(FAULT_LONG, n)) {
        std::vector<uint8_t> junk(LONG_FRAME_DATA, 0x55);
        send_data(0, junk.data(), junk.size());
        cam.awaiting = AWAIT_NONE;
        return true;
    }
    return false;
}

// The answer to the Nth request, cam.request, once acknowledged.
void answer_request(long n)
{
    if (answered_instead(n))
        return;

    Request req;
    if (!request_parse(cam.request.data(), cam.request.size(), &req)) {
        line_note("request too short");
        Request none{-1, nullptr, nullptr, 0};
        start_reply(reply_single(none, *cam.opts));
        return;
    }
    line_note(request_note(req));
    cam.wrong_eot = fires(FAULT_EOTSEQ, n);
    if (req.type == REQ_LIST) {
        start_reply(reply_listing(req, *cam.opts));
    } else if (req.type == REQ_FILE) {
        download(req);
    } else {
        const long single = ++cam.singles;
        std::vector<uint8_t> reply = fires(FAULT_REFUSE_SINGLE, single)
                                         ? reply_refused(req, REPLY_REFUSED)
                                         : reply_single(req, *cam.opts);
        if (fires(FAULT_SILENT_REPLY, single)) {
            // The reply is lost on the way: the camera waits for the
            // answer to a transmission the host never saw.
            cam.reply = std::move(reply);
            cam.awaiting = AWAIT_REPLY;
            return;
        }
        start_reply(std::move(reply));
    }
}

bool slow()
{
    return cam.opts->slow_ms >= 0;
}

// A slow camera takes its time over what it reads from the card, the
// downloads; a request behind one still owed waits its turn.
bool slow_to_answer()
{
    if (!slow())
        return false;
    Request req;
    return !cam.pending.empty() ||
           (request_parse(cam.msg.data(), cam.msg.size(), &req) && req.type == REQ_FILE);
}

// A slow camera keeps the acknowledged request for later (see --slow).
void keep_for_later(long n)
{
    const bool busy = !cam.pending.empty() || cam.awaiting != AWAIT_NONE;
    if (busy && cam.opts->slow_busy == BUSY_IGNORE) {
        line_note("busy: request " + std::to_string(n) + " ignored");
        return;
    }
    if (busy && cam.opts->slow_busy == BUSY_DROP) {
        line_note("busy: the earlier answer dropped");
        cam.pending.clear();
        cam.pending_due_us = 0;
        cam.awaiting = AWAIT_NONE;
    }
    cam.pending.push_back(Camera::Pending{cam.msg, n});
}

// The front request of a slow camera, answered when its time has come and
// the camera is done with the one before.
void answer_pending()
{
    if (cam.pending.empty() || cam.awaiting != AWAIT_NONE)
        return;
    if (cam.pending_due_us == 0) {
        cam.pending_due_us = now_us() + cam.opts->slow_ms * 1000;
        line_note("answering request " + std::to_string(cam.pending.front().n) + " in " +
                  std::to_string(cam.opts->slow_ms) + " ms");
    }
    if (now_us() < cam.pending_due_us)
        return;
    Camera::Pending p = std::move(cam.pending.front());
    cam.pending.erase(cam.pending.begin());
    cam.pending_due_us = 0;
    cam.request = std::move(p.msg);
    answer_request(p.n);
}

void babble()
{
    uint8_t junk[64];
    for (uint8_t &b : junk) {
        cam.babble_state ^= cam.babble_state << 13;
        cam.babble_state ^= cam.babble_state >> 7;
        cam.babble_state ^= cam.babble_state << 17;
        b = static_cast<uint8_t>(cam.babble_state >> 24);
    }
    line_send_raw(junk, sizeof junk);
}

void handle_request(uint8_t eot_seq)
{
    long n = ++cam.requests;
    cam.have_msg = false;
    cam.probing = false;
    if (fires(FAULT_BABBLE, n)) {
        line_note("babbling from now on");
        cam.babbling = true;
        return;
    }
    if (const Fault *late = fires(FAULT_LATE, n))
        be_late(late->seconds);
    cam.reply_bad = fires(FAULT_CRC_REPLY, n);

    if (fires(FAULT_DEAF, n)) {
        // Its batteries died: not even this request's EOT is acknowledged.
        line_set_deaf();
        return;
    }
    if (fires(FAULT_UNKNOWN, n))
        send_link(eot_seq, PKT_STRANGE, 0);
    else
        send_link(fires(FAULT_ACKSEQ, n) ? static_cast<uint8_t>(eot_seq + 1) : eot_seq,
                  PKT_ACK, 0);
    if (slow_to_answer()) {
        keep_for_later(n);
        return;
    }
    cam.request = cam.msg;
    answer_request(n);
}

int speed_of(uint8_t code)
{
    switch (code) {
    case 0x02: return 9600;
    case 0x08: return 19200;
    case 0x20: return 38400;
    case 0x40: return 57600;
    case 0x80: return 115200;
    default: return 0;
    }
}

void handle_eot(const Packet &p)
{
    if (p.eot_status == EOT_PROBE) {
        // A speed-confirmation probe or a ping: answered with its number.
        if (cam.probing && cam.connections == 1 && cam.probes_ignored < fault_n(FAULT_PROBE)) {
            ++cam.probes_ignored;
            line_note("probe " + std::to_string(cam.probes_ignored) + " unanswered");
            return;
        }
        send_link(p.seq, PKT_ACK, 0);
        return;
    }
    if (cam.have_speed) {
        cam.have_speed = false;
        send_link(p.seq, PKT_ACK, 0);
        int bps = speed_of(cam.speed_code);
        if (bps) {
            line_set_speed(bps);
            line_note("speed " + std::to_string(bps));
        }
        cam.probing = true;
        return;
    }
    if (cam.have_msg) {
        handle_request(p.seq);
        return;
    }
    send_link(p.seq, PKT_ACK, 0);
}

void handle_ack(const Packet &p)
{
    if (cam.awaiting == AWAIT_NONE) {
        line_note("acknowledge with nothing to answer ignored");
        return;
    }
    if (p.ack_status == NACK) {
        line_note("nack: repeating");
        if (cam.awaiting == AWAIT_FILE)
            send_file_message();
        else
            send_reply();
        return;
    }
    if (p.ack_status != 0) {
        line_note("acknowledge with status " + std::to_string(p.ack_status) + " ignored");
        return;
    }
    if (cam.awaiting == AWAIT_FILE && fires(FAULT_RESEND, ++cam.file_acks)) {
        // As if this acknowledge had been lost: the camera's own retry.
        send_file_message();
        return;
    }
    cam.eot_number = static_cast<uint8_t>(cam.eot_number + 1);
    if (cam.awaiting == AWAIT_FILE) {
        cam.msg_start += cam.msg_len;
        if (cam.msg_start < cam.file.size()) {
            send_file_message();
            return;
        }
        cam.file.clear();
    }
    cam.awaiting = AWAIT_NONE;
}

void reset_session()
{
    cam.eot_number = 0;
    cam.awaiting = AWAIT_NONE;
    cam.reply.clear();
    cam.file.clear();
    cam.have_msg = cam.have_speed = cam.probing = false;
    cam.wrong_eot = cam.reply_bad = false;
    cam.pending.clear();
    cam.pending_due_us = 0;
}

// The host's frames the line loses on cue: its Nth ACK, closing EOT or
// request message.
bool lost_on_the_way(const Packet &p)
{
    if (p.type == PKT_ACK)
        return fires(FAULT_LOSE_ACK, ++cam.host_acks) != nullptr;
    if (p.type == PKT_EOT && p.eot_status == EOT_CLOSES)
        return fires(FAULT_LOSE_EOT, ++cam.host_eots) != nullptr;
    if (p.type == PKT_MSG || p.type == PKT_MSG_ALT)
        return fires(FAULT_LOSE_REQUEST, ++cam.host_requests) != nullptr;
    return false;
}

void handle_sync()
{
    line_note("sync");
    if (cam.connections == 0 && ++cam.sync_bursts < fault_n(FAULT_SYNC)) {
        line_note("sync " + std::to_string(cam.sync_bursts) + " unanswered");
        return;
    }
    reset_session();
    line_set_speed(9600);
    cam.on = true;
    ++cam.connections;
    cam.reply = greeting_message(*cam.opts);
    cam.awaiting = AWAIT_GREETING;
    send_reply();
}

// A camera that waits a limited time for the answer to its EOT takes the
// first frame that arrives meanwhile as that answer: an acknowledge moves
// on, anything else (a NACK, or the host already sending something new)
// has the message sent again.
bool taken_as_answer(const Packet &p)
{
    if (cam.opts->patience_ms < 0 || cam.awaiting == AWAIT_NONE)
        return false;
    if (p.type == PKT_ACK || p.type == PKT_CAMERA_OFF)
        return false;
    line_note("packet type " + std::to_string(p.type) + " taken as the answer: repeating");
    if (cam.awaiting == AWAIT_FILE)
        send_file_message();
    else
        send_reply();
    return true;
}

// A new request's message: whatever the camera was still sending is
// dropped (a slow camera keeps it, see keep_for_later); the request is
// carried out when its EOT arrives.
void take_request_message(const Packet &p)
{
    if (slow()) {
        if (cam.opts->slow_busy == BUSY_DROP)
            cam.awaiting = AWAIT_NONE;
    } else {
        if (cam.awaiting == AWAIT_FILE)
            line_note("transfer abandoned");
        cam.awaiting = AWAIT_NONE;
    }
    cam.msg.assign(p.data, p.data + p.length);
    cam.have_msg = true;
}

void handle_frame(const LineEvent &ev)
{
    if (!cam.on)
        return;  // switched off: only a synchronisation wakes the camera
    if (cam.babbling)
        return;  // the line carries garbage: nothing reaches the camera
    Packet p{};
    PacketVerdict v{};
    serial_parse_packet(ev.frame, ev.length, &p, &v);
    // The camera's receiver throws away whatever fails its check.  Only
    // the camera-off frame is too short to carry a checked CRC.
    bool off_frame = p.type == PKT_CAMERA_OFF && ev.length == 4;
    if (!p.crc_ok || (v.crc_guessed && !off_frame)) {
        line_note("frame with a bad CRC dropped");
        return;
    }
    if (lost_on_the_way(p))
        return;
    if (taken_as_answer(p))
        return;
    switch (p.type) {
    case PKT_MSG:
    case PKT_MSG_ALT:
        take_request_message(p);
        break;
    case PKT_SPEED:
        if (ev.length >= 3) {
            cam.speed_code = ev.frame[2];
            cam.have_speed = true;
        }
        break;
    case PKT_EOT:
        handle_eot(p);
        break;
    case PKT_ACK:
        handle_ack(p);
        break;
    case PKT_CAMERA_OFF:
        line_note("off");
        reset_session();
        cam.on = false;
        line_set_speed_after(9600, POWER_DOWN_MS);
        break;
    default:
        line_note("packet type " + std::to_string(p.type) + " ignored");
        break;
    }
}

} // namespace

void protocol_init(CamsimOptions *opts)
{
    cam = Camera();
    cam.opts = opts;
}

int protocol_wait_ms()
{
    if (cam.opts != nullptr && (cam.babbling || !cam.pending.empty()))
        return 5;
    if (cam.opts == nullptr || cam.opts->patience_ms < 0 || cam.awaiting == AWAIT_NONE)
        return 1000;
    long long left = (cam.answer_due_us - now_us() + 999) / 1000;
    return left < 1 ? 1 : left > 1000 ? 1000 : static_cast<int>(left);
}

void protocol_tick()
{
    if (cam.opts == nullptr)
        return;
    if (cam.babbling && cam.on) {
        babble();
        return;
    }
    answer_pending();
    if (cam.opts == nullptr || cam.opts->patience_ms < 0 || cam.awaiting == AWAIT_NONE)
        return;
    if (now_us() < cam.answer_due_us)
        return;
    line_note("no answer within the patience: transmission given up");
    cam.awaiting = AWAIT_NONE;
    cam.file.clear();
}

void protocol_handle(const LineEvent &ev)
{
    if (ev.kind == LINE_SYNC)
        handle_sync();
    else
        handle_frame(ev);
}

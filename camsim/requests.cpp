#include "camsim/requests.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <sys/stat.h>

#include "camsim/card.h"
#include "camsim/thumb.h"
#include "serial/codec.h"

namespace {

// The requests the camera understands, told apart by the command byte
// (header byte 4), the class byte (byte 7) and the word (bytes 12-15).
// Rows 7 and 11 are one and the same request.
struct Row {
    int type;
    uint8_t command;
    uint8_t cls;
    uint8_t word[4];
};
constexpr Row ROWS[] = {
    {0, 0x01, 0x12, {0x14, 0xf7, 0x8a, 0x00}},  {1, 0x01, 0x11, {0x6a, 0x08, 0x79, 0x04}},
    {2, 0x01, 0x11, {0xea, 0x0c, 0xb1, 0x02}},  {3, 0x04, 0x12, {0x08, 0xd3, 0x9d, 0x00}},
    {4, 0x05, 0x12, {0xfc, 0xd2, 0x9d, 0x00}},  {5, 0x09, 0x11, {0xd8, 0xf7, 0x8a, 0x00}},
    {6, 0x0A, 0x11, {0xdc, 0xf7, 0x8a, 0x00}},  {8, 0x0B, 0x11, {0x94, 0xf6, 0x8a, 0x00}},
    {9, 0x0B, 0x11, {0xa8, 0xf6, 0x8a, 0x00}},  {10, 0x0D, 0x11, {0x8c, 0xf4, 0x7b, 0x00}},
    {11, 0x0A, 0x12, {0x70, 0xf6, 0x8a, 0x00}}, {12, 0x03, 0x12, {0x78, 0xf3, 0x64, 0x01}},
    {13, 0x0E, 0x11, {0x00, 0x00, 0x00, 0x00}}, {14, 0x05, 0x11, {0x00, 0x00, 0x00, 0x00}},
    {15, 0x06, 0x11, {0x00, 0x00, 0x00, 0x00}}, {16, 0x03, 0x11, {0x00, 0x00, 0x00, 0x00}},
};

constexpr size_t PLAIN_REPLY_LEN = 20;
constexpr uint8_t DIR_RECORD_ATTR = 0x80;
constexpr size_t RECORD_FIXED_LEN = 10;  // attribute, 1 byte, size, time
constexpr size_t HOSTILE_FILE_LEN = 100;
// The camera's packets stay below the host's frame buffer (SERIAL_FRAME_MAX).
constexpr size_t MAX_ID_LEN = 3900;

// Reply messages echo the request's command, class and word, with the
// class's top bit marking a reply.
std::vector<uint8_t> reply_message(const Request &req, size_t len)
{
    uint8_t h[16] = {};
    put_le32(h, 1);
    if (req.header) {
        h[4] = req.header[4];
        h[7] = static_cast<uint8_t>(req.header[7] | 0x80);
        std::memcpy(h + 12, req.header + 12, 4);
    }
    put_le16(h + 8, static_cast<uint16_t>(len));
    std::vector<uint8_t> m(h, h + sizeof h);
    m.resize(std::max(len, sizeof h), 0);
    return m;
}

std::string text_at(const Request &req, size_t offset)
{
    if (offset >= req.payload_len)
        return "";
    const char *p = reinterpret_cast<const char *>(req.payload + offset);
    size_t n = req.payload_len - offset;
    return std::string(p, strnlen(p, n));
}

std::string path_of(const Request &req)
{
    switch (req.type) {
    case REQ_LIST: return text_at(req, 1);
    case REQ_FILE: return text_at(req, 8);
    case REQ_DELETE:
    case REQ_MKDIR:
    case REQ_RMDIR: return text_at(req, 0);
    case REQ_SET_ATTR: return text_at(req, 4);
    case REQ_UPLOAD: return text_at(req, 12);
    default: return "";
    }
}

bool has_path(int type)
{
    return type == REQ_LIST || type == REQ_FILE || type == REQ_DELETE || type == REQ_MKDIR ||
           type == REQ_RMDIR || type == REQ_SET_ATTR || type == REQ_UPLOAD;
}

void append_record(std::vector<uint8_t> *m, uint8_t attrib, uint32_t size, int32_t time,
                   const std::string &name)
{
    size_t at = m->size();
    m->resize(at + RECORD_FIXED_LEN);
    (*m)[at] = attrib;
    put_le32(&(*m)[at + 2], size);
    put_le32(&(*m)[at + 6], static_cast<uint32_t>(time));
    m->insert(m->end(), name.begin(), name.end());
    m->push_back(0);
}

bool below_dcim(const CardPath &p)
{
    return p.is_dir && p.rel.size() > 5 && strncasecmp(p.rel.c_str(), "DCIM/", 5) == 0;
}

// The extra entry of the hostile-name fault lives in every folder below
// D:\DCIM; true when `path` names it.
bool is_hostile(const std::string &path, const CamsimOptions &opts)
{
    if (!opts.hostile)
        return false;
    std::string tail = "\\" + opts.hostile_name;
    if (path.size() <= tail.size() || path.compare(path.size() - tail.size(), tail.size(), tail))
        return false;
    CardPath parent;
    return card_resolve(path.substr(0, path.size() - tail.size()), &parent) == CARD_OK &&
           below_dcim(parent);
}

// Bytes of uploads the card has taken in the emulator's lifetime, for the
// room the full@N fault leaves it.
uint64_t uploaded_bytes = 0;

// True when a chunk of `length` bytes would overflow a card that the
// full@N fault leaves with room for N bytes of uploads.
bool card_full_for(uint32_t length, const CamsimOptions &opts)
{
    for (const Fault &f : opts.faults)
        if (f.kind == FAULT_FULL && uploaded_bytes + length > static_cast<uint64_t>(f.n))
            return true;
    return false;
}

uint8_t upload_chunk(const Request &req, const CamsimOptions &opts)
{
    if (req.payload_len < 13)
        return REPLY_BAD_REQUEST;
    uint32_t offset = le32(req.payload + 4), length = le32(req.payload + 8);
    std::string path = text_at(req, 12);
    size_t start = 12 + path.size() + 1;
    if (start > req.payload_len || length > req.payload_len - start)
        return REPLY_BAD_REQUEST;
    if (card_full_for(length, opts))
        return REPLY_CARD_FULL;
    const uint8_t status = card_write_chunk(path, offset, req.payload + start, length);
    if (status == 0)
        uploaded_bytes += length;
    return status;
}

uint8_t disk_info(const Request &req, uint32_t *size, uint32_t *free_bytes)
{
    if (req.payload_len < 1 || (req.payload[0] != 'D' && req.payload[0] != 'd'))
        return REPLY_NO_DRIVE;
    uint64_t s, f;
    card_space(&s, &f);
    *size = static_cast<uint32_t>(std::min<uint64_t>(s, INT32_MAX));
    *free_bytes = static_cast<uint32_t>(std::min<uint64_t>(f, INT32_MAX));
    return 0;
}

// Status of a request whose reply says only how it went: the card's
// answer to a file operation, "done" for the rows that do nothing here.
uint8_t plain_status(const Request &req, const CamsimOptions &opts)
{
    switch (req.type) {
    case REQ_DELETE:
        return card_delete(path_of(req));
    case REQ_MKDIR:
        return card_mkdir(path_of(req));
    case REQ_RMDIR:
        return card_rmdir(path_of(req));
    case REQ_SET_ATTR:
        if (req.payload_len < 5)
            return REPLY_BAD_REQUEST;
        return card_set_attrib(path_of(req), static_cast<uint8_t>(le32(req.payload)));
    case REQ_UPLOAD:
        return upload_chunk(req, opts);
    case 2: case 3: case 4: case 8:
        return 0;
    default:
        return REPLY_BAD_REQUEST;
    }
}

// The identity: firmware digits D, C, B, A at 24, the text from 28.
std::vector<uint8_t> id_reply(const Request &req, const CamsimOptions &opts)
{
    std::string id = opts.id.substr(0, MAX_ID_LEN);
    std::vector<uint8_t> m = reply_message(req, 28 + id.size() + 1);
    for (int i = 0; i < 4; ++i)
        m[static_cast<size_t>(24 + i)] = opts.firmware[3 - i];
    std::memcpy(&m[28], id.data(), id.size());
    return m;
}

} // namespace

bool request_parse(const uint8_t *msg, size_t len, Request *req)
{
    if (len < 16)
        return false;
    req->header = msg;
    req->type = -1;
    for (const Row &r : ROWS) {
        if (msg[4] == r.command && msg[7] == r.cls && std::memcmp(msg + 12, r.word, 4) == 0)
            req->type = r.type;
    }
    // The length field says where the payload ends; never beyond the packet.
    size_t total = std::max<size_t>(le16(msg + 8), 16);
    req->payload = msg + 16;
    req->payload_len = std::min(total, len) - 16;
    return true;
}

std::string request_note(const Request &req)
{
    std::string note = "request type=" + std::to_string(req.type);
    if (req.type == REQ_FILE && req.payload_len > 0 && req.payload[0] == 1)
        note += " thumbnail";
    if (has_path(req.type)) {
        note += " path=";
        char buf[8];
        for (unsigned char c : path_of(req)) {
            if (c < 0x20 || c == 0x7f) {
                std::snprintf(buf, sizeof buf, "\\x%02x", c);
                note += buf;
            } else {
                note += static_cast<char>(c);
            }
        }
    }
    return note;
}

int32_t camera_clock(int64_t t)
{
    time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return static_cast<int32_t>(static_cast<uint32_t>(t + local.tm_gmtoff));
}

std::vector<uint8_t> reply_single(const Request &req, const CamsimOptions &opts)
{
    std::vector<uint8_t> m;
    switch (req.type) {
    case REQ_ID:
        return id_reply(req, opts);
    case REQ_DISK:
        m = reply_message(req, 23);
        std::memcpy(&m[20], "D:", 3);
        break;
    case REQ_DISK_INFO: {
        m = reply_message(req, 28);
        uint32_t size = 0, free_bytes = 0;
        m[16] = disk_info(req, &size, &free_bytes);
        put_le32(&m[20], size);
        put_le32(&m[24], free_bytes);
        break;
    }
    case REQ_POWER:
        m = reply_message(req, 24);
        m[20] = opts.power == POWER_LOW ? 5 : 6;
        m[23] = opts.power == POWER_AC ? 0x10 : 0x00;
        break;
    case REQ_DATE:
        m = reply_message(req, 24);
        put_le32(&m[20], static_cast<uint32_t>(camera_clock(std::time(nullptr))));
        break;
    default:
        m = reply_message(req, PLAIN_REPLY_LEN);
        m[16] = plain_status(req, opts);
        break;
    }
    return m;
}

std::vector<uint8_t> reply_refused(const Request &req, uint8_t status)
{
    std::vector<uint8_t> m = reply_message(req, PLAIN_REPLY_LEN);
    m[16] = status;
    return m;
}

std::vector<uint8_t> reply_listing(const Request &req, const CamsimOptions &opts)
{
    CardPath dir;
    CardStatus s = card_resolve(path_of(req), &dir);
    if (s == CARD_OK && !dir.is_dir)
        s = CARD_WRONG_KIND;
    if (s != CARD_OK) {
        // Byte 21 would be the folder record's attribute: 0 says "no listing".
        std::vector<uint8_t> m = reply_message(req, 22);
        m[16] = s;
        return m;
    }
    std::vector<uint8_t> m = reply_message(req, 21);
    std::vector<CardEntry> entries = card_list(dir);
    struct stat st;
    int64_t dir_mtime = stat(dir.host.c_str(), &st) == 0 ? st.st_mtime : 0;
    append_record(&m, DIR_RECORD_ATTR, 0, camera_clock(dir_mtime), dir.camera);
    if (opts.hostile && below_dcim(dir)) {
        CardEntry h{opts.hostile_name, false, HOSTILE_FILE_LEN, std::time(nullptr), CARD_ATTR_NEW};
        entries.insert(std::upper_bound(entries.begin(), entries.end(), h,
                                        [](const CardEntry &a, const CardEntry &b) {
                                            return a.name < b.name;
                                        }),
                       h);
    }
    for (const CardEntry &e : entries)
        append_record(&m, e.attrib, e.size, camera_clock(e.mtime), e.name);
    append_record(&m, 0, 0, 0, "");
    put_le16(&m[8], static_cast<uint16_t>(m.size()));
    return m;
}

uint8_t file_contents(const Request &req, const CamsimOptions &opts, std::vector<uint8_t> *data)
{
    if (req.payload_len < 9)
        return REPLY_BAD_REQUEST;
    bool thumbnail = req.payload[0] == 1;
    std::string path = path_of(req);
    if (is_hostile(path, opts)) {
        if (thumbnail)
            return CARD_NOT_JPEG;
        data->assign(HOSTILE_FILE_LEN, 'x');
        return 0;
    }
    CardPath p;
    CardStatus s = card_resolve(path, &p);
    if (s != CARD_OK)
        return s;
    std::vector<uint8_t> bytes;
    s = card_read(p, &bytes);
    if (s != CARD_OK)
        return s;
    if (!thumbnail) {
        data->swap(bytes);
        return 0;
    }
    return thumb_make(bytes, data) ? 0 : CARD_NOT_JPEG;
}

std::vector<uint8_t> file_header(const Request &req, uint8_t status, uint32_t total,
                                 uint32_t offset, uint32_t count)
{
    std::vector<uint8_t> h = reply_message(req, FILE_HEADER_LEN);
    h[16] = status;
    put_le32(&h[20], total);
    put_le32(&h[24], offset);
    put_le32(&h[28], count);
    put_le16(&h[8], static_cast<uint16_t>(FILE_HEADER_LEN + count));
    return h;
}

std::vector<uint8_t> greeting_message(const CamsimOptions &opts)
{
    Request none{-1, nullptr, nullptr, 0};
    std::vector<uint8_t> m = reply_message(none, 22);
    m.insert(m.end(), opts.greeting.begin(), opts.greeting.end());
    m.push_back(0);
    put_le16(&m[8], static_cast<uint16_t>(m.size()));
    return m;
}

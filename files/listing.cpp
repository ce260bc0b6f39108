#include "files/listing.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "camera/message.h"
#include "files/manage.h"
#include "files/select.h"
#include "serial/output.h"
#include "shell/settings.h"

namespace {

// Record layout inside the joined reply: attribute, one unused byte, size
// (LE32), time (LE32, signed), then the zero-terminated name.
constexpr size_t FIRST_RECORD = 21;
constexpr size_t RECORD_NAME = 10;

// A runaway line must not make us swallow memory without end: no card
// directory comes anywhere near this many bytes of listing.
constexpr size_t LISTING_REPLY_MAX = 16u * 1024 * 1024;

// Copies the zero-terminated text at reply[pos] into out[CAMERA_PATH_MAX],
// cut to fit.
// Returns the offset after its terminator, or 0 when the terminator lies
// beyond the received bytes.
size_t copy_name(const uint8_t *reply, size_t length, size_t pos, char *out)
{
    size_t n = 0;
    while (pos + n < length && reply[pos + n] != 0) {
        if (n < CAMERA_PATH_MAX - 1)
            out[n] = static_cast<char>(reply[pos + n]);
        n++;
    }
    out[n < CAMERA_PATH_MAX - 1 ? n : CAMERA_PATH_MAX - 1] = 0;
    if (pos + n >= length)
        return 0;
    return pos + n + 1;
}

// Path the listing asks for, following the shell's rules for `cd`.
// Returns 0, or -1 when ".." has no parent.
int resolve_listing_path(const char *path, char *out)
{
    if (path == nullptr) {
        std::snprintf(out, CAMERA_PATH_MAX, "%s", listing_cache.cwd);
        return 0;
    }
    if (std::strcmp(path, "..") == 0) {
        const char *slash = std::strrchr(listing_cache.cwd, '\\');
        if (slash == nullptr)
            return -1;
        size_t n = static_cast<size_t>(slash - listing_cache.cwd);
        std::memcpy(out, listing_cache.cwd, n);
        out[n] = 0;
        return 0;
    }
    // "D:" alone names the drive's root here, unlike the other commands.
    if (path[0] != 0 && path[1] == ':') {
        std::snprintf(out, CAMERA_PATH_MAX, "%s", path);
        return 0;
    }
    camera_join_path(listing_cache.cwd, path, out);
    return 0;
}

// Appends a data packet's bytes to the reply.  Returns 0, or -1 after the
// system's text when memory ran out or the reply grew beyond reason.
int append_packet(std::vector<uint8_t> &reply, const Packet &pkt)
{
    if (!serial_is_data_packet(pkt) || pkt.data == nullptr || pkt.length == 0)
        return 0;
    if (reply.size() + pkt.length > LISTING_REPLY_MAX) {
        errno = ENOMEM;
        std::perror("realloc");
        return -1;
    }
    try {
        reply.insert(reply.end(), pkt.data, pkt.data + pkt.length);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        std::perror("realloc");
        return -1;
    }
    return 0;
}

// The listing reply is one message: its packets' data joined.  A message
// the engine drops (damaged, or sent again) is forgotten; the kept one is
// refused when its directory record is missing.
bool listing_packet(void *ctx, const Packet &pkt, bool)
{
    return append_packet(*static_cast<std::vector<uint8_t> *>(ctx), pkt) == 0;
}

void listing_drop(void *ctx, bool)
{
    static_cast<std::vector<uint8_t> *>(ctx)->clear();
}

SinkVerdict listing_kept(void *ctx)
{
    const auto &reply = *static_cast<std::vector<uint8_t> *>(ctx);
    // A transmission without a listing (the camera closed it at once), or
    // a refusal: nothing to parse.
    if (reply.size() <= FIRST_RECORD || reply[FIRST_RECORD] != ATTR_BIT7)
        return SINK_FAILED;
    return SINK_DONE;
}

}  // namespace

int camera_parse_listing(const uint8_t *reply, size_t length, int clock_offset,
                         ListingReply *out)
{
    out->directory[0] = 0;
    out->entries.clear();
    if (length < FIRST_RECORD + RECORD_NAME + 1 || reply[FIRST_RECORD] != ATTR_BIT7)
        return -1;
    size_t pos = copy_name(reply, length, FIRST_RECORD + RECORD_NAME, out->directory);
    if (pos == 0)
        return -1;
    for (;;) {
        if (pos + RECORD_NAME >= length)
            return -1;  // the reply ends before its end record
        const uint8_t *rec = reply + pos;
        if (rec[RECORD_NAME] == 0)
            return 0;
        ListingEntry entry{};
        entry.attrib = rec[0];
        entry.size = le32(rec + 2);
        entry.mtime = static_cast<int64_t>(static_cast<int32_t>(le32(rec + 6))) + clock_offset;
        pos = copy_name(reply, length, pos + RECORD_NAME, entry.name);
        if (pos == 0)
            return -1;
        out->entries.push_back(entry);
    }
}

void camera_print_entry(const ListingEntry *entry)
{
    char name[CAMERA_PATH_MAX];
    camera_printable(entry->name, name);
    const char *ext = "";
    if (char *dot = std::strchr(name, '.')) {
        *dot = 0;
        ext = dot + 1;
    }
    uint8_t a = entry->attrib;
    bool dir = (a & ATTR_DIRECTORY) != 0;
    std::printf("%c%c%c%c  ", (a & ATTR_PROTECTED) ? 'p' : '-', dir ? 'i' : '-',
                (a & ATTR_NEW) ? 'n' : '-', (a & ATTR_BIT7) ? 'e' : '-');
    std::printf("%-8s%c%-3s  ", name, dir ? ' ' : '.', ext);
    if (dir) {
        std::printf("%-11s", "<DIR>");
    } else {
        char size[32];
        if (entry->size < 1024)
            std::snprintf(size, sizeof size, "%d bytes", static_cast<int>(entry->size));
        else
            std::snprintf(size, sizeof size, "%dk", static_cast<int>(entry->size / 1024));
        std::printf("%11.11s", size);
    }
    time_t t = static_cast<time_t>(entry->mtime);
    const char *when = std::ctime(&t);
    std::printf("  %s", when != nullptr ? when : "?\n");
}

namespace {

// A folder the camera will not list (missing, or a file) comes back as a
// short reply with its status after the message header.  Other failures
// have been reported where they were met.
void report_refused_listing(const char *target, const std::vector<uint8_t> &reply)
{
    constexpr size_t STATUS = REPLY_STATUS_OFFSET;
    if (reply.size() <= STATUS || reply[STATUS] == 0)
        return;
    char shown[CAMERA_PATH_MAX], why[CAMERA_REFUSAL_MAX];
    out_error("ls %s: %s\n", camera_printable(target, shown),
              camera_refusal_text(reply[STATUS], why));
}

}  // namespace

int camera_list_folder(const char *target, ListingReply *out)
{
    size_t n = std::strlen(target);
    int payload_len = static_cast<int>(n) + 4;
    if (camera_check_payload(payload_len) != 0)
        return -1;
    uint8_t payload[CAMERA_PATH_MAX + 4] = {};
    std::memcpy(payload + 1, target, n);
    std::vector<uint8_t> reply;
    if (camera_exchange(MSG_LIST, payload, static_cast<uint16_t>(payload_len),
                        ExchangeSink{&reply, listing_packet, listing_drop, listing_kept}) != 0 ||
        camera_parse_listing(reply.data(), reply.size(), settings.clock_offset, out) != 0) {
        report_refused_listing(target, reply);
        return -1;
    }
    return 0;
}

int camera_ls(const char *path)
{
    char target[CAMERA_PATH_MAX];
    if (resolve_listing_path(path, target) != 0)
        return -1;
    // The camera's catalogue files are not directories it can list.
    if (std::strstr(target, ".CTG") != nullptr)
        return 0;
    ListingReply parsed;
    if (camera_list_folder(target, &parsed) != 0)
        return -1;

    std::snprintf(listing_cache.cwd, sizeof listing_cache.cwd, "%s", parsed.directory);
    cache_clear();
    std::printf("\n");
    long long total = 0;
    int count = 0;
    for (const ListingEntry &entry : parsed.entries) {
        if (!select_takes(entry))
            continue;
        if (count < CACHE_MAX)
            cache_append(&entry);
        else if (count == CACHE_MAX)
            std::printf("listing cache full, only the first %d entries are kept\n", CACHE_MAX);
        if (count >= CACHE_MAX)
            listing_cache.dropped++;
        total += entry.size;
        camera_print_entry(&entry);
        count++;
    }
    std::printf("        %d files      %lld bytes\n\n", count, total);
    return 0;
}

int camera_last_ls(void)
{
    if (listing_cache.count == 0) {
        std::printf("last ls is empty\n");
        return -1;
    }
    for (int i = 0; i < listing_cache.count; i++)
        camera_print_entry(&listing_cache.entries[i]);
    if (settings.debug) {
        char shown[CAMERA_PATH_MAX];  // as the camera's reply spelled it
        std::printf("last ls pathname was: %s\n", camera_printable(listing_cache.cwd, shown));
        std::printf("lastls successful\n");
    }
    return 0;
}

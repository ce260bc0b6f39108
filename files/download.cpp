#include "files/download.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "camera/message.h"
#include "files/cache.h"
#include "files/localfile.h"
#include "files/manage.h"
#include "files/saveas.h"
#include "serial/fatal.h"
#include "serial/output.h"
#include "serial/port.h"
#include "shell/settings.h"

namespace {

// File-data reply header: the reply layout of camera/message.h, the file's
// total size its first value, file bytes from 36 on.
constexpr uint16_t HEADER_STATUS = REPLY_STATUS_OFFSET;
constexpr uint16_t HEADER_TOTAL = REPLY_VALUES_OFFSET;
constexpr uint16_t HEADER_LEN = 36;

// The request's path length travels in one byte (length + 1).
constexpr size_t DOWNLOAD_PATH_MAX = 254;

// Dots drawn on the current bar, of the 80 a whole bar has.
int progress_position = 0;
constexpr int BAR_WIDTH = 80;
constexpr const char *BAR_DOTS =
    "................................................................................";

// The status byte of the camera's refusal of the last download, 0 when it
// did not refuse.
int download_refusal = 0;

// What `get` prints when the local file cannot be created.
constexpr const char *OPEN_WARNING = "===WARNING===> open";

DownloadStep fail(DownloadState *st)
{
    std::free(st->buffer);
    st->buffer = nullptr;
    return DL_FAILED;
}

// The sound header that opens every message: a refusal before the file
// started, the announced total, the buffer at the first header.
// DL_CONTINUE when the message's file bytes may follow.
DownloadStep take_header(DownloadState *st, const Packet *pkt)
{
    if (st->buffer == nullptr && pkt->length > HEADER_STATUS && pkt->data[HEADER_STATUS] != 0) {
        st->refused = true;
        st->refusal = pkt->data[HEADER_STATUS];
        return DL_CONTINUE;
    }
    if (pkt->length < HEADER_LEN)
        return fail(st);
    const uint32_t total = le32(pkt->data + HEADER_TOTAL);
    if (st->buffer != nullptr)
        return total == st->total ? DL_CONTINUE : fail(st);
    if (total > 0x7FFFFFFFu)
        return fail(st);
    st->buffer = static_cast<uint8_t *>(std::malloc(total > 0 ? total : 1));
    if (st->buffer == nullptr)
        return DL_NOMEM;
    st->total = total;
    return DL_CONTINUE;
}

// Stores file bytes at the next write position.  A trusted run that
// overruns the announced total breaks the protocol; a damaged one is cut
// at the buffer's end, as its repeat will overwrite it anyway.
DownloadStep store_bytes(DownloadState *st, const uint8_t *bytes, uint32_t count, bool trusted)
{
    if (count > st->total - st->received) {
        if (trusted)
            return fail(st);
        count = st->total - st->received;
    }
    if (count > 0)
        std::memcpy(st->buffer + st->received, bytes, count);
    st->received += count;
    return DL_CONTINUE;
}

// What the user sees of one transfer: the "Getting" line and the bar once
// a sound header named the size, an 'X' per repeat.  Repeats asked for
// before that wait for the bar, or for the end of a transfer that never
// got one.
struct TransferView {
    int held_marks;
};

// Prints the repeat marks held back so far, one 'X' each.
void print_marks(TransferView *view)
{
    for (; view->held_marks > 0; --view->held_marks)
        out_row("X");
}

void view_start(TransferView *view, const char *path, uint32_t total)
{
    char shown[CAMERA_PATH_MAX];  // the name came from the camera's listing
    std::printf("Getting %s, %d bytes\n", camera_printable(path, shown), static_cast<int>(total));
    progress_bar(0, total, 0);
    out_begin_row();  // the dots' row, under the scale, waits for its end
    print_marks(view);
}

void view_repeat(TransferView *view, bool started)
{
    view->held_marks++;
    if (started)
        print_marks(view);
}

// A transfer that ends without a file closes its row.
void view_end(TransferView *view)
{
    print_marks(view);
    out_end_row();
}

// The MSG_FILE request's payload: flag (1: the thumbnail), path length + 1
// at byte 5, the path from byte 8.  Its length, or 0 when the path cannot
// travel.
int file_request(const char *path, int thumbnail, uint8_t *payload)
{
    const size_t n = std::strlen(path);
    if (n > DOWNLOAD_PATH_MAX) {
        std::printf("camera path too long\n");
        return 0;
    }
    payload[0] = thumbnail ? 1 : 0;
    payload[5] = static_cast<uint8_t>(n + 1);
    std::memcpy(payload + 8, path, n);
    const int payload_len = static_cast<int>(n) + 9;
    return camera_check_payload(payload_len) == 0 ? payload_len : 0;
}

// The download as the exchange's consumer: the file state and what the
// user sees of it.
struct Transfer {
    DownloadState st;
    TransferView view;
    const char *path;
    bool empty;
};

bool transfer_packet(void *ctx, const Packet &pkt, bool trusted)
{
    auto *t = static_cast<Transfer *>(ctx);
    const bool started = t->st.buffer != nullptr;
    const DownloadStep step = download_feed(&t->st, &pkt, trusted);
    if (step == DL_NOMEM) {
        errno = ENOMEM;
        std::perror("malloc");
        throw FatalCondition{FATAL_NO_MEMORY};
    }
    if (step != DL_CONTINUE)
        return false;
    if (!started && t->st.buffer != nullptr)
        view_start(&t->view, t->path, t->st.total);
    if (t->st.buffer != nullptr)
        progress_bar(1, t->st.total, t->st.received);
    return true;
}

void transfer_drop(void *ctx, bool nacked)
{
    auto *t = static_cast<Transfer *>(ctx);
    if (nacked)
        view_repeat(&t->view, t->st.buffer != nullptr);
    download_drop(&t->st);
}

SinkVerdict transfer_kept(void *ctx)
{
    auto *t = static_cast<Transfer *>(ctx);
    const DownloadStep step = download_message_kept(&t->st);
    t->empty = step == DL_EMPTY;
    switch (step) {
    case DL_MORE:
        return SINK_MORE;
    case DL_DONE:
        return SINK_DONE;
    case DL_FAILED:
        return SINK_BREACH;
    default:
        return SINK_FAILED;
    }
}

// A file of the listing must arrive at its listed size: any other length
// is a file the camera did not send as listed.
bool listed_size_matches(const char *path, uint32_t received, TransferView *view)
{
    if (!cache_describes(path))
        return true;
    const ListingEntry *entry = cache_find_nocase(path);
    if (entry == nullptr || entry->size == received)
        return true;
    view_end(view);
    char shown[CAMERA_PATH_MAX];
    out_error("%s: %u bytes received, the listing says %u\n", camera_printable(path, shown),
              static_cast<unsigned>(received), static_cast<unsigned>(entry->size));
    return false;
}

}  // namespace

void download_begin(DownloadState *st)
{
    *st = DownloadState{};
    st->buffer = nullptr;
}

void download_end(DownloadState *st)
{
    std::free(st->buffer);
    st->buffer = nullptr;
}

DownloadStep download_feed(DownloadState *st, const Packet *pkt, bool trusted)
{
    st->packets++;
    if (st->refused || !serial_is_data_packet(*pkt))
        return DL_CONTINUE;
    // A message in which a packet failed its check is asked for again, and
    // the repeat puts its bytes where these go: they are stored as they
    // come, kept inside the buffer, and the bar follows them.  Nothing the
    // message says is trusted, though: not a total (no buffer is allocated
    // for it and a different one ends nothing), not a refusal, not a length
    // that overruns the file.
    const uint8_t *bytes = pkt->data;
    uint32_t count = pkt->length;
    if (pkt->seq == 0) {
        if (!trusted) {
            if (st->buffer == nullptr || pkt->length < HEADER_LEN)
                return DL_CONTINUE;
        } else {
            const DownloadStep step = take_header(st, pkt);
            if (step != DL_CONTINUE || st->refused)
                return step;
        }
        bytes += HEADER_LEN;
        count -= HEADER_LEN;
    } else if (st->buffer == nullptr) {
        // File bytes before any sound header: nowhere to put them.
        return trusted ? fail(st) : DL_CONTINUE;
    }
    return store_bytes(st, bytes, count, trusted);
}

DownloadStep download_message_kept(DownloadState *st)
{
    if (st->refused)
        return DL_REFUSED;
    if (st->buffer == nullptr)
        return DL_EMPTY;
    if (st->received == st->total)
        return DL_DONE;
    st->checkpoint = st->received;
    return DL_MORE;
}

void download_drop(DownloadState *st)
{
    // The camera sends the whole message again; its bytes go where these
    // went.
    st->received = st->checkpoint;
    if (st->buffer == nullptr)
        st->refused = false;
}

void print_download_rate(time_t start, int count)
{
    // Whole seconds: a transfer within one second counts as one.
    long elapsed = static_cast<long>(std::time(nullptr) - start);
    if (elapsed == 0)
        elapsed = 1;
    std::printf("Downloaded in %ld seconds, %ld bytes/s\n", elapsed, count / elapsed);
}

void progress_bar(int mode, uint32_t total, uint32_t done)
{
    if (mode == 0) {
        progress_position = 0;
        std::printf("0------------------25------------------50------------------75----------------100\n");
        return;
    }
    if (total == 0)
        return;
    float fraction = static_cast<float>(done) / static_cast<float>(total);
    int target = static_cast<int>(fraction * 80.0f);
    // More than a bar's width only when more came than was announced.
    for (int left = target - progress_position; left > 0; left -= BAR_WIDTH)
        out_row("%.*s", left < BAR_WIDTH ? left : BAR_WIDTH, BAR_DOTS);
    progress_position = target;
}

void progress_bar_end(void)
{
    if (progress_position > 0)
        out_line("\n");
    progress_position = 0;
}

uint8_t *camera_download(const char *path, int thumbnail, int *received)
{
    download_refusal = 0;
    uint8_t payload[DOWNLOAD_PATH_MAX + 9] = {};
    const int payload_len = file_request(path, thumbnail, payload);
    if (payload_len == 0)
        return nullptr;
    Transfer t{};
    download_begin(&t.st);
    t.path = path;
    const int r = camera_exchange(MSG_FILE, payload, static_cast<uint16_t>(payload_len),
                                  ExchangeSink{&t, transfer_packet, transfer_drop, transfer_kept});
    if (r != 0 || (thumbnail == 0 && !listed_size_matches(path, t.st.received, &t.view))) {
        view_end(&t.view);
        download_end(&t.st);
        if (t.empty)
            *received = 0;
        if (t.st.refused)
            download_refusal = t.st.refusal;
        return nullptr;
    }
    *received = static_cast<int>(t.st.received);
    return t.st.buffer;
}

void camera_report_no_file(const char *path)
{
    char why[CAMERA_REFUSAL_MAX];
    const ListingEntry *entry = cache_describes(path) ? cache_find_nocase(path) : nullptr;
    if (entry != nullptr && (entry->attrib & ATTR_DIRECTORY)) {
        // A bulk download hands the camera every entry; a folder is no
        // file that went missing.
        char shown[CAMERA_PATH_MAX];
        out_error("%s: a folder, not downloaded\n", camera_printable(path, shown));
        return;
    }
    if (download_refusal != 0)
        camera_refusal_text(static_cast<unsigned>(download_refusal), why);
    else if (serial_line_state() != SERIAL_LINE_OK)
        std::snprintf(why, sizeof why, "the line to the camera is gone");
    else
        std::snprintf(why, sizeof why, "the download failed");
    local_report_unsaved(path, why);
}

namespace {

// True when the local `target` may be an earlier copy of the listed new
// file at `path` whose mark the camera never took (switched off between
// the save and the mark): it has the listed size.  Such a file is fetched
// again and compared rather than refused, or the photo stays new for ever
// and every later run of new files ends in failure.
bool may_be_saved_already(const char *path, bool listed, const char *target)
{
    const ListingEntry *entry = listed ? cache_find_nocase(path) : nullptr;
    return !settings.overwrite && entry != nullptr && (entry->attrib & ATTR_NEW) != 0 &&
           (entry->attrib & ATTR_DIRECTORY) == 0 && local_file_size(target) == entry->size;
}

// The photo fetched again for may_be_saved_already: 0 when the local file
// holds the same bytes ("already here"), else -1 after saying that both
// are kept.
int compare_with_local(const char *target, const uint8_t *bytes, int count)
{
    char shown[CAMERA_PATH_MAX];
    const int same = local_file_holds(target, bytes, static_cast<size_t>(count));
    if (same == 1) {
        std::printf("%s: already here\n", camera_printable(target, shown));
        return 0;
    }
    local_report_unsaved(target, same == 0 ? "a different file of that name and size is here; "
                                             "both are kept"
                                           : "the file of that name here cannot be read");
    return -1;
}

// Saves the downloaded bytes at `target` (its folders made first), with
// the file times.  0 or -1 (said why).
int save_download(const char *target, const uint8_t *bytes, int count, long long mtime)
{
    if (saveas_make_folders(target) != 0 ||
        local_save_file(target, bytes, static_cast<size_t>(count), settings.overwrite, mtime,
                        OPEN_WARNING) != 0)
        return -1;
    std::printf("\n");
    return 0;
}

// The listed entry whose time a download of the typed name takes: a plain
// get, that of exactly the typed name; an import finds it as the card
// does, ignoring case, because its pattern cannot do without the time.
const ListingEntry *timing_entry(const char *typed)
{
    return saveas_pattern != nullptr ? cache_find_nocase(typed) : cache_find_exact(typed);
}

}  // namespace

int camera_get_file(const char *name, SavedFile *saved)
{
    char typed[CAMERA_PATH_MAX];
    std::snprintf(typed, sizeof typed, "%s", name);
    char *path = saved->camera_path;
    camera_make_path(typed, path);
    char local[CAMERA_PATH_MAX];
    if (local_name_for(path, settings.lowercase != 0, local) != 0)
        return -1;

    // The cache describes listing_cache.cwd only; a full path into another
    // directory must not borrow the times or the mark of a namesake here.
    bool listed = cache_describes(path);
    const ListingEntry *timed = listed ? timing_entry(typed) : nullptr;
    long long mtime = timed != nullptr ? timed->mtime : 0;

    // Where the file goes is decided before the transfer: on a serial line
    // a photo costs minutes, and a file that could not be saved there is
    // not worth them.
    char *target = saved->local_path;
    if (saveas_target(path, local, timed != nullptr, static_cast<time_t>(mtime), target,
                      CAMERA_PATH_MAX) != 0)
        return -1;
    const bool recheck = may_be_saved_already(path, listed, target);
    if (!recheck && local_target_free(target, settings.overwrite, OPEN_WARNING) != 0) {
        save_tally.existing++;
        return -1;
    }

    time_t start = std::time(nullptr);
    int count = 0;
    uint8_t *buffer = camera_download(path, 0, &count);
    if (buffer == nullptr) {
        camera_report_no_file(path);
        return -1;
    }
    out_end_row();
    print_download_rate(start, count);
    const int stored = recheck ? compare_with_local(target, buffer, count)
                               : save_download(target, buffer, count, mtime);
    std::free(buffer);
    if (stored != 0)
        return -1;
    saved->written = !recheck;
    return 0;
}

void camera_mark_downloaded(const char *path)
{
    // The cache describes listing_cache.cwd only: a namesake elsewhere
    // keeps its mark.  The mark is the camera's last attribute byte less
    // ATTR_NEW (camera_set_attrib keeps the cache up to date, so a
    // protection set since the listing stays).
    if (!cache_describes(path))
        return;
    const ListingEntry *entry = cache_find_nocase(path);
    if (entry == nullptr)
        return;
    const auto cleared = static_cast<uint8_t>(entry->attrib & ~ATTR_NEW);
    if (camera_set_attrib(camera_basename(path), cleared) == 0)
        return;
    // The photo is safe here; the camera will offer it as new again.
    char shown[CAMERA_PATH_MAX];
    out_error("%s: saved, but not marked downloaded on the camera\n", camera_printable(path, shown));
}

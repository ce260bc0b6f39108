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
#include "serial/frame.h"
#include "serial/link.h"
#include "serial/port.h"
#include "shell/exits.h"
#include "shell/hook.h"
#include "shell/settings.h"

namespace {

// File-data reply header: 16 bytes of message header, status at 16, the
// file's total size at 20, file bytes from 36 on.
constexpr uint16_t HEADER_STATUS = 16;
constexpr uint16_t HEADER_TOTAL = 20;
constexpr uint16_t HEADER_LEN = 36;

// The request's path length travels in one byte (length + 1).
constexpr size_t DOWNLOAD_PATH_MAX = 254;

// Dots drawn on the current bar.
int progress_position = 0;

DownloadStep fail(DownloadState *st)
{
    std::free(st->buffer);
    st->buffer = nullptr;
    return DL_FAILED;
}

// The camera's EOT closes one message: a damaged one is asked for again,
// a sound one acknowledged, the last one ends the file.
DownloadStep end_of_message(DownloadState *st)
{
    if (st->damaged) {
        // The camera sends the whole message again; its bytes go where
        // the damaged ones went.
        st->received = st->checkpoint;
        st->damaged = false;
        if (++st->repeats > DOWNLOAD_MAX_REPEATS)
            return fail(st);
        return DL_NACK;
    }
    st->repeats = 0;
    if (st->buffer == nullptr)
        return DL_EMPTY;
    if (st->received == st->total)
        return DL_DONE;
    st->checkpoint = st->received;
    return DL_ACK;
}

// The sound header that opens every message: a refusal before the file
// started, the announced total, the buffer at the first header.
// DL_CONTINUE when the message's file bytes may follow.
DownloadStep take_header(DownloadState *st, const Packet *pkt)
{
    if (st->buffer == nullptr && pkt->length > HEADER_STATUS && pkt->data[HEADER_STATUS] != 0)
        return DL_REFUSED;
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
    bool open_line;  // progress dots or repeat marks wait for a line end
    int held_marks;
};

// Prints the repeat marks held back so far, one 'X' each.
void print_marks(TransferView *view)
{
    for (; view->held_marks > 0; --view->held_marks) {
        std::putchar('X');
        view->open_line = true;
    }
    std::fflush(stdout);
}

void view_start(TransferView *view, const char *path, uint32_t total)
{
    char shown[CAMERA_PATH_MAX];  // the name came from the camera's listing
    std::printf("Getting %s, %d bytes\n", camera_printable(path, shown), static_cast<int>(total));
    progress_bar(0, total, 0);
    view->open_line = true;
    print_marks(view);
}

void view_repeat(TransferView *view, bool started)
{
    view->held_marks++;
    if (started)
        print_marks(view);
}

// A transfer that ends without a file closes its line.
void view_end(TransferView *view)
{
    print_marks(view);
    if (view->open_line)
        std::printf("\n");
}

// Feeds the transfer's next packet to the state machine into *step.  A
// silence the camera was asked to break by a repeated request gives no
// step (false); a lost EOT counts as a damaged message; a camera that stays
// silent fails the transfer (*quiet).
bool next_step(DownloadState *st, Packet *pkt, int *silences, bool *quiet, DownloadStep *step)
{
    if (camera_get_reply_packet(pkt) != nullptr) {
        *silences = 0;
        *step = download_feed(st, pkt);
        return true;
    }
    const ReplySilence silence = camera_reply_silence(silences);
    if (silence == SILENCE_RESENT)
        return false;
    if (silence == SILENCE_LOST_END) {
        // The camera's EOT was lost with (part of) its message: the
        // message is asked for again like a damaged one.
        pkt->type = PKT_EOT;
        pkt->crc_ok = 0;
        *step = download_feed(st, pkt);
        return true;
    }
    download_end(st);
    *quiet = true;
    *step = DL_FAILED;
    return true;
}

// Whatever the camera still sends of an abandoned transfer must not be
// taken as the answer to the next request.  An EOT left unanswered is
// answered first: a damaged or lost one as the next number.
void run_out_transfer(const Packet &pkt)
{
    serial_count_given_up();
    int pending = -1;
    if (pkt.type == PKT_EOT)
        pending = pkt.crc_ok ? pkt.seq : serial_ack_counter();
    camera_run_out(pending);
}

// The MSG_FILE request: flag (1: the thumbnail), path length + 1 at byte 5,
// the path from byte 8.  False, with nothing sent, when the path cannot
// travel.
bool request_file(const char *path, int thumbnail)
{
    const size_t n = std::strlen(path);
    if (n > DOWNLOAD_PATH_MAX) {
        std::printf("camera path too long\n");
        return false;
    }
    uint8_t payload[DOWNLOAD_PATH_MAX + 9] = {};
    payload[0] = thumbnail ? 1 : 0;
    payload[5] = static_cast<uint8_t>(n + 1);
    std::memcpy(payload + 8, path, n);
    const int payload_len = static_cast<int>(n) + 9;
    if (camera_check_payload(payload_len) != 0)
        return false;
    camera_send_request(MSG_FILE, payload, static_cast<uint16_t>(payload_len));
    return true;
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

DownloadStep download_feed(DownloadState *st, const Packet *pkt)
{
    st->packets++;
    if (!pkt->crc_ok)
        st->damaged = true;
    if (pkt->type == PKT_EOT)
        return end_of_message(st);
    if (!serial_is_data_packet(*pkt))
        return DL_CONTINUE;

    // A message in which a packet failed its check is asked for again, and
    // the repeat puts its bytes where these go: they are stored as they
    // come, kept inside the buffer, and the bar follows them.  Nothing the
    // message says is trusted, though: not a total (no buffer is allocated
    // for it and a different one ends nothing), not a refusal, not a length
    // that overruns the file.
    const bool trusted = !st->damaged;
    const uint8_t *bytes = pkt->data;
    uint32_t count = pkt->length;
    if (pkt->seq == 0) {
        if (!trusted) {
            if (st->buffer == nullptr || pkt->length < HEADER_LEN)
                return DL_CONTINUE;
        } else {
            const DownloadStep step = take_header(st, pkt);
            if (step != DL_CONTINUE)
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
    for (int i = progress_position; i < target; i++)
        std::putchar('.');
    std::fflush(stdout);
    progress_position = target;
}

uint8_t *camera_download(const char *path, int thumbnail, int *received)
{
    if (!request_file(path, thumbnail))
        return nullptr;
    DownloadState st;
    download_begin(&st);
    TransferView view{false, 0};
    int silences = 0;    // read timeouts in a row
    bool quiet = false;  // given up because the camera fell silent
    for (;;) {
        Packet pkt{};
        const bool started = st.buffer != nullptr;
        DownloadStep step;
        if (!next_step(&st, &pkt, &silences, &quiet, &step))
            continue;
        switch (step) {
        case DL_CONTINUE:
            if (!started && st.buffer != nullptr)
                view_start(&view, path, st.total);
            if (st.buffer != nullptr && pkt.type != PKT_EOT)
                progress_bar(1, st.total, st.received);
            break;
        case DL_ACK:
            serial_answer_eot(pkt.seq);
            break;
        case DL_NACK:
            view_repeat(&view, st.buffer != nullptr);
            serial_send_ack(NACK);
            break;
        case DL_DONE: {
            serial_answer_eot(pkt.seq);
            *received = static_cast<int>(st.received);
            uint8_t *buffer = st.buffer;
            st.buffer = nullptr;
            return buffer;
        }
        case DL_EMPTY:
            serial_send_ack(0);
            *received = 0;
            view_end(&view);
            return nullptr;
        case DL_REFUSED:
            serial_wait_eot();
            serial_send_ack(0);
            view_end(&view);
            return nullptr;
        case DL_NOMEM:
            errno = ENOMEM;
            std::perror("malloc");
            close_and_exit(1);
        case DL_FAILED:
            // Whatever the camera still sends of this transfer must not be
            // taken as the answer to the next request.
            view_end(&view);
            if (!quiet)
                run_out_transfer(pkt);
            return nullptr;
        }
    }
}

int camera_get_file(const char *name)
{
    char typed[CAMERA_PATH_MAX];
    std::snprintf(typed, sizeof typed, "%s", name);
    char path[CAMERA_PATH_MAX];
    camera_make_path(typed, path);

    const char *slash = std::strrchr(path, '\\');
    if (slash == nullptr)
        return -1;
    char local[CAMERA_PATH_MAX];
    std::snprintf(local, sizeof local, "%s", slash + 1);
    if (settings.lowercase)
        for (char *p = local; *p != 0; p++)
            if (*p >= 'A' && *p <= 'Z')
                *p = static_cast<char>(*p - 'A' + 'a');
    if (local_name_check(local) != 0)
        return -1;

    // The cache describes listing_cache.cwd only; a full path into another
    // directory must not borrow the times or the mark of a namesake here.
    bool listed = cache_describes(path);
    const ListingEntry *timed = listed ? cache_find_exact(typed) : nullptr;
    long long mtime = timed != nullptr ? timed->mtime : 0;

    // Where the file goes is decided before the transfer: on a serial line
    // a photo costs minutes, a file that is there already nothing.
    char target[CAMERA_PATH_MAX];
    if (saveas_target(path, local, timed != nullptr, static_cast<time_t>(mtime), target,
                      sizeof target) != 0 ||
        saveas_exists(target, settings.overwrite, "===WARNING===> open"))
        return -1;

    time_t start = std::time(nullptr);
    int count = 0;
    uint8_t *buffer = camera_download(path, 0, &count);
    if (buffer == nullptr)
        return -1;
    std::printf("\n");
    print_download_rate(start, count);

    int saved = saveas_make_folders(target) != 0
                    ? -1
                    : local_save_file(target, buffer, static_cast<size_t>(count),
                                      settings.overwrite, mtime, "===WARNING===> open");
    std::free(buffer);
    if (saved != 0)
        return -1;
    std::printf("\n");
    hook_run(target, path);

    if (listed)
        if (const ListingEntry *entry = cache_find_nocase(path))
            camera_set_attrib(camera_basename(path),
                              static_cast<uint8_t>(entry->attrib & ~ATTR_NEW));
    return 0;
}

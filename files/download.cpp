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
#include "serial/frame.h"
#include "serial/link.h"
#include "serial/port.h"
#include "shell/exits.h"
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

int fail(DownloadState *st)
{
    std::free(st->buffer);
    st->buffer = nullptr;
    return DL_FAILED;
}

bool is_data_packet(const Packet *pkt)
{
    return pkt->type == PKT_MSG || pkt->type == PKT_MSG_ALT;
}

// Prints the repeat marks held back so far, one 'X' each.
void print_marks(int *held, bool *open_line)
{
    for (; *held > 0; --*held) {
        std::putchar('X');
        *open_line = true;
    }
    std::fflush(stdout);
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

int download_feed(DownloadState *st, const Packet *pkt)
{
    st->packets++;
    if (!pkt->crc_ok)
        st->damaged = 1;

    if (pkt->type == PKT_EOT) {
        if (st->damaged) {
            // The camera sends the whole message again; its bytes go where
            // the damaged ones went.
            st->received = st->checkpoint;
            st->damaged = 0;
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

    if (!is_data_packet(pkt))
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
            if (st->buffer == nullptr && pkt->length > HEADER_STATUS &&
                pkt->data[HEADER_STATUS] != 0)
                return DL_REFUSED;
            if (pkt->length < HEADER_LEN)
                return fail(st);
            uint32_t total = le32(pkt->data + HEADER_TOTAL);
            if (st->buffer == nullptr) {
                if (total > 0x7FFFFFFFu)
                    return fail(st);
                st->buffer = static_cast<uint8_t *>(std::malloc(total > 0 ? total : 1));
                if (st->buffer == nullptr)
                    return DL_NOMEM;
                st->total = total;
            } else if (total != st->total) {
                return fail(st);
            }
        }
        bytes += HEADER_LEN;
        count -= HEADER_LEN;
    } else if (st->buffer == nullptr) {
        // File bytes before any sound header: nowhere to put them.
        return trusted ? fail(st) : DL_CONTINUE;
    }
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
    size_t n = std::strlen(path);
    if (n > DOWNLOAD_PATH_MAX) {
        std::printf("camera path too long\n");
        return nullptr;
    }
    uint8_t payload[DOWNLOAD_PATH_MAX + 9] = {};
    payload[0] = thumbnail ? 1 : 0;
    payload[5] = static_cast<uint8_t>(n + 1);
    std::memcpy(payload + 8, path, n);
    int payload_len = static_cast<int>(n) + 9;
    if (camera_check_payload(payload_len) != 0)
        return nullptr;
    camera_send_request(MSG_FILE, payload, static_cast<uint16_t>(payload_len));

    DownloadState st;
    download_begin(&st);
    bool open_line = false;  // progress dots or repeat marks wait for a line end
    // Repeats asked for before a sound header named the file's size: their
    // marks wait for the bar, or for the end of a transfer that never got one.
    int held_marks = 0;
    int silences = 0;    // read timeouts in a row
    bool quiet = false;  // given up because the camera fell silent
    for (;;) {
        Packet pkt{};
        int step;
        bool started = st.buffer != nullptr;
        if (camera_get_reply_packet(&pkt) != nullptr) {
            silences = 0;
            step = download_feed(&st, &pkt);
        } else {
            const int silence = camera_reply_silence(&silences);
            if (silence == SILENCE_RESENT)
                continue;
            if (silence == SILENCE_LOST_END) {
                // The camera's EOT was lost with (part of) its message: the
                // message is asked for again like a damaged one.
                pkt.type = PKT_EOT;
                pkt.crc_ok = 0;
                step = download_feed(&st, &pkt);
            } else {
                download_end(&st);
                step = DL_FAILED;
                quiet = true;
            }
        }
        switch (step) {
        case DL_CONTINUE:
            if (!started && st.buffer != nullptr) {
                char shown[CAMERA_PATH_MAX];  // the name came from the camera's listing
                std::printf("Getting %s, %d bytes\n", camera_printable(path, shown),
                            static_cast<int>(st.total));
                progress_bar(0, st.total, 0);
                open_line = true;
                print_marks(&held_marks, &open_line);
            }
            if (st.buffer != nullptr && pkt.type != PKT_EOT)
                progress_bar(1, st.total, st.received);
            break;
        case DL_ACK:
            serial_answer_eot(pkt.seq);
            break;
        case DL_NACK:
            held_marks++;
            if (st.buffer != nullptr)
                print_marks(&held_marks, &open_line);
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
            print_marks(&held_marks, &open_line);
            if (open_line)
                std::printf("\n");
            return nullptr;
        case DL_REFUSED:
            serial_wait_eot();
            serial_send_ack(0);
            print_marks(&held_marks, &open_line);
            if (open_line)
                std::printf("\n");
            return nullptr;
        case DL_NOMEM:
            errno = ENOMEM;
            std::perror("malloc");
            close_and_exit(1);
        default:
            // Whatever the camera still sends of this transfer must not be
            // taken as the answer to the next request.
            print_marks(&held_marks, &open_line);
            if (open_line)
                std::printf("\n");
            if (!quiet) {
                serial_count_given_up();
                // An EOT left unanswered is answered first: a damaged or lost
                // one as the next number.
                int pending = -1;
                if (pkt.type == PKT_EOT)
                    pending = pkt.crc_ok ? pkt.seq : serial_ack_counter();
                camera_run_out(pending);
            }
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

    time_t start = std::time(nullptr);
    int count = 0;
    uint8_t *buffer = camera_download(path, 0, &count);
    if (buffer == nullptr)
        return -1;
    long elapsed = static_cast<long>(std::time(nullptr) - start);
    if (elapsed == 0)
        elapsed = 1;
    std::printf("\nDownloaded in %ld seconds, %ld bytes/s\n", elapsed, count / elapsed);

    // The cache describes camera_cwd only; a full path into another
    // directory must not borrow the times or the mark of a namesake here.
    bool listed = cache_describes(path);
    long long mtime = 0;
    if (listed)
        if (const ListingEntry *entry = cache_find_exact(typed))
            mtime = entry->mtime;

    int saved = local_save_file(local, buffer, static_cast<size_t>(count), settings.overwrite,
                                mtime, "===WARNING===> open");
    std::free(buffer);
    if (saved != 0)
        return -1;
    std::printf("\n");

    if (listed)
        if (const ListingEntry *entry = cache_find_nocase(path))
            camera_set_attrib(camera_basename(path),
                              static_cast<uint8_t>(entry->attrib & ~ATTR_NEW));
    return 0;
}

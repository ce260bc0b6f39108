#include "files/upload.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "camera/message.h"
#include "files/cache.h"
#include "files/download.h"
#include "files/manage.h"
#include "serial/fdio.h"
#include "serial/output.h"
#include "serial/port.h"

namespace {

// Chunk payload: 2, offset, length (LE32 each), the target path and its
// zero, then the chunk.
constexpr size_t CHUNK_HEADER = 12;

// The target name when none is given: the source's last path component,
// which the camera takes only with one dot at most.  nullptr after the
// message when it has more.
const char *default_target(const char *source)
{
    const char *slash = std::strrchr(source, '/');
    const char *name = slash != nullptr ? slash + 1 : source;
    int dots = 0;
    for (const char *p = name; *p != 0; p++)
        dots += *p == '.';
    if (dots >= 2) {
        std::printf("sorry, only one dot allowed in target filename\n");
        return nullptr;
    }
    return name;
}

// What a failed upload left on the card, on stderr after `why`: the
// camera writes a chunk at its offset, and the first chunk makes the file,
// so a refusal at byte `stored` leaves that many bytes there (or no file).
void report_left_on_card(const char *path, const char *why, uint32_t stored, long long total)
{
    char shown[CAMERA_PATH_MAX];
    camera_printable(path, shown);
    if (stored == 0)
        out_error("upload %s: %s; nothing of it was stored\n", shown, why);
    else if (total >= 0)
        out_error("upload %s: %s; the card holds its first %lu of %lld bytes\n", shown, why,
                  static_cast<unsigned long>(stored), total);
    else
        out_error("upload %s: %s; the card holds its first %lu bytes\n", shown, why,
                  static_cast<unsigned long>(stored));
}

enum ChunkOutcome { CHUNK_TAKEN, CHUNK_UNANSWERED, CHUNK_STOP };

// Sends the `n` bytes at `offset` as one MSG_UPLOAD request to `path`.
// CHUNK_STOP when the request cannot travel or the camera refused the
// chunk (both said); CHUNK_UNANSWERED when no reply came.
ChunkOutcome send_chunk(const char *path, uint32_t offset, const uint8_t *chunk, size_t n,
                        long long total)
{
    // Each chunk request must travel as one packet, and the target path
    // takes its room from the chunk: a long path leaves room only for a
    // short file.  The camera could not be sent such a request.
    const size_t path_len = std::strlen(path);
    const size_t head = CHUNK_HEADER + path_len + 1;
    const size_t len = head + n;
    if (len > static_cast<size_t>(MESSAGE_MAX_PAYLOAD)) {
        std::printf("target path too long\n");
        return CHUNK_STOP;
    }
    uint8_t payload[MESSAGE_MAX_PAYLOAD];
    put_le32(payload, 2);
    put_le32(payload + 4, offset);
    put_le32(payload + 8, static_cast<uint32_t>(n));
    std::memcpy(payload + CHUNK_HEADER, path, path_len + 1);
    std::memcpy(payload + head, chunk, n);
    Packet reply{};
    if (camera_request(MSG_UPLOAD, payload, static_cast<uint16_t>(len), &reply) != 0)
        return CHUNK_UNANSWERED;
    const unsigned status = camera_reply_status(&reply);
    if (status == 0)
        return CHUNK_TAKEN;
    char why[CAMERA_REFUSAL_MAX + 32];
    camera_refusal_text(status, why);
    std::snprintf(why + std::strlen(why), sizeof why - std::strlen(why), " at byte %lu",
                  static_cast<unsigned long>(offset));
    progress_bar_end();
    report_left_on_card(path, why, offset, total);
    return CHUNK_STOP;
}

// True when the upload cannot go on after the chunk of `n` bytes at
// `offset`: the line is gone, or the camera answers nothing at all any
// more (each said on stderr with what is left).  A line that went during
// the chunk may have carried it whole, or none of it.
bool upload_cut_off(const char *path, uint32_t offset, size_t n, long long total)
{
    char shown[CAMERA_PATH_MAX];
    if (serial_line_state() != SERIAL_LINE_OK) {
        progress_bar_end();
        const unsigned long most = static_cast<unsigned long>(offset) + n;
        camera_printable(path, shown);
        if (total >= 0)
            out_error("upload %s: the line to the camera is gone; the card holds at most its "
                      "first %lu of %lld bytes\n", shown, most, total);
        else
            out_error("upload %s: the line to the camera is gone; the card holds at most its "
                      "first %lu bytes\n", shown, most);
        return true;
    }
    if (camera_unanswered_requests() < CAMERA_UNANSWERED_LIMIT)
        return false;
    progress_bar_end();
    out_error("The camera does not answer: upload stopped at byte %lu, %s on the card is "
              "incomplete\n",
              static_cast<unsigned long>(offset), camera_printable(path, shown));
    return true;
}

// Sends the file's chunks to `path`, the bar following them when `total`
// is known (>= 0).  Returns 0, or -1 when reading failed, a chunk could
// not travel, the camera refused a chunk (the upload stops there: a later
// chunk would leave a hole in the file) or left one unanswered (the
// remaining chunks still go, but the file may be incomplete: said on
// stderr), or the upload was cut off.
int send_chunks(int fd, const char *path, long long total)
{
    uint8_t chunk[UPLOAD_CHUNK];
    uint32_t offset = 0;
    bool unanswered = false;
    for (;;) {
        const ssize_t n = fdio_read(fd, chunk, UPLOAD_CHUNK);
        if (n == 0)
            break;
        if (n < 0) {
            progress_bar_end();
            std::perror("read");
            return -1;
        }
        const ChunkOutcome outcome = send_chunk(path, offset, chunk, static_cast<size_t>(n), total);
        if (outcome == CHUNK_STOP)
            return -1;
        unanswered = unanswered || outcome == CHUNK_UNANSWERED;
        if (upload_cut_off(path, offset, static_cast<size_t>(n), total))
            return -1;
        offset += static_cast<uint32_t>(n);
        if (total >= 0)
            progress_bar(1, static_cast<uint32_t>(total), offset);
    }
    progress_bar_end();
    if (unanswered) {
        char shown[CAMERA_PATH_MAX];
        out_error("upload %s: a chunk went unanswered; the file on the card may be incomplete\n",
                  camera_printable(path, shown));
        return -1;
    }
    return 0;
}

}  // namespace

int camera_upload(const char *source, const char *target)
{
    const char *name = target != nullptr ? target : default_target(source);
    if (name == nullptr)
        return -1;
    char path[CAMERA_PATH_MAX];
    camera_make_path(name, path);

    int fd = open(source, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror("open");
        return -1;
    }
    struct stat st;
    long long total = -1;
    if (fstat(fd, &st) != 0) {
        std::perror("stat");
        std::printf("WARING: orvik will not show the progress bar\n");
        std::printf("\n");
    } else {
        total = static_cast<long long>(st.st_size);
        progress_bar(0, static_cast<uint32_t>(total), 0);
    }
    const int result = send_chunks(fd, path, total);
    close(fd);
    return result;
}

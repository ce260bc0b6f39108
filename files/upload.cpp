#include "files/upload.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "camera/message.h"
#include "files/cache.h"
#include "files/download.h"

namespace {

// Chunk payload: 2, offset, length (LE32 each), the target path and its
// zero, then the chunk.
constexpr size_t CHUNK_HEADER = 12;

ssize_t read_chunk(int fd, uint8_t *out, size_t count)
{
    for (;;) {
        ssize_t n = read(fd, out, count);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

}  // namespace

int camera_upload(const char *source, const char *target)
{
    const char *name = target;
    if (name == nullptr) {
        const char *slash = std::strrchr(source, '/');
        name = slash != nullptr ? slash + 1 : source;
        int dots = 0;
        for (const char *p = name; *p != 0; p++)
            dots += *p == '.';
        if (dots >= 2) {
            std::printf("sorry, only one dot allowed in target filename\n");
            return -1;
        }
    }
    char path[CAMERA_PATH_MAX];
    camera_make_path(name, path);
    const size_t path_len = std::strlen(path);
    const size_t head = CHUNK_HEADER + path_len + 1;

    int fd = open(source, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror("open");
        return -1;
    }
    struct stat st;
    bool bar = fstat(fd, &st) == 0;
    if (!bar) {
        std::perror("stat");
        std::printf("WARING: orvik will not show the progress bar\n");
        std::printf("\n");
    } else {
        progress_bar(0, static_cast<uint32_t>(st.st_size), 0);
    }

    uint8_t payload[MESSAGE_MAX_PAYLOAD];
    uint8_t chunk[UPLOAD_CHUNK];
    uint32_t offset = 0;
    int unanswered = 0;
    for (;;) {
        ssize_t n = read_chunk(fd, chunk, UPLOAD_CHUNK);
        if (n == 0)
            break;
        if (n < 0) {
            std::perror("read");
            close(fd);
            return -1;
        }
        // Each chunk request must travel as one packet, and the target
        // path takes its room from the chunk: a long path leaves room only
        // for a short file.  The camera could not be sent such a request.
        size_t len = head + static_cast<size_t>(n);
        if (len > static_cast<size_t>(MESSAGE_MAX_PAYLOAD)) {
            std::printf("target path too long\n");
            close(fd);
            return -1;
        }
        put_le32(payload, 2);
        put_le32(payload + 4, offset);
        put_le32(payload + 8, static_cast<uint32_t>(n));
        std::memcpy(payload + CHUNK_HEADER, path, path_len + 1);
        std::memcpy(payload + head, chunk, static_cast<size_t>(n));
        Packet reply{};
        // A chunk nobody answered may not be on the card; the remaining
        // chunks still go, but the upload cannot be called a success.
        if (camera_request(MSG_UPLOAD, payload, static_cast<uint16_t>(len), &reply) != 0)
            unanswered = 1;
        offset += static_cast<uint32_t>(n);
        if (bar)
            progress_bar(1, static_cast<uint32_t>(st.st_size), offset);
    }
    close(fd);
    return unanswered ? -1 : 0;
}

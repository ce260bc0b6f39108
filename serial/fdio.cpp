#include "serial/fdio.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/types.h>
#include <unistd.h>

// Both programs move files of any size and keep the camera's dates: on a
// 32-bit system the build must select 64-bit file offsets and times
// (_FILE_OFFSET_BITS=64, _TIME_BITS=64), or stat, fstat and readdir fail
// with EOVERFLOW on large files and dates wrap in 2038.
static_assert(sizeof(off_t) == 8, "off_t narrower than 64 bits: build with _FILE_OFFSET_BITS=64");
static_assert(sizeof(time_t) == 8, "time_t narrower than 64 bits: build with _TIME_BITS=64");

ssize_t fdio_read(int fd, void *bytes, size_t count)
{
    ssize_t n;
    do
        n = read(fd, bytes, count);
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t fdio_read_full(int fd, void *bytes, size_t count)
{
    auto *p = static_cast<unsigned char *>(bytes);
    size_t got = 0;
    while (got < count) {
        const ssize_t n = fdio_read(fd, p + got, count - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

ssize_t fdio_write(int fd, const void *bytes, size_t count)
{
    if (count == 0)
        return 0;
    ssize_t n;
    do
        n = write(fd, bytes, count);
    while (n < 0 && errno == EINTR);
    if (n == 0) {
        errno = EIO;
        return -1;
    }
    return n;
}

int fdio_write_all(int fd, const void *bytes, size_t count)
{
    const auto *p = static_cast<const unsigned char *>(bytes);
    while (count > 0) {
        const ssize_t n = fdio_write(fd, p, count);
        if (n < 0)
            return -1;
        p += n;
        count -= static_cast<size_t>(n);
    }
    return 0;
}

void fdio_signal_write(int fd, const char *text)
{
    const int saved = errno;
    fdio_write_all(fd, text, std::strlen(text));
    errno = saved;
}

int fdio_format_decimal(char *out, int value)
{
    unsigned v = static_cast<unsigned>(value);
    int n = 0;
    if (value < 0) {
        out[n++] = '-';
        v = 0u - v;
    }
    char digits[10];
    int k = 0;
    do {
        digits[k++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (k > 0)
        out[n++] = digits[--k];
    return n;
}

#include "serial/fdio.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

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

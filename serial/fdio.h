// File-descriptor I/O that survives interrupted and partial transfers.
//
// A signal that arrives while read(2) or write(2) waits makes it fail with
// EINTR, and a write to a terminal, pipe or full disk may take only part of
// what it was given.  These calls retry the first and resume the second, so
// that their callers see a transfer either done or failed.  They call
// nothing but read(2) and write(2), so every one of them is
// async-signal-safe; fdio_signal_write is the one made for a signal handler.
#ifndef ORVIK_SERIAL_FDIO_H
#define ORVIK_SERIAL_FDIO_H

#include <cstddef>
#include <sys/types.h>

// One read(2) of at most `count` bytes, repeated while it is interrupted.
// Returns what read(2) returns: the bytes read, 0 at end of file, or -1
// with errno set (never EINTR).
ssize_t fdio_read(int fd, void *bytes, size_t count);

// Reads until `count` bytes have come or the file ends.  Returns the bytes
// read (fewer than count only at end of file), or -1 with errno set; what
// was read before a failure stays in `bytes`.
ssize_t fdio_read_full(int fd, void *bytes, size_t count);

// One write(2) of at most `count` bytes, repeated while it is interrupted.
// Returns the bytes the system took (at least 1), 0 when count is 0, or -1
// with errno set (never EINTR; EIO when a write took no byte at all, which
// would otherwise make a resuming caller spin).
ssize_t fdio_write(int fd, const void *bytes, size_t count);

// Writes all `count` bytes, resuming after every partial write.  Returns 0,
// or -1 with errno set as fdio_write sets it; the bytes taken before the
// failure stay written.
int fdio_write_all(int fd, const void *bytes, size_t count);

// For a signal handler: fdio_write_all of the zero-terminated `text`,
// leaving errno as it was (the interrupted code may be about to read it).
// A failure is not reported: there is nobody left to tell.
void fdio_signal_write(int fd, const char *text);

// The decimal digits of `value`, with a leading '-' when negative, into
// out[0..n) without a terminator (at most 11 characters).  Returns n.  For
// messages built where snprintf may not be called.
int fdio_format_decimal(char *out, int value);

#endif

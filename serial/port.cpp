// The serial port: raw line set-up, speed changes, paced or plain writes,
// block-buffered reads bounded by the read timeout, and the debug trace.
#include "serial/port.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "serial/adapter.h"
#include "serial/fdio.h"
#include "serial/hint.h"
#include "serial/output.h"
#include "serial/speed.h"
#include "shell/settings.h"

namespace {

struct PortState {
    int fd;
    struct termios settings;  // as applied by serial_open / serial_set_speed
    struct termios found;     // as the device had them before serial_open
    int timeout_seconds;
    int timeout_microseconds;
    uint8_t buffer[SERIAL_READ_MAX];
    int available;  // received bytes not yet handed out
    int position;   // index of the next one
};

PortState port = {-1, {}, {}, 1, 0, {}, 0, 0};

// The outcome of the last wait, read or write (see serial_line_state).
SerialLineState line_state = SERIAL_LINE_CLOSED;

void forget_descriptor(void);

// Records a failed transfer: end of file and the errors of a device that
// went away (a pulled USB adapter gives EIO or ENXIO, a closed
// pseudo-terminal master EIO) mark the line gone, anything else an error.
// A gone line's descriptor is closed at once: while any process holds the
// vanished device open, the kernel keeps its number, and the adapter
// plugged in again would come back under a new name.
void note_failure(bool end_of_file, int error)
{
    if (end_of_file || error == EIO || error == ENXIO || error == ENODEV) {
        forget_descriptor();
        line_state = SERIAL_LINE_GONE;
    } else {
        line_state = SERIAL_LINE_ERROR;
    }
}

// Set by the termination handler, which writes the camera-off frames
// through serial_write.  The signal may have interrupted a stdio call half
// way, so from then on the trace must not touch stdio at all.
volatile sig_atomic_t stdio_forbidden = 0;

// Set once port.found holds the settings of the open device.
volatile sig_atomic_t found_saved = 0;

speed_t speed_code(int speed)
{
    const LineSpeed *row = serial_line_speed(speed);
    return row != nullptr ? row->termios_speed : B115200;
}

int bits_per_second(speed_t code)
{
    for (const LineSpeed &s : LINE_SPEEDS)
        if (s.termios_speed == code)
            return s.bits_per_second;
    return 9600;
}

long long now_microseconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// What a write may take beyond its bytes' own time on the line: the
// driver's and a USB adapter's buffers, the scheduler.  An adapter that
// takes nothing for this long is wedged, and no end may wait on it.
constexpr long long WRITE_SLACK_MICROSECONDS = 500000;

// The moment by which `count` bytes, and whatever the driver still holds
// for the line, should have left at the port's present speed: ten bits a
// byte, a quarter more for gaps, and the slack.
long long write_deadline(int count)
{
    int queued = 0;
#ifdef TIOCOUTQ
    if (port.fd < 0 || ioctl(port.fd, TIOCOUTQ, &queued) != 0 || queued < 0)
        queued = 0;
#endif
    const long long bits = (static_cast<long long>(count) + queued) * 10;
    const long long line_time = bits * 1000000 / bits_per_second(cfgetospeed(&port.settings));
    return now_microseconds() + line_time + line_time / 4 + WRITE_SLACK_MICROSECONDS;
}

// Waits until what the driver holds for the line has left, for no longer
// than it should take; async-signal-safe.
void drain_within_deadline(void)
{
#ifdef TIOCOUTQ
    const long long deadline = write_deadline(0);
    int queued = 0;
    while (ioctl(port.fd, TIOCOUTQ, &queued) == 0 && queued > 0 &&
           now_microseconds() < deadline) {
        const struct timespec tick = {0, 10000000};
        nanosleep(&tick, nullptr);
    }
#endif
}

// Closes the descriptor, leaving the line's state to the caller.
void forget_descriptor(void)
{
    if (port.fd < 0)
        return;
    serial_release_exclusive();
    close(port.fd);
    port.fd = -1;
    port.available = 0;
    port.position = 0;
}

// An orderly close: the device gets back the settings it had before
// serial_open (a getty's, a modem program's, the speed a login expects).
void close_descriptor(void)
{
    if (port.fd >= 0)
        serial_restore_settings();
    forget_descriptor();
    line_state = SERIAL_LINE_CLOSED;
}

// Raw 8N1 without flow control, echo, line editing, signal characters or
// output processing; a read returns as soon as one byte is there.  Flags
// not named here are left as the device had them.
void make_raw(struct termios *t)
{
    t->c_iflag |= IGNBRK | IGNPAR;
    t->c_iflag &= ~static_cast<tcflag_t>(BRKINT | INPCK | ISTRIP | INLCR | IGNCR | ICRNL |
                                         IXON | IXOFF | IXANY);
    t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcflag_t no_flow = 0;
#ifdef CRTSCTS
    no_flow |= CRTSCTS;  // Linux: one flag for both directions
#endif
#ifdef CCTS_OFLOW
    no_flow |= CCTS_OFLOW;
#endif
#ifdef CRTS_IFLOW
    no_flow |= CRTS_IFLOW;
#endif
    t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | no_flow);
    t->c_cflag |= CS8 | CREAD | CLOCAL;
    t->c_lflag = 0;
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
    cfsetospeed(t, B9600);
    cfsetispeed(t, B9600);
}

// Waits for input until `deadline` (monotonic microseconds).  1: input is
// ready (or the line's end is there to be read); 0: the time ran out; -1:
// the wait failed, errno set (ENXIO when the descriptor itself is no
// longer valid).  A signal that interrupts the wait does not shorten or
// lengthen it: the wait resumes with what remains.
int wait_for_input(long long deadline)
{
    for (;;) {
        const long long remaining = deadline - now_microseconds();
        if (remaining <= 0)
            return 0;
        struct pollfd p = {port.fd, POLLIN, 0};
        // Rounded up: a wait of less than a millisecond is still a wait.
        const int r = poll(&p, 1, static_cast<int>((remaining + 999) / 1000));
        if (r > 0) {
            if (p.revents & POLLNVAL) {
                errno = ENXIO;
                return -1;
            }
            // A hang-up or an error condition is reported as readable: the
            // read that follows tells which (end of file, EIO, ...).
            return 1;
        }
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

// Waits until `fd` takes at least one of `count` bytes, or `deadline`
// passes (-1, errno ETIMEDOUT).  Returns what write(2) took, or -1 with
// errno set.  A descriptor in blocking mode (not the port's) just writes.
ssize_t write_before(int fd, const uint8_t *bytes, size_t count, long long deadline)
{
    for (;;) {
        const ssize_t w = fdio_write(fd, bytes, count);
        if (w >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return w;
        const long long remaining = deadline - now_microseconds();
        if (remaining <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>((remaining + 999) / 1000)) < 0 && errno != EINTR)
            return -1;
    }
}

// The trace is built with these and written with fdio alone (no stdio, no
// snprintf): the termination handler traces its camera-off frames too.
int append_text(char *line, int n, const char *text)
{
    while (*text != 0)
        line[n++] = *text++;
    return n;
}

}  // namespace

namespace {

// Takes the device for this process alone.  False, after the message and
// the hint, when another program holds it.
bool take_exclusive_use(int fd, const char *path)
{
    // Two programs talking to the camera at once garble each other's
    // frames: take the device for this process alone.  Only a lock held by
    // someone else refuses the port.  Where the node cannot carry an
    // advisory lock at all (FreeBSD device nodes: EOPNOTSUPP; NFS: ENOLCK;
    // some drivers: EINVAL) the port is still ours to use, guarded by
    // TIOCEXCL alone.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
        out_now("Can't open the %s device\n", path);
        serial_open_hint(path, EBUSY);
        return false;
    }
#ifdef TIOCEXCL
    ioctl(fd, TIOCEXCL);  // not every device supports it either
#endif
    // The exclusive flag belongs to the terminal, not to this descriptor:
    // on a pseudo-terminal whose other side stays open it would outlive
    // the process and refuse the next ordinary user; and the settings
    // found are the device's, not ours.  Every exit() gives both back;
    // the termination handler does so itself.
    static bool end_registered = false;
    if (!end_registered)
        end_registered = std::atexit(serial_end) == 0;
    return true;
}

}  // namespace

namespace {

// Opens `path` without waiting: a port left without CLOCAL (by a getty, a
// modem program, a udev rule) would otherwise hold the open until a
// carrier comes, and a three-wire camera cable never raises one.  The
// descriptor stays non-blocking: every wait is a poll, and a read finding
// nothing (another program took the bytes) does not hang.  -1 with errno
// set when the open fails.
int open_without_carrier(const char *path)
{
    int fd;
    do
        fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Reads the device's settings, keeps them to be restored, and applies the
// raw line.  False after perror, with the descriptor closed.
bool configure(int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        std::perror("tcgetattr");
        close_descriptor();
        return false;
    }
    port.found = t;
    found_saved = 1;
    make_raw(&t);
    port.settings = t;
    if (tcsetattr(fd, TCSANOW, &port.settings) != 0) {
        std::perror("tcsetattr");
        close_descriptor();
        return false;
    }
    return true;
}

}  // namespace

int serial_open(const char *path)
{
    if (port.fd >= 0)
        close_descriptor();

    const char *opened = path;
    char moved[PATH_MAX];
    int fd = open_without_carrier(path);
    if (fd < 0 && (errno == ENOENT || errno == ENXIO || errno == ENODEV) &&
        serial_adapter_moved(path, moved, sizeof moved)) {
        const int reason = errno;
        fd = open_without_carrier(moved);
        if (fd >= 0) {
            opened = moved;
            out_error("%s is gone; the same USB adapter is now %s: using it\n", path, moved);
        } else {
            errno = reason;
        }
    }
    if (fd < 0) {
        // Whatever the reason (missing, not permitted, or held in exclusive
        // mode by another program), the same line on standard output; the
        // reason and the remedy follow on standard error.
        int reason = errno;
        out_now("Can't open the %s device\n", path);
        serial_open_hint(path, reason);
        return -1;
    }
    if (!take_exclusive_use(fd, opened)) {
        close(fd);
        return -1;
    }
    port.fd = fd;
    port.available = 0;
    port.position = 0;
    found_saved = 0;
    if (!configure(fd))
        return -1;
    if (tcflush(fd, TCIFLUSH) != 0)
        std::perror("tcflush input");
    serial_remember_adapter(path, opened);
    line_state = SERIAL_LINE_OK;
    return 0;
}

void serial_release_exclusive(void)
{
#ifdef TIOCNXCL
    if (port.fd >= 0)
        ioctl(port.fd, TIOCNXCL);
#endif
}

void serial_restore_settings(void)
{
    if (port.fd < 0 || !found_saved)
        return;
    // What is still on its way out leaves at the speed it was sent at;
    // a wedged adapter is not waited for beyond the bytes' time.
    drain_within_deadline();
    tcsetattr(port.fd, TCSANOW, &port.found);
}

void serial_end(void)
{
    serial_restore_settings();
    serial_release_exclusive();
}

void serial_close(void)
{
    close_descriptor();
}

int serial_descriptor(void)
{
    return port.fd;
}

int serial_set_speed(int speed)
{
    const struct termios before = port.settings;
    cfsetospeed(&port.settings, speed_code(speed));
    cfsetispeed(&port.settings, speed_code(speed));
    if (tcsetattr(port.fd, TCSADRAIN, &port.settings) != 0) {
        std::perror("tcsetattr");
        port.settings = before;  // the line still runs at the old speed
        return -1;
    }
    // The A50 switches speed slowly; a byte sent at once is lost.
    if (settings.a50)
        sleep(1);
    return 0;
}

namespace {

// A failed write to the port: what it met becomes the line's state.
int write_failed(int fd)
{
    if (fd == port.fd)
        note_failure(false, errno);
    return -1;
}

}  // namespace

int serial_write(int fd, const uint8_t *bytes, int count)
{
    if (fd < 0)
        return -1;
    // Every write ends by its deadline: a wedged adapter that takes no
    // more bytes must not hang a download, a close or the termination
    // handler's camera-off frames.
    const long long deadline = write_deadline(count);
    if (settings.a50) {
        // The A50's receiver overruns on back-to-back bytes: one byte per
        // call, with a short pause after each.  nanosleep rather than
        // usleep so that the termination handler may use this path.
        const struct timespec pause = {0, 1000};
        for (int i = 0; i < count; i++) {
            if (write_before(fd, bytes + i, 1, deadline) < 0)
                return write_failed(fd);
            nanosleep(&pause, nullptr);
        }
        serial_trace("WRITE", bytes, count);
        return 0;
    }
    int done = 0;
    while (done < count) {
        // Each piece the system takes is traced as it goes, so a trace
        // shows how the driver accepted the run.
        const ssize_t w =
            write_before(fd, bytes + done, static_cast<size_t>(count - done), deadline);
        if (w < 0)
            return write_failed(fd);
        serial_trace("WRITE", bytes + done, static_cast<int>(w));
        done += static_cast<int>(w);
    }
    if (fd == port.fd && line_state == SERIAL_LINE_ERROR)
        line_state = SERIAL_LINE_OK;
    return 0;
}

int serial_write_untraced(const uint8_t *bytes, int count)
{
    if (port.fd < 0)
        return -1;
    const long long deadline = write_deadline(count);
    for (int done = 0; done < count;) {
        const ssize_t w =
            write_before(port.fd, bytes + done, static_cast<size_t>(count - done), deadline);
        if (w < 0)
            return write_failed(port.fd);
        done += static_cast<int>(w);
    }
    return 0;
}

namespace {

// Fills the empty read buffer: waits at most the read timeout for input
// and reads up to SERIAL_READ_MAX bytes.  0 when bytes arrived, -1
// otherwise (the buffer stays empty).  Another reader of the port (a
// modem prober, a stray cat) may take the bytes between the wait and the
// read: the read then finds nothing and the wait goes on for the time
// that remains.  A line found gone stays gone until the port is opened
// again.
int refill(void)
{
    if (port.fd < 0 || line_state == SERIAL_LINE_GONE)
        return -1;
    // The termination handler ends the program without stdio, so text still
    // held in stdout's buffer (a line not ended yet) would be lost to a
    // signal during the wait.  Nothing is left pending while the camera is
    // awaited.
    if (!stdio_forbidden)
        out_flush();
    const long long deadline = now_microseconds() +
                               static_cast<long long>(port.timeout_seconds) * 1000000 +
                               port.timeout_microseconds;
    for (;;) {
        const int ready = wait_for_input(deadline);
        if (ready == 0) {
            if (settings.debug) {
                out_now("READ TIMEOUT\n");
            }
            return -1;
        }
        // A failed wait is not retried at once: the caller sees the failure
        // and the next wait is its own.
        if (ready < 0) {
            note_failure(false, errno);
            return -1;
        }
        const ssize_t r = fdio_read(port.fd, port.buffer, SERIAL_READ_MAX);
        if (r > 0) {
            line_state = SERIAL_LINE_OK;
            port.available = static_cast<int>(r);
            port.position = 0;
            return 0;
        }
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        note_failure(r == 0, errno);
        return -1;
    }
}

}  // namespace

int serial_peek_bytes(const uint8_t **bytes)
{
    if (port.available == 0 && refill() != 0)
        return -1;
    *bytes = port.buffer + port.position;
    return port.available;
}

void serial_consume(int count)
{
    if (count < 0)
        count = 0;
    if (count > port.available)
        count = port.available;
    port.available -= count;
    port.position += count;
}

SerialLineState serial_line_state(void)
{
    return line_state;
}

void serial_set_timeout(int seconds, int microseconds)
{
    port.timeout_seconds = seconds;
    port.timeout_microseconds = microseconds;
}

long long serial_timeout_us(void)
{
    return static_cast<long long>(port.timeout_seconds) * 1000000 + port.timeout_microseconds;
}

void serial_set_timeout_seconds(int seconds)
{
    port.timeout_seconds = seconds;
}

void serial_signal_mode(void)
{
    stdio_forbidden = 1;
}

void serial_trace(const char *label, const uint8_t *bytes, int count)
{
    if (!settings.debug)
        return;
    // Anything already printed on stdout belongs before the trace, whose
    // own output bypasses stdio.
    if (!stdio_forbidden)
        out_flush();

    static const char hex[] = "0123456789ABCDEF";     // the bytes
    static const char offset_hex[] = "0123456789abcdef";  // the offsets, as %08x
    char line[96];
    int n = 0;
    for (const char *c = label; *c != 0 && n < 64; c++)
        line[n++] = *c;
    n = append_text(line, n, ": (");
    n += fdio_format_decimal(line + n, count);
    n = append_text(line, n, " bytes)\n");
    fdio_write_all(STDERR_FILENO, line, static_cast<size_t>(n));

    for (int offset = 0; offset < count; offset += 16) {
        n = 0;
        for (int shift = 28; shift >= 0; shift -= 4)
            line[n++] = offset_hex[(static_cast<unsigned>(offset) >> shift) & 0x0F];
        line[n++] = ':';
        line[n++] = ' ';
        const int group = count - offset < 16 ? count - offset : 16;
        for (int i = 0; i < 16; i++) {
            if (i < group) {
                line[n++] = hex[bytes[offset + i] >> 4];
                line[n++] = hex[bytes[offset + i] & 0x0F];
            } else {
                line[n++] = ' ';
                line[n++] = ' ';
            }
            line[n++] = ' ';
        }
        line[n++] = '-';
        line[n++] = ' ';
        for (int i = 0; i < group; i++) {
            const uint8_t b = bytes[offset + i];
            line[n++] = (b >= 0x20 && b <= 0x7D) ? static_cast<char>(b) : '.';
        }
        line[n++] = '\n';
        fdio_write_all(STDERR_FILENO, line, static_cast<size_t>(n));
    }
    fdio_write_all(STDOUT_FILENO, "\n", 1);
}

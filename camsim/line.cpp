#include "camsim/line.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

volatile std::sig_atomic_t line_stop = 0;
volatile std::sig_atomic_t line_noise_toggles = 0;
volatile std::sig_atomic_t line_hangup_requests = 0;

namespace {

// A stalled line (nobody reading the terminal) drops what the camera
// sends after this long, as bytes sent into an unplugged cable are lost.
constexpr int WRITE_STALL_MS = 2000;
// Bytes of one frame arrive back to back; a pause this long inside a frame
// means its sender gave up on it.
constexpr long FRAME_GAP_US = 300000;
// How long a stalled line holds the host's bytes back.
constexpr long long STALL_US = 1000000;

// Bit errors of one direction of the line: the gaps between flipped bits
// are drawn from the geometric distribution, so the cost is per error, not
// per bit.
struct Noise {
    const char *name;          // for the log: "to host" or "from host"
    unsigned long long state;  // splitmix64
    long long gap;             // clean bits before the next flipped one
    long flips;
};

struct Line {
    int fd = -1;
    int slave = -1;
    bool device = false;
    int speed = 9600;
    bool pace = false;
    FILE *log = nullptr;
    // Receive side.
    uint8_t rbuf[SERIAL_FRAME_MAX];  // what one read takes from the line
    size_t rlen = 0;
    size_t rpos = 0;
    FrameReader reader;
    bool in_frame = false;
    std::vector<uint8_t> raw;  // the frame's bytes as received, for the log
    int u_count = 0;
    long long last_rx_us = 0;
    // Pacing: when the line is free in each direction, in microseconds.
    long long tx_free_us = 0;
    long long rx_busy_us = 0;
    // Noise.
    double noise_rate = 0;
    bool noise_on = false;
    std::sig_atomic_t toggles_seen = 0;
    Noise tx_noise = {"to host", 0, 0, 0};
    Noise rx_noise = {"from host", 0, 0, 0};
    // Faults of the line itself.
    long long crossed = 0;    // bytes that crossed the line, both ways
    long long hangup_at = 0;  // hang up once this many have crossed; 0: never
    std::sig_atomic_t hangups_seen = 0;
    bool deaf = false;
    long frames_in = 0;       // complete frames from the host
    long stall_after = 0;     // stall after this frame from the host; 0: never
    long long stall_until_us = 0;
    int later_speed = 0;      // line_set_speed_after: the speed to come, and when
    long long later_us = 0;
};
Line line;

unsigned long long splitmix64(unsigned long long *state)
{
    unsigned long long z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

long long next_gap(Noise *n)
{
    // Uniform in (0, 1], then the number of clean bits before a failure.
    double u = (static_cast<double>(splitmix64(&n->state) >> 11) + 1.0) / 9007199254740992.0;
    double g = std::floor(std::log(u) / std::log1p(-line.noise_rate));
    return g > 4e18 ? 4000000000000000000ll : static_cast<long long>(g);
}

void log_line(const char *kind, const std::string &text);

void noise_follow_toggles()
{
    std::sig_atomic_t seen = line_noise_toggles;
    if (seen == line.toggles_seen || line.noise_rate <= 0)
        return;
    if ((seen - line.toggles_seen) % 2 != 0) {
        line.noise_on = !line.noise_on;
        log_line("NOTE", std::string(line.noise_on ? "noise on" : "noise off") + " after " +
                             std::to_string(line.tx_noise.flips) + " bits flipped to host, " +
                             std::to_string(line.rx_noise.flips) + " from host");
    }
    line.toggles_seen = seen;
}

// Flips the bits the noise hits in bytes[0..count), in the order they
// cross the line.
void noise_apply(Noise *n, uint8_t *bytes, size_t count)
{
    noise_follow_toggles();
    if (!line.noise_on)
        return;
    long long bits = static_cast<long long>(count) * 8;
    while (n->gap < bits) {
        size_t at = static_cast<size_t>(n->gap / 8);
        uint8_t before = bytes[at];
        bytes[at] = static_cast<uint8_t>(before ^ (1u << (n->gap % 8)));
        n->flips++;
        char text[96];
        std::snprintf(text, sizeof text, "noise %s: byte %zu of %zu, %02x -> %02x (%ld bits so far)",
                      n->name, at, count, before, bytes[at], n->flips);
        log_line("NOTE", text);
        n->gap += 1 + next_gap(n);
    }
    n->gap -= bits;
}

long long now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

long long byte_time_us(size_t count)
{
    // 8 data bits, a start and a stop bit.
    return static_cast<long long>(count) * 10 * 1000000 / line.speed;
}

void sleep_until(long long when_us)
{
    for (;;) {
        long long left = when_us - now_us();
        if (left <= 0 || line_stop)
            return;
        struct timespec ts = {static_cast<time_t>(left / 1000000),
                              static_cast<long>(left % 1000000) * 1000};
        nanosleep(&ts, nullptr);
    }
}

void log_line(const char *kind, const std::string &text)
{
    if (!line.log)
        return;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    std::fprintf(line.log, "%ld.%06ld %s %s\n", static_cast<long>(tv.tv_sec),
                 static_cast<long>(tv.tv_usec), kind, text.c_str());
    std::fflush(line.log);
}

void log_bytes(const char *kind, const uint8_t *bytes, size_t count)
{
    if (!line.log)
        return;
    std::string hex;
    char buf[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, "%s%02x", i ? " " : "", bytes[i]);
        hex += buf;
    }
    log_line(kind, hex);
}

speed_t speed_code(int bps)
{
    switch (bps) {
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B9600;
    }
}

// How many of `count` bytes may still cross before the hang-up is due.
size_t before_hangup(size_t count)
{
    if (line.hangup_at <= 0)
        return count;
    long long left = line.hangup_at - line.crossed;
    return left < static_cast<long long>(count) ? static_cast<size_t>(left > 0 ? left : 0)
                                                 : count;
}

// The cable pulled, the adapter unplugged, the camera's own end gone: both
// descriptors close, so the host's end reads end of file or EIO.
void hang_up()
{
    line_note("hung up after " + std::to_string(line.crossed) + " bytes");
    if (line.fd >= 0)
        close(line.fd);
    if (line.slave >= 0)
        close(line.slave);
    line.fd = line.slave = -1;
    line.rlen = line.rpos = 0;
    line.in_frame = false;
    line.hangup_at = 0;
}

bool hangup_due()
{
    return line.hangup_at > 0 && line.crossed >= line.hangup_at;
}

int bps_of(speed_t code)
{
    switch (code) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
    }
}

// On a pseudo-terminal the host's speed is the terminal's (the master side
// reads the settings the host applied).  Bytes sent at another speed than
// the camera's reach a real camera as garbage, or not at all, so here they
// are not heard: true when `count` bytes just taken from the line are.
bool heard_at_host_speed(size_t count)
{
    if (line.later_speed != 0 && now_us() >= line.later_us)
        line_set_speed(line.later_speed);
    if (line.device || count == 0)
        return true;
    struct termios t;
    if (tcgetattr(line.fd, &t) != 0)
        return true;
    const int host = bps_of(cfgetospeed(&t));
    if (host == line.speed)
        return true;
    line_note(std::to_string(count) + " bytes sent at " + std::to_string(host) +
              " bits/s unheard at " + std::to_string(line.speed));
    return false;
}

void write_all(const uint8_t *bytes, size_t count)
{
    size_t done = 0;
    while (done < count && !line_stop) {
        ssize_t n = write(line.fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            line_note(std::string("write failed: ") + std::strerror(errno));
            return;
        }
        struct pollfd p = {line.fd, POLLOUT, 0};
        int r = poll(&p, 1, WRITE_STALL_MS);
        if (r == 0) {
            line_note("line stalled, " + std::to_string(count - done) + " bytes dropped");
            return;
        }
    }
}

void send_frame(const uint8_t *frame, size_t count)
{
    if (line.pace) {
        // The frame arrives when its last byte has crossed the line, and
        // the camera answers only what it has fully received.  The frame
        // starts when the line is free in both directions, reckoned on the
        // line's own clock, not when this process got round to it: a timer
        // that oversleeps then delays one frame, never every later one, and
        // the emulator's own work does not count against the host.
        long long start = line.tx_free_us;
        if (line.rx_busy_us > start)
            start = line.rx_busy_us;
        long long end = start + byte_time_us(count);
        sleep_until(end);
        line.tx_free_us = end;
    }
    std::vector<uint8_t> sent(frame, frame + count);
    noise_apply(&line.tx_noise, sent.data(), count);
    log_bytes("TX", sent.data(), count);
    if (line.fd < 0)
        return;  // hung up: nothing reaches the host
    const size_t n = before_hangup(count);
    write_all(sent.data(), n);
    line.crossed += static_cast<long long>(n);
    if (hangup_due())
        hang_up();
}

int configure_raw(int fd, const char *what)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        std::perror(what);
        return -1;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetospeed(&t, B9600);
    cfsetispeed(&t, B9600);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        std::perror(what);
        return -1;
    }
    return 0;
}

// One received byte: the synchronisation bursts live outside frames.  True
// when it completes an event, then in *ev.
bool take_byte(uint8_t b, LineEvent *ev)
{
    if (!line.in_frame) {
        if (b == 'U') {
            if (++line.u_count == 4) {
                line.u_count = 0;
                ev->kind = LINE_SYNC;
                ev->length = 0;
                return true;
            }
            return false;
        }
        line.u_count = 0;
        if (b != FRAME_START)
            return false;
        line.in_frame = true;
        line.raw.clear();
        serial_frame_reset(&line.reader);
    }
    line.raw.push_back(b);
    FrameStatus status = serial_frame_feed(&line.reader, b);
    if (status == FRAME_DONE) {
        line.in_frame = false;
        log_bytes("RX", line.raw.data(), line.raw.size());
        if (++line.frames_in == line.stall_after) {
            line_note("stall");
            line.stall_until_us = now_us() + STALL_US;
        }
        ev->kind = LINE_FRAME;
        ev->length = line.reader.count;
        std::memcpy(ev->frame, line.reader.buf, static_cast<size_t>(line.reader.count));
        serial_frame_reset(&line.reader);
        return true;
    }
    if (status == FRAME_OVERFLOW) {
        line.in_frame = false;
        serial_frame_reset(&line.reader);
        log_bytes("RX", line.raw.data(), line.raw.size());
        line_note("overlong frame dropped");
    }
    return false;
}

} // namespace

int line_open_pty(std::string *path)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("posix_openpt");
        return -1;
    }
    char name[256];
    if (ptsname_r(master, name, sizeof name) != 0) {
        std::perror("ptsname");
        close(master);
        return -1;
    }
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        std::perror(name);
        close(master);
        return -1;
    }
    if (configure_raw(slave, name) != 0) {
        close(slave);
        close(master);
        return -1;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    line.fd = master;
    line.slave = slave;
    line.hangups_seen = line_hangup_requests;
    line.device = false;
    *path = name;
    serial_frame_reset(&line.reader);
    return 0;
}

int line_open_device(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::perror(path.c_str());
        return -1;
    }
    if (configure_raw(fd, path.c_str()) != 0) {
        close(fd);
        return -1;
    }
    tcflush(fd, TCIFLUSH);
    line.fd = fd;
    line.device = true;
    serial_frame_reset(&line.reader);
    return 0;
}

int line_open_log(const std::string &path)
{
    line.log = std::fopen(path.c_str(), "a");
    if (!line.log) {
        std::perror(path.c_str());
        return -1;
    }
    return 0;
}

void line_set_pacing(bool on)
{
    line.pace = on;
}

void line_set_noise(double rate, unsigned long long seed)
{
    line.noise_rate = rate;
    line.noise_on = rate > 0;
    line.toggles_seen = line_noise_toggles;
    line.tx_noise.state = seed;
    line.rx_noise.state = seed ^ 0x5DEECE66Dull;
    line.tx_noise.gap = rate > 0 ? next_gap(&line.tx_noise) : 0;
    line.rx_noise.gap = rate > 0 ? next_gap(&line.rx_noise) : 0;
}

void line_set_speed_after(int bps, int delay_ms)
{
    line.later_speed = bps;
    line.later_us = now_us() + static_cast<long long>(delay_ms) * 1000;
}

void line_set_speed(int bps)
{
    line.later_speed = 0;
    line.speed = bps > 0 ? bps : 9600;
    if (!line.device)
        return;
    // What is on its way out still goes at the old speed.
    tcdrain(line.fd);
    struct termios t;
    if (tcgetattr(line.fd, &t) == 0) {
        cfsetospeed(&t, speed_code(line.speed));
        cfsetispeed(&t, speed_code(line.speed));
        if (tcsetattr(line.fd, TCSANOW, &t) != 0)
            line_note(std::string("tcsetattr: ") + std::strerror(errno));
    }
}

void line_note(const std::string &text)
{
    log_line("NOTE", text);
}

namespace {

// After a stall, what the host sent meanwhile (and what this end had
// taken from the line but not yet looked at) leaves the stalled adapter
// at the host's speed of that moment.
void end_stall()
{
    sleep_until(line.stall_until_us);
    line.stall_until_us = 0;
    if (!heard_at_host_speed(line.rlen - line.rpos))
        line.rpos = line.rlen;
}

// Takes what the host sent from the line into rbuf.  1: bytes to look at;
// 0: none this time; -1: the line failed; LINE_HUNG_UP.
int take_from_line()
{
    ssize_t n = read(line.fd, line.rbuf, sizeof line.rbuf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    if (n < 0 && errno == EIO && !line.device) {
        // No terminal side open for a moment; wait for the next user.
        struct timespec ts = {0, 50000000};
        nanosleep(&ts, nullptr);
        return 0;
    }
    if (n <= 0)
        return -1;
    size_t count = before_hangup(static_cast<size_t>(n));
    line.crossed += static_cast<long long>(count);
    if (hangup_due()) {
        hang_up();
        return LINE_HUNG_UP;
    }
    if (line.deaf || !heard_at_host_speed(count))
        return 0;
    noise_apply(&line.rx_noise, line.rbuf, count);
    long long t = now_us();
    if (line.in_frame && t - line.last_rx_us > FRAME_GAP_US) {
        line.in_frame = false;
        serial_frame_reset(&line.reader);
        log_bytes("RX", line.raw.data(), line.raw.size());
        line_note("incomplete frame dropped");
    }
    line.last_rx_us = t;
    if (line.pace) {
        long long start = line.rx_busy_us > t ? line.rx_busy_us : t;
        line.rx_busy_us = start + byte_time_us(count);
    }
    line.rlen = count;
    line.rpos = 0;
    return 1;
}

} // namespace

int line_receive(LineEvent *ev, int timeout_ms)
{
    long long deadline = now_us() + static_cast<long long>(timeout_ms) * 1000;
    for (;;) {
        if (line.fd < 0)
            return LINE_HUNG_UP;
        if (line.stall_until_us > 0)
            end_stall();
        while (line.rpos < line.rlen) {
            if (take_byte(line.rbuf[line.rpos++], ev))
                return 1;
        }
        if (line_stop)
            return 0;
        if (line_hangup_requests != line.hangups_seen) {
            line.hangups_seen = line_hangup_requests;
            hang_up();
            return LINE_HUNG_UP;
        }
        long long left = deadline - now_us();
        if (left <= 0)
            return 0;
        struct pollfd p = {line.fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>((left + 999) / 1000));
        if (r < 0 && errno != EINTR)
            return -1;
        if (r <= 0)
            continue;
        int got = take_from_line();
        if (got < 0)
            return got;
    }
}

void line_set_hangup_after(long long bytes)
{
    line.hangup_at = bytes > 0 ? line.crossed + bytes : 0;
}

void line_set_deaf()
{
    line_note("deaf");
    line.deaf = true;
    line.rpos = line.rlen;
}

void line_set_stall_after(long frames)
{
    line.stall_after = frames;
}

void line_send_packet(const uint8_t *packet, size_t count, bool bad_crc)
{
    int initial = serial_crc_initial(static_cast<int>(count));
    uint16_t crc = serial_crc_run(static_cast<uint16_t>(initial < 0 ? 0 : initial), packet, count);
    if (bad_crc)
        crc = static_cast<uint16_t>(crc ^ 0xA5A5);
    std::vector<uint8_t> frame(2 * (count + 2) + 2);
    size_t n = serial_encode_frame(packet, count, crc, frame.data());
    send_frame(frame.data(), n);
}

void line_send_raw(const uint8_t *bytes, size_t count)
{
    send_frame(bytes, count);
}

void line_close()
{
    if (line.noise_rate > 0)
        line_note("noise: " + std::to_string(line.tx_noise.flips) + " bits flipped to host, " +
                  std::to_string(line.rx_noise.flips) + " from host");
    if (line.fd >= 0)
        close(line.fd);
    if (line.slave >= 0)
        close(line.slave);
    line.fd = line.slave = -1;
    if (line.log)
        std::fclose(line.log);
    line.log = nullptr;
}

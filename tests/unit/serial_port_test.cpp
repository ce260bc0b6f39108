// The serial port over a real pseudo-terminal: line settings, exclusive
// use, buffered reads with their timeout, paced and plain writes, and the
// debug trace.
#include "serial_pty.h"
#include "serial/frame.h"

#include <chrono>
#include <cstring>
#include <thread>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Waits until the slave's input queue holds `count` bytes (2 s bound).
void wait_queued(int fd, int count)
{
    for (int i = 0; i < 200; i++) {
        int n = 0;
        ioctl(fd, FIONREAD, &n);
        if (n >= count)
            return;
        usleep(10000);
    }
    FAIL() << "input never arrived";
}

// One received byte, as the frame reader takes it: -1 when none came.
int next_byte(void)
{
    const uint8_t *bytes = nullptr;
    if (serial_peek_bytes(&bytes) < 0)
        return -1;
    const int b = bytes[0];
    serial_consume(1);
    return b;
}

const Bytes ack_frame = {0xC0, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0xDB, 0xD1, 0xC1};

}  // namespace

TEST_F(PtyTest, OpenMakesTheLineRaw)
{
    struct termios t;
    ASSERT_EQ(tcgetattr(serial_descriptor(), &t), 0);
    EXPECT_EQ(t.c_iflag & (IGNBRK | IGNPAR), static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(t.c_iflag & (BRKINT | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY),
              0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARENB | PARODD | CRTSCTS), 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_TRUE(fcntl(serial_descriptor(), F_GETFD) & FD_CLOEXEC);
}

TEST_F(PtyTest, SpeedChanges)
{
    struct termios t;
    EXPECT_EQ(serial_set_speed(38400), 0);
    ASSERT_EQ(tcgetattr(serial_descriptor(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B38400));
    EXPECT_EQ(t.c_lflag, 0u);  // the rest of the settings stays raw
    EXPECT_EQ(serial_set_speed(115200), 0);
    ASSERT_EQ(tcgetattr(serial_descriptor(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));

    serial_close();
    EXPECT_EQ(serial_descriptor(), -1);
    int rc = 0;
    Captured c = capture([&] { rc = serial_set_speed(9600); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(c.err.rfind("tcsetattr: ", 0), 0u) << c.err;
}

TEST(SerialOpen, MissingDevice)
{
    int rc = 0;
    Captured c = capture([&] { rc = serial_open("/nonexistent/ttyX9"); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(c.out, "Can't open the /nonexistent/ttyX9 device\n");
    EXPECT_EQ(serial_descriptor(), -1);
    // Reading with no port open fails at once rather than waiting.
    serial_set_timeout(3, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(next_byte(), -1);
    EXPECT_LT(seconds_since(start), 2.0);
    serial_set_timeout(1, 0);
}

TEST_F(PtyTest, SecondProgramIsRefused)
{
    // Another process opening the same device while this one holds it;
    // its standard error goes to `err`.
    std::string err;
    auto try_open_in_child = [&](std::string *text, bool unprivileged = false) {
        FILE *out = std::tmpfile();
        FILE *errors = std::tmpfile();
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(fileno(out), 1);
            dup2(fileno(errors), 2);
            // The inherited port is the other program's: leave its
            // exclusive mode alone.
            close(serial_descriptor());
            if (unprivileged && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(2);
            const int rc = serial_open(name);
            std::fflush(stdout);
            std::fflush(stderr);
            _exit(rc == 0 ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        *text = slurp(out);
        err = slurp(errors);
        std::fclose(out);
        std::fclose(errors);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    // This process, as the system names it, holds the device.
    std::string self;
    if (FILE *comm = std::fopen("/proc/self/comm", "r")) {
        self = slurp(comm);
        std::fclose(comm);
    }
    self = self.substr(0, self.find('\n'));
    ASSERT_FALSE(self.empty());
    const std::string busy = std::string(name) + ": " + std::strerror(EBUSY) + "; ";

    std::string text;
    EXPECT_EQ(try_open_in_child(&text), 1);
    EXPECT_EQ(text, "Can't open the " + std::string(name) + " device\n");
    EXPECT_EQ(err, busy + "it is held by " + self + " (pid " + std::to_string(getpid()) +
                       "): end that program and try again\n");
    // An ordinary user is stopped earlier, by the terminal's exclusive
    // mode: the open itself fails, with the same line on standard output
    // as any failed open and the busy device's hint on standard error
    // (that user may not see which process holds it).
    if (geteuid() == 0 && chmod(name, 0666) == 0) {
        EXPECT_EQ(try_open_in_child(&text, true), 1);
        EXPECT_EQ(text, std::string("Can't open the ") + name + " device\n");
        EXPECT_EQ(err.rfind(busy, 0), 0u) << err;
        const std::string remedy = "end that program and try again\n";
        EXPECT_TRUE(err.size() > busy.size() + remedy.size() &&
                    err.compare(err.size() - remedy.size(), remedy.size(), remedy) == 0)
            << err;
    }

    serial_close();
    EXPECT_EQ(try_open_in_child(&text), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(err, "");
}

TEST_F(PtyTest, ReadTimeoutOnSilentLine)
{
    serial_set_timeout(0, 400000);
    int got = 0;
    auto start = std::chrono::steady_clock::now();
    Captured quiet = capture([&] { got = next_byte(); });
    EXPECT_EQ(got, -1);
    EXPECT_GE(seconds_since(start), 0.3);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "");

    settings.debug = 1;
    Captured loud = capture([&] { got = next_byte(); });
    EXPECT_EQ(got, -1);
    EXPECT_EQ(loud.out, "READ TIMEOUT\n");
    EXPECT_EQ(loud.err, "");
}

// Silence, a line gone and a closed port are told apart; a line found gone
// answers at once from then on, without waiting or spinning on the dead
// descriptor, and a write to it fails.
TEST_F(PtyTest, TimeoutLineGoneAndClosedAreThreeOutcomes)
{
    serial_set_timeout(0, 100000);
    EXPECT_EQ(next_byte(), -1);
    EXPECT_EQ(serial_line_state(), SERIAL_LINE_OK);

    close(master);
    master = -1;
    serial_set_timeout(2, 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(next_byte(), -1);
    EXPECT_EQ(serial_line_state(), SERIAL_LINE_GONE);
    const uint8_t *bytes = nullptr;
    EXPECT_EQ(serial_peek_bytes(&bytes), -1);
    EXPECT_LT(seconds_since(start), 1.0);
    const uint8_t frame[2] = {0xc0, 0xc1};
    EXPECT_EQ(serial_write(serial_descriptor(), frame, 2), -1);
    EXPECT_EQ(serial_line_state(), SERIAL_LINE_GONE);
    // Its descriptor is closed at once: a process holding a vanished
    // adapter open keeps its ttyUSB number from the adapter plugged in
    // again.
    EXPECT_EQ(serial_descriptor(), -1);

    serial_close();
    EXPECT_EQ(serial_line_state(), SERIAL_LINE_CLOSED);
}

TEST_F(PtyTest, BurstIsServedFromOneRead)
{
    Bytes burst(30);
    for (int i = 0; i < 30; i++)
        burst[i] = static_cast<uint8_t>(0xA0 + i);
    camera_sends(burst);
    wait_queued(slave, 30);
    ASSERT_EQ(next_byte(), 0xA0);
    // Discard whatever is still queued in the terminal: the remaining
    // bytes must already sit in the port's own buffer.
    ASSERT_EQ(tcflush(slave, TCIFLUSH), 0);
    serial_set_timeout(0, 100000);
    for (int i = 1; i < 30; i++)
        ASSERT_EQ(next_byte(), 0xA0 + i) << i;
    EXPECT_EQ(next_byte(), -1);
}

TEST_F(PtyTest, PeekShowsTheBufferedBlockAndConsumeHandsItOut)
{
    Bytes burst(30);
    for (int i = 0; i < 30; i++)
        burst[i] = static_cast<uint8_t>(0x40 + i);
    camera_sends(burst);
    wait_queued(slave, 30);
    const uint8_t *bytes = nullptr;
    ASSERT_EQ(serial_peek_bytes(&bytes), 30);
    EXPECT_EQ(Bytes(bytes, bytes + 30), burst);
    // Peeking again hands nothing out.
    ASSERT_EQ(serial_peek_bytes(&bytes), 30);
    ASSERT_EQ(tcflush(slave, TCIFLUSH), 0);
    serial_consume(10);
    EXPECT_EQ(next_byte(), 0x4A);
    ASSERT_EQ(serial_peek_bytes(&bytes), 19);
    EXPECT_EQ(bytes[0], 0x4B);
    // More than is there empties the buffer, no further.
    serial_consume(100);
    serial_set_timeout(0, 100000);
    EXPECT_EQ(serial_peek_bytes(&bytes), -1);
    EXPECT_EQ(next_byte(), -1);
}

namespace {
void on_alarm(int) {}
}  // namespace

TEST_F(PtyTest, SignalDuringWaitResumesTheWait)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;  // no SA_RESTART: poll sees EINTR
    struct sigaction old;
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);

    // The byte arrives after the signal; the wait must still be there.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        usleep(300000);
        const uint8_t b = 0x5A;
        _exit(write(master, &b, 1) == 1 ? 0 : 1);
    }
    writers.push_back(pid);
    struct itimerval tv = {{0, 0}, {0, 100000}};
    setitimer(ITIMER_REAL, &tv, nullptr);
    serial_set_timeout(3, 0);
    EXPECT_EQ(next_byte(), 0x5A);
    sigaction(SIGALRM, &old, nullptr);

    // A signal on a silent line: still a timeout, not an early failure
    // and not a read that blocks.
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    serial_set_timeout(0, 400000);
    setitimer(ITIMER_REAL, &tv, nullptr);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(next_byte(), -1);
    EXPECT_GE(seconds_since(start), 0.3);
    sigaction(SIGALRM, &old, nullptr);
}

TEST_F(PtyTest, PendingOutputIsWrittenBeforeWaitingForTheCamera)
{
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    serial_set_timeout(5, 0);
    std::fflush(stdout);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        std::printf("Switching to 115200 bound ");
        next_byte();
        _exit(0);
    }
    close(out[1]);
    // The child is killed in its wait, the way a termination signal ends
    // orvik without flushing stdio: only what was written before the wait
    // reaches the pipe.
    std::string seen;
    struct pollfd p = {out[0], POLLIN, 0};
    while (seen.size() < 26 && poll(&p, 1, 3000) > 0) {
        char buf[64];
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        seen.append(buf, static_cast<size_t>(n));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(out[0]);
    EXPECT_EQ(seen, "Switching to 115200 bound ");
}

TEST(SerialTrace, TenByteFrameLayout)
{
    settings.debug = 1;
    Captured c = capture([] { serial_trace("WRITE", ack_frame.data(), 10); });
    settings.debug = 0;
    EXPECT_EQ(c.err,
              "WRITE: (10 bytes)\n"
              "00000000: C0 00 05 00 00 00 00 DB D1 C1                   - ..........\n");
    EXPECT_EQ(c.out, "\n");
}

TEST(SerialTrace, SecondLineAndPrintableColumn)
{
    Bytes run = {0x1F, 0x20, 0x41, 0x7D, 0x7E, 0x80, 'h', 'e', 'l', 'l', 'o', 0x00, 0xFF, '~', '}',
                 '0', 'Z'};
    settings.debug = 1;
    Captured c = capture([&] { serial_trace("RECV", run.data(), 17); });
    settings.debug = 0;
    const std::string line1 = "00000000: 1F 20 41 7D 7E 80 68 65 6C 6C 6F 00 FF 7E 7D 30 - . A}..hello...}0";
    const std::string line2 = "00000010: 5A " + std::string(45, ' ') + "- Z";
    EXPECT_EQ(line1.size(), 76u);
    EXPECT_EQ(c.err, "RECV: (17 bytes)\n" + line1 + "\n" + line2 + "\n");
    EXPECT_EQ(c.out, "\n");

    settings.debug = 1;
    Captured empty = capture([&] { serial_trace("RECV", run.data(), 0); });
    settings.debug = 0;
    EXPECT_EQ(empty.err, "RECV: (0 bytes)\n");
    EXPECT_EQ(empty.out, "\n");

    Captured off = capture([&] { serial_trace("RECV", run.data(), 17); });
    EXPECT_EQ(off.err, "");
    EXPECT_EQ(off.out, "");

    // Offsets in lower case, bytes in upper case.
    Bytes long_run(0xAB, 0xAB);
    settings.debug = 1;
    Captured longer = capture([&] { serial_trace("RECV", long_run.data(), 0xAB); });
    settings.debug = 0;
    EXPECT_NE(longer.err.find("\n000000a0: AB AB "), std::string::npos) << longer.err;
}

TEST_F(PtyTest, WritesInNormalAndA50Mode)
{
    settings.debug = 1;
    int rc = 1;
    Captured normal = capture([&] { rc = serial_write(serial_descriptor(), ack_frame.data(), 10); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(camera_reads(10), ack_frame);
    EXPECT_EQ(normal.err.rfind("WRITE: (10 bytes)\n", 0), 0u);

    Captured none = capture([&] { rc = serial_write(serial_descriptor(), ack_frame.data(), 0); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(none.err, "");
    EXPECT_EQ(none.out, "");

    settings.a50 = 1;
    Captured paced = capture([&] { rc = serial_write(serial_descriptor(), ack_frame.data(), 10); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(camera_reads(10), ack_frame);
    EXPECT_EQ(paced.err,
              "WRITE: (10 bytes)\n"
              "00000000: C0 00 05 00 00 00 00 DB D1 C1                   - ..........\n");
    EXPECT_EQ(paced.out, "\n");

    Captured header = capture([&] { rc = serial_write(serial_descriptor(), ack_frame.data(), 0); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(header.err, "WRITE: (0 bytes)\n");

    // A failing descriptor: -1 and nothing traced.
    Captured failed = capture([&] { rc = serial_write(-1, ack_frame.data(), 10); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(failed.err, "");
}

TEST(SerialWrite, PartialWritesAreContinuedAndTracedPerPiece)
{
    // A signal that interrupts a blocked write after part of the run went
    // out makes the system accept the run in pieces (or not at all: EINTR).
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;
    struct sigaction old;
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    Bytes run(20000);
    for (size_t i = 0; i < run.size(); i++)
        run[i] = static_cast<uint8_t>(i * 31 + i / 256);
    Bytes received;
    std::thread reader([&] {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &block, nullptr);
        uint8_t buf[1000];
        ssize_t r;
        while ((r = read(fds[0], buf, sizeof buf)) > 0) {
            received.insert(received.end(), buf, buf + r);
            usleep(2000);
        }
    });
    settings.debug = 1;
    int rc = 1;
    struct itimerval tick = {{0, 5000}, {0, 5000}};
    setitimer(ITIMER_REAL, &tick, nullptr);
    Captured c = capture([&] { rc = serial_write(fds[1], run.data(), static_cast<int>(run.size())); });
    const struct itimerval stop = {{0, 0}, {0, 0}};
    setitimer(ITIMER_REAL, &stop, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    settings.debug = 0;
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(received, run);
    // One header per piece; the pieces add up to the run.
    int pieces = 0;
    long total = 0;
    for (size_t pos = 0; (pos = c.err.find("WRITE: (", pos)) != std::string::npos; pos++) {
        pieces++;
        total += std::strtol(c.err.c_str() + pos + 8, nullptr, 10);
    }
    EXPECT_GT(pieces, 1);
    EXPECT_EQ(total, 20000);
    EXPECT_EQ(c.out, std::string(static_cast<size_t>(pieces), '\n'));
}

namespace {

// Runs `body` in a child process and says whether it ended by itself
// within `seconds`; a child still waiting then is killed.  For faults whose
// symptom is a wait that never ends.
template <typename F>
bool ends_by_itself(F body, int seconds)
{
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    for (int i = 0; i < seconds * 20; i++) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return true;
        usleep(50000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

}  // namespace

// A modem prober or a stray `cat` reading the same port takes some of the
// camera's bytes.  The read after a wait then finds nothing; it must go
// back to waiting, not block until the next byte that may never come.
TEST_F(PtyTest, ASecondReaderTakingTheBytesDoesNotHangTheRead)
{
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        // Root opens a terminal in exclusive mode all the same, as
        // ModemManager does.
        const int fd = open(name, O_RDONLY | O_NOCTTY);
        uint8_t b;
        while (fd >= 0 && read(fd, &b, 1) >= 0) {
        }
        _exit(0);
    }
    writers.push_back(other);
    usleep(200000);  // the other reader is waiting in its read
    const int camera = master;
    EXPECT_TRUE(ends_by_itself(
        [camera] {
            serial_set_timeout(0, 300000);
            for (int i = 0; i < 10; i++) {
                const uint8_t b = static_cast<uint8_t>(i);
                if (write(camera, &b, 1) != 1)
                    _exit(1);
                next_byte();
            }
        },
        10));
}

// The device gets back what it had: a getty's or a modem program's
// settings, or the speed a login on that port expects.
TEST_F(PtyTest, CloseRestoresTheSettingsFound)
{
    serial_close();
    struct termios before;
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    before.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
    before.c_lflag |= ICANON | ECHO;
    cfsetospeed(&before, B38400);
    cfsetispeed(&before, B38400);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(slave, &before), 0);

    ASSERT_EQ(serial_open(name), 0);
    EXPECT_EQ(serial_set_speed(115200), 0);
    serial_close();
    struct termios after;
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B38400));
    ASSERT_EQ(serial_open(name), 0);  // for TearDown
}

// An adapter that stops taking bytes (its far end wedged) fills the
// driver's buffer; the write must end by its deadline, not block.
TEST_F(PtyTest, AWriteToAWedgedLineEndsByItsDeadline)
{
    EXPECT_EQ(serial_set_speed(115200), 0);
    EXPECT_TRUE(ends_by_itself(
        [] {
            Bytes run(65536, 0x55);
            const int size = static_cast<int>(run.size());
            const int rc = serial_write(serial_descriptor(), run.data(), size);
            _exit(rc == -1 && serial_line_state() == SERIAL_LINE_ERROR ? 0 : 1);
        },
        10));
}

// A wrong device on the port or a broken adapter sends bytes without end
// and never a frame: the wait for a frame ends as a silence would.
TEST_F(PtyTest, ABabbleWithoutAFrameEndsLikeASilence)
{
    const pid_t babbler = fork();
    ASSERT_GE(babbler, 0);
    if (babbler == 0) {
        const uint8_t noise[16] = {0x55, 0xAA, 0x00, 0x7F, 0x55, 0xAA, 0x00, 0x7F,
                                   0x55, 0xAA, 0x00, 0x7F, 0x55, 0xAA, 0x00, 0x7F};
        for (;;) {
            if (write(master, noise, sizeof noise) < 0)
                _exit(1);
            usleep(2000);
        }
    }
    writers.push_back(babbler);
    EXPECT_TRUE(ends_by_itself(
        [] {
            serial_set_timeout(0, 300000);
            int length = -1;
            if (serial_get_frame(&length) != nullptr)
                _exit(1);
        },
        10));
}

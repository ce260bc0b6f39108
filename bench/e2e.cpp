// End-to-end benchmarks: the real orvik against orvik-camsim over a
// pseudo-terminal, as a user drives it at the prompt.
//
//   paced     `get` through `orvik-camsim --pace`, measured against the time
//             the line itself needs for the bytes that crossed it (from the
//             emulator's frame log, 10 bits a byte)
//   unpaced   `get` of a large file and `getall` of many small ones with no
//             pacing: throughput, CPU seconds per MB, peak memory, and the
//             raw throughput of the same pseudo-terminal path for comparison
//   scaling   listing folders of 64, 256 and 1024 entries and downloading
//             1, 4 and 16 MB
//
// Everything is printed; nothing is compared with a threshold.  A run whose
// transfer did not complete (no prompt, wrong local size) prints FAILED and
// makes the exit status 1, so a broken program cannot pass for a fast one.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "harness.h"

namespace {

int g_failures = 0;

double now_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double tv_seconds(const timeval &tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

void fail(const std::string &what)
{
    std::printf("FAILED: %s\n", what.c_str());
    std::fflush(stdout);
    g_failures++;
}

// ---------------------------------------------------------------- files

std::string make_temp_dir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orvik-bench.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return buf.data();
}

void make_dirs(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); i++)
        if (i == path.size() || path[i] == '/')
            mkdir(path.substr(0, i).c_str(), 0755);
}

void remove_tree(const std::string &path)
{
    DIR *d = opendir(path.c_str());
    if (d) {
        while (dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string sub = path + "/" + name;
            struct stat st{};
            if (lstat(sub.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                remove_tree(sub);
            else
                unlink(sub.c_str());
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

// A file of e2e::jpeg_like bytes; a failed write ends the benchmark.
void write_jpeg_like(const std::string &path, size_t size, uint32_t seed)
{
    const std::string data = e2e::jpeg_like(size, seed);
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data.data(), 1, size, f) != size || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

long file_size(const std::string &path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::string img_name(int i)
{
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%04d.JPG", i);
    return name;
}

// ---------------------------------------------------------------- orvik

using e2e::Camsim;
using e2e::Session;

Session orvik_start(const std::string &tty, int speed, const std::string &cwd)
{
    return e2e::orvik_start({"-d", tty, "-s", std::to_string(speed)}, cwd);
}

// Reads what orvik printed until `done` holds for the output after the
// mark, orvik's side closes, or the time runs out.
template <typename Pred>
bool read_until(Session &s, Pred done, int timeout_ms)
{
    const double deadline = now_seconds() + timeout_ms / 1000.0;
    while (!done(s)) {
        const double left = deadline - now_seconds();
        if (left <= 0)
            return false;
        if (!e2e::read_more(s, static_cast<int>(left * 1000) + 1))
            return done(s);
    }
    return true;
}

// The prompt "[identity] directory> " ends the output, on a line of its own.
bool at_prompt(const Session &s)
{
    if (s.output.size() < s.mark + 2)
        return false;
    const size_t nl = s.output.rfind('\n');
    if (nl == std::string::npos || nl < s.mark)
        return s.mark == 0 && s.output[0] == '[' &&
               s.output.compare(s.output.size() - 2, 2, "> ") == 0;
    const std::string tail = s.output.substr(nl + 1);
    return tail.size() >= 3 && tail[0] == '[' && tail.compare(tail.size() - 2, 2, "> ") == 0;
}

// Waits for the first prompt after the connection.
bool wait_prompt(Session &s, int timeout_ms)
{
    s.mark = 0;
    const bool ok = read_until(s, [](const Session &x) {
        const size_t nl = x.output.rfind('\n');
        if (nl == std::string::npos)
            return false;
        const std::string tail = x.output.substr(nl + 1);
        return tail.size() >= 3 && tail[0] == '[' &&
               tail.compare(tail.size() - 2, 2, "> ") == 0;
    }, timeout_ms);
    s.mark = s.output.size();
    return ok;
}

// Types one command and waits for the next prompt.  Returns the seconds
// from the keystroke to the prompt, or -1 when no prompt came.  The
// command's output is left in *text.
double run_command(Session &s, const std::string &line, int timeout_ms, std::string *text)
{
    s.mark = s.output.size();
    const std::string keys = line + "\r";
    const double t0 = now_seconds();
    if (write(s.master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
        return -1;
    const bool ok = read_until(s, at_prompt, timeout_ms);
    const double t1 = now_seconds();
    if (text)
        *text = s.output.substr(s.mark);
    s.mark = s.output.size();
    return ok ? t1 - t0 : -1;
}

// `quit`, then reaps orvik with its resource usage (when `usage` is not
// nullptr).  False unless orvik ended with status 0.
bool orvik_quit(Session &s, rusage *usage)
{
    const std::string keys = "quit\r";
    bool ok = write(s.master, keys.data(), keys.size()) >= 0;
    read_until(s, [](const Session &) { return false; }, 15000);
    int status = 0;
    if (wait4(s.pid, &status, 0, usage) != s.pid)
        ok = false;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        ok = false;
    close(s.master);
    return ok;
}

void orvik_kill(Session &s)
{
    kill(s.pid, SIGKILL);
    wait4(s.pid, nullptr, 0, nullptr);
    close(s.master);
}

double cpu_seconds(const rusage &ru)
{
    return tv_seconds(ru.ru_utime) + tv_seconds(ru.ru_stime);
}

// ---------------------------------------------------------------- log

struct LogFrame {
    double t;
    bool rx;           // from orvik
    size_t raw_bytes;  // on the line, delimiters and escapes included
    int type;          // packet type, -1 when unreadable
    int status;        // byte 2 (ACK/EOT status), -1 when unreadable
    bool note;
    std::string text;  // NOTE text
};

std::vector<LogFrame> read_log(const std::string &path)
{
    std::vector<LogFrame> out;
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f)
        return out;
    std::vector<char> line(1 << 16);
    std::string acc;
    while (std::fgets(line.data(), static_cast<int>(line.size()), f)) {
        acc += line.data();
        if (acc.empty() || acc.back() != '\n')
            continue;
        acc.pop_back();
        LogFrame fr{};
        char kind[8] = {0};
        int used = 0;
        if (std::sscanf(acc.c_str(), "%lf %7s %n", &fr.t, kind, &used) >= 2) {
            const std::string k = kind;
            if (k == "NOTE") {
                fr.note = true;
                fr.text = acc.substr(static_cast<size_t>(used));
                fr.type = -1;
                out.push_back(fr);
            } else if (k == "RX" || k == "TX") {
                fr.rx = k == "RX";
                std::vector<unsigned> bytes;
                const char *p = acc.c_str() + used;
                unsigned v;
                int n;
                while (std::sscanf(p, "%x%n", &v, &n) == 1) {
                    bytes.push_back(v);
                    p += n;
                }
                fr.raw_bytes = bytes.size();
                // Unescape just far enough to read type and status.
                std::vector<unsigned> un;
                for (size_t i = 1; i < bytes.size() && un.size() < 3; i++) {
                    if (bytes[i] == 0x7E && i + 1 < bytes.size())
                        un.push_back(bytes[++i] ^ 0x20);
                    else
                        un.push_back(bytes[i]);
                }
                fr.type = un.size() >= 2 ? static_cast<int>(un[1]) : -1;
                fr.status = un.size() >= 3 ? static_cast<int>(un[2]) : -1;
                out.push_back(fr);
            }
        }
        acc.clear();
    }
    std::fclose(f);
    return out;
}

struct Window {
    bool found = false;
    double seconds = 0;
    size_t rx_bytes = 0, tx_bytes = 0;
    int rx_frames = 0, tx_frames = 0, naks = 0;
    double orvik_seconds = 0;  // the line idle, waiting for orvik's answers
    int turnarounds = 0;
};

// The download's window on the line: from the arrival of the request's
// data packet to the arrival of orvik's last ACK of the transfer.  The
// emulator logs a frame from orvik when its bytes arrive (their line time
// is accounted after that: the camera answers only once they have crossed)
// and a frame of its own when its last byte has crossed.  So the line is
// busy in the window with the request and every later frame up to, but
// not including, the last ACK.  The request is the last data packet from
// orvik before the emulator's "request type=1" note; the transfer ends
// before the next request.
Window download_window(const std::vector<LogFrame> &log)
{
    Window w;
    size_t note = log.size();
    for (size_t i = 0; i < log.size(); i++)
        if (log[i].note && log[i].text.find("request type=1 ") != std::string::npos) {
            note = i;
            break;
        }
    if (note == log.size())
        return w;
    size_t start = note;
    while (start > 0 && !(log[start].rx && !log[start].note && log[start].type == 0))
        start--;
    if (!(log[start].rx && log[start].type == 0))
        return w;
    size_t end = log.size();
    for (size_t i = note + 1; i < log.size(); i++)
        if (log[i].note && log[i].text.find("request type=") != std::string::npos) {
            end = i;
            break;
        }
    // Back to orvik's last ACK before the next request.
    size_t last = end;
    for (size_t i = start + 1; i < end; i++)
        if (!log[i].note && log[i].rx && log[i].type == 5)
            last = i;
    if (last == end)
        return w;
    for (size_t i = start; i < last; i++) {
        const LogFrame &f = log[i];
        if (f.note)
            continue;
        if (f.rx) {
            if (f.type == 5 && f.status == 0xFF)
                w.naks++;
            w.rx_bytes += f.raw_bytes;
            w.rx_frames++;
        } else {
            w.tx_bytes += f.raw_bytes;
            w.tx_frames++;
        }
    }
    // The emulator logs its frame once the last byte has crossed, and
    // orvik's when it arrives: from a frame of the camera to the next frame
    // of orvik, the line carries nothing and waits for orvik (this also
    // holds the pseudo-terminal's and the emulator's wake-up, so it bounds
    // orvik's share from above).  Everything else beyond the ideal is the
    // emulator's own pacing.
    const LogFrame *prev = nullptr;
    for (size_t i = start; i <= last; i++) {
        const LogFrame &f = log[i];
        if (f.note)
            continue;
        if (prev && !prev->rx && f.rx) {
            w.orvik_seconds += f.t - prev->t;
            w.turnarounds++;
        }
        prev = &f;
    }
    w.seconds = log[last].t - log[start].t;
    w.found = true;
    return w;
}

// A pseudo-terminal pair with both sides raw: bytes pass untouched, as on
// orvik's serial line.  0, or -1 when none could be had.
int open_raw_pty(int *master, int *slave)
{
    if (openpty(master, slave, nullptr, nullptr, nullptr) != 0)
        return -1;
    for (int fd : {*slave, *master}) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return 0;
}

// Round trips of a 10-byte frame (an ACK's size) through a pseudo-terminal
// pair: one side writes it, the other echoes it at once, the first reads it
// back.  The floor of every turnaround on this path: two wake-ups across
// the terminal, no work in between.  Returns the median in seconds, or -1.
double pty_round_trip(int count, int pause_us)
{
    int master, slave;
    if (open_raw_pty(&master, &slave) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(slave);
        uint8_t buf[64];
        for (;;) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                _exit(0);
            if (write(master, buf, static_cast<size_t>(n)) != n)
                _exit(1);
        }
    }
    close(master);
    std::vector<double> trips;
    const uint8_t frame[10] = {0xC0, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0xDB, 0xD1, 0xC1};
    for (int i = 0; i < count; i++) {
        const double t0 = now_seconds();
        if (write(slave, frame, sizeof frame) != static_cast<ssize_t>(sizeof frame))
            break;
        size_t got = 0;
        uint8_t buf[64];
        while (got < sizeof frame) {
            const ssize_t n = read(slave, buf, sizeof buf);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        if (got != sizeof frame)
            break;
        trips.push_back(now_seconds() - t0);
        if (pause_us > 0)
            usleep(static_cast<useconds_t>(pause_us));
    }
    close(slave);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    if (trips.size() != static_cast<size_t>(count) || trips.empty())
        return -1;
    std::sort(trips.begin(), trips.end());
    return trips[trips.size() / 2];
}

// ---------------------------------------------------------------- cases

struct PacedResult {
    int speed = 0, packet = 0;
    long size = 0;
    Window w;
    double ideal = 0;
    bool ok = false;
};

PacedResult paced_case(int speed, int packet, long size, const std::string &root)
{
    PacedResult r;
    r.speed = speed;
    r.packet = packet;
    r.size = size;
    const std::string card = root + "/card";
    const std::string local = root + "/local";
    make_dirs(card + "/DCIM/100CANON");
    make_dirs(local);
    write_jpeg_like(card + "/DCIM/100CANON/IMG_0001.JPG", static_cast<size_t>(size), 1);
    Camsim sim = e2e::camsim_start_in(root, card,
                                      {"--pace", "--packet-size", std::to_string(packet)});
    if (sim.tty.empty())
        return r;
    Session s = orvik_start(sim.tty, speed, local);
    const int limit_ms = static_cast<int>(size * 10 * 2000 / speed) + 60000;
    if (wait_prompt(s, 60000) &&
        run_command(s, "cd D:\\DCIM\\100CANON", 60000, nullptr) >= 0 &&
        run_command(s, "get IMG_0001.JPG", limit_ms, nullptr) >= 0) {
        orvik_quit(s, nullptr);
        r.ok = file_size(local + "/IMG_0001.JPG") == size;
    } else {
        orvik_kill(s);
    }
    e2e::camsim_stop(sim);
    r.w = download_window(read_log(sim.log));
    r.ideal = static_cast<double>(r.w.rx_bytes + r.w.tx_bytes) * 10.0 / speed;
    r.ok = r.ok && r.w.found;
    return r;
}

// The paced runs mostly wait on the line, so they run side by side: each in
// a child of its own, reporting through a pipe.
void run_paced(bool quick, const std::string &root)
{
    struct PacedRun { int speed; int packet; long size; };
    std::vector<PacedRun> runs_wanted;
    if (quick) {
        runs_wanted = {{115200, 1016, 4096}};
    } else {
        for (int p : {512, 1016, 2000})
            runs_wanted.push_back({115200, p, 1L << 20});
        for (int p : {512, 1016, 2000})
            runs_wanted.push_back({9600, p, 20L * 1024});
    }
    std::printf("\n== Paced get through orvik-camsim --pace (line-limited ideal: bytes x 10 bits / speed)\n");
    std::printf("(rx: orvik to camera; orvik s: the line idle between a camera frame and "
                "orvik's answer, over that many turnarounds;\n emulator s: the rest of the "
                "excess over the ideal, the emulator's own pacing)\n");
    std::printf("%7s %6s %8s %9s %9s %7s %5s %9s %9s %7s %8s %6s %10s\n", "speed", "packet",
                "file", "rx bytes", "tx bytes", "frames", "naks", "ideal s", "measured", "ratio",
                "orvik s", "turns", "emulator s");
    std::fflush(stdout);
    std::vector<std::pair<pid_t, int>> kids;
    for (size_t i = 0; i < runs_wanted.size(); i++) {
        int fd[2];
        if (pipe(fd) != 0)
            std::exit(1);
        const pid_t pid = fork();
        if (pid == 0) {
            close(fd[0]);
            const std::string dir = root + "/paced" + std::to_string(i);
            make_dirs(dir);
            const PacedRun &w = runs_wanted[i];
            PacedResult r = paced_case(w.speed, w.packet, w.size, dir);
            char line[512];
            if (r.ok)
                std::snprintf(line, sizeof line,
                              "%7d %6d %8ld %9zu %9zu %7d %5d %9.3f %9.3f %7.4f %8.3f %6d %10.3f\n",
                              r.speed, r.packet, r.size, r.w.rx_bytes, r.w.tx_bytes,
                              r.w.rx_frames + r.w.tx_frames, r.w.naks, r.ideal, r.w.seconds,
                              r.w.seconds / r.ideal, r.w.orvik_seconds, r.w.turnarounds,
                              r.w.seconds - r.ideal - r.w.orvik_seconds);
            else
                std::snprintf(line, sizeof line, "FAILED: paced get at %d, packet size %d\n",
                              r.speed, r.packet);
            const ssize_t n = write(fd[1], line, std::strlen(line));
            _exit(n > 0 && r.ok ? 0 : 1);
        }
        close(fd[1]);
        kids.push_back({pid, fd[0]});
    }
    // The terminal's own turnaround under the same load, alongside: one
    // round trip every 40 ms for about as long as the 1 MB runs take.
    int rt_pipe[2] = {-1, -1};
    pid_t rt_pid = -1;
    const int rt_count = quick ? 5 : 2000;
    if (pipe(rt_pipe) == 0) {
        rt_pid = fork();
        if (rt_pid == 0) {
            close(rt_pipe[0]);
            const double median = pty_round_trip(rt_count, 40000);
            const ssize_t n = write(rt_pipe[1], &median, sizeof median);
            _exit(n == sizeof median ? 0 : 1);
        }
        close(rt_pipe[1]);
    }
    for (auto &k : kids) {
        std::string text;
        char buf[512];
        ssize_t n;
        while ((n = read(k.second, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<size_t>(n));
        close(k.second);
        int status = 0;
        waitpid(k.first, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            g_failures++;
        std::fputs(text.empty() ? "FAILED: paced run gave no result\n" : text.c_str(), stdout);
        std::fflush(stdout);
    }
    if (rt_pid > 0) {
        double median = -1;
        if (read(rt_pipe[0], &median, sizeof median) != sizeof median)
            median = -1;
        close(rt_pipe[0]);
        waitpid(rt_pid, nullptr, 0);
        std::printf("pty round trip of a 10-byte frame alongside the runs (median of %d): %.1f us\n",
                    rt_count, median * 1e6);
    }
}

// Raw copy through a pseudo-terminal pair, the path orvik and the emulator
// share: one side writes 1016-byte blocks (as the camera's data packets),
// the other reads up to 1024 bytes per call (as orvik's refill does).
double pty_throughput(long bytes)
{
    int master, slave;
    if (open_raw_pty(&master, &slave) != 0) {
        std::perror("openpty");
        return -1;
    }
    const double t0 = now_seconds();
    const pid_t pid = fork();
    if (pid == 0) {
        close(slave);
        uint8_t block[1016];
        std::memset(block, 0x5A, sizeof block);
        long left = bytes;
        while (left > 0) {
            const size_t n = static_cast<size_t>(std::min<long>(left, sizeof block));
            const ssize_t w = write(master, block, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                _exit(1);
            left -= w;
        }
        // Keep the master open until the reader has everything, or the
        // terminal would hang up under it.
        pause();
        _exit(0);
    }
    close(master);
    uint8_t buf[1024];
    long got = 0;
    while (got < bytes) {
        const ssize_t n = read(slave, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    const double t1 = now_seconds();
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(slave);
    return got == bytes ? static_cast<double>(bytes) / (t1 - t0) : -1;
}

struct Measured {
    double seconds = -1;  // best of the repeats
    double cpu = 0;       // orvik's user+system for the session, less the baseline
    double sim_cpu = 0;   // the emulator's user+system during the command
    long maxrss_kb = 0;
    bool ok = false;
};

// User + system seconds a running child has used so far (/proc), or 0.
double process_cpu_seconds(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(pid));
    FILE *f = std::fopen(path, "r");
    if (!f)
        return 0;
    char buf[1024];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // The command name may hold anything; the fields follow its last ')'.
    const char *p = std::strrchr(buf, ')');
    if (!p)
        return 0;
    unsigned long utime = 0, stime = 0;
    if (std::sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                    &stime) != 2)
        return 0;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One orvik session on the unpaced emulator: connect, change to the folder,
// run the command (timed from keystroke to prompt), quit.
Measured unpaced_session(const Camsim &sim, const std::string &folder, const std::string &command,
                         const std::string &local, double base_cpu)
{
    Measured m;
    remove_tree(local);
    make_dirs(local);
    Session s = orvik_start(sim.tty, 115200, local);
    if (!wait_prompt(s, 60000) ||
        (!folder.empty() && run_command(s, "cd " + folder, 120000, nullptr) < 0)) {
        orvik_kill(s);
        return m;
    }
    if (!command.empty()) {
        const double sim0 = process_cpu_seconds(sim.pid);
        m.seconds = run_command(s, command, 600000, nullptr);
        m.sim_cpu = process_cpu_seconds(sim.pid) - sim0;
        if (m.seconds < 0) {
            orvik_kill(s);
            return m;
        }
    } else {
        m.seconds = 0;
    }
    rusage usage{};
    m.ok = orvik_quit(s, &usage);
    m.cpu = cpu_seconds(usage) - base_cpu;
    m.maxrss_kb = usage.ru_maxrss;
    return m;
}

// Best time of `repeats` sessions; CPU and memory of the best one.
template <typename Check>
Measured best_of(int repeats, const Camsim &sim, const std::string &folder,
                 const std::string &command, const std::string &local, double base_cpu,
                 Check check)
{
    Measured best;
    for (int i = 0; i < repeats; i++) {
        Measured m = unpaced_session(sim, folder, command, local, base_cpu);
        m.ok = m.ok && check();
        if (!m.ok)
            return m;
        if (!best.ok || m.seconds < best.seconds)
            best = m;
    }
    return best;
}

long count_files(const std::string &dir)
{
    long n = 0;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n;
}

void run_unpaced(bool quick, const std::string &root)
{
    const double MB = 1024.0 * 1024.0;
    const std::string card = root + "/card";
    const std::string big = card + "/DCIM/100CANON";
    const std::string small = card + "/DCIM/200SMALL";
    make_dirs(big);
    make_dirs(small);
    const std::vector<long> sizes = quick ? std::vector<long>{64L << 10, 256L << 10}
                                          : std::vector<long>{1L << 20, 4L << 20, 16L << 20};
    for (size_t i = 0; i < sizes.size(); i++)
        write_jpeg_like(big + "/" + img_name(static_cast<int>(i) + 1), static_cast<size_t>(sizes[i]),
                        static_cast<uint32_t>(i) + 7);
    const int small_count = quick ? 5 : 200;
    const long small_size = 16L << 10;
    for (int i = 1; i <= small_count; i++)
        write_jpeg_like(small + "/" + img_name(i), static_cast<size_t>(small_size),
                        static_cast<uint32_t>(i) + 1000);
    const std::vector<int> listing_sizes = quick ? std::vector<int>{16, 64}
                                                 : std::vector<int>{64, 256, 1024};
    for (int n : listing_sizes) {
        const std::string dir = card + "/DCIM/L" + std::to_string(n);
        make_dirs(dir);
        for (int i = 1; i <= n; i++)
            write_jpeg_like(dir + "/" + img_name(i), 64, static_cast<uint32_t>(i));
    }

    // No frame log: writing it would cost the emulator time the figures
    // are meant to leave out.
    Camsim sim = e2e::camsim_start_in(root, card, {}, false);
    if (sim.tty.empty())
        return;
    const int repeats = quick ? 1 : 3;
    const std::string local = root + "/local";

    // Connect and quit only: its CPU is taken off every session below.
    Measured base = best_of(repeats, sim, "", "", local, 0, [] { return true; });
    if (!base.ok) {
        fail("connect-only session");
        e2e::camsim_stop(sim);
        return;
    }
    std::printf("\n== Unpaced, orvik-camsim without pacing over a pseudo-terminal "
                "(best of %d; CPU is orvik's user+system less a connect-only session: %.3f s)\n",
                repeats, base.cpu);
    std::printf("(/raw pty: orvik's rate over the raw copy's; sim s/MB: the emulator's CPU; "
                "-size MB: peak memory less one file)\n");

    // The same bytes through a bare pseudo-terminal pair, best of as many
    // runs as orvik gets: the limit of this path.
    const long small_total = small_count * small_size;
    const long largest = sizes.back();
    double raw_big = -1, raw_small = -1;
    for (int i = 0; i < repeats; i++) {
        raw_big = std::max(raw_big, pty_throughput(largest));
        raw_small = std::max(raw_small, pty_throughput(small_total));
    }
    std::printf("raw pty copy (1016-byte writes, 1024-byte reads): %.2f MB/s for %ld bytes, "
                "%.2f MB/s for %ld bytes\n",
                raw_big / MB, largest, raw_small / MB, small_total);
    std::printf("pty round trip of a 10-byte frame (median of %d): %.1f us\n", quick ? 50 : 2000,
                pty_round_trip(quick ? 50 : 2000, 0) * 1e6);

    // The local copies go to TMPDIR's file system, as a user's would; the
    // same transfers into a memory file system (/dev/shm) show what the
    // disk's share is (every saved file is synced before the camera is told
    // it was downloaded).  Not in the quick run, which only proves that
    // everything still works.
    std::string shm;
    if (!quick) {
        std::vector<char> tmpl(std::begin("/dev/shm/orvik-bench.XXXXXX"),
                               std::end("/dev/shm/orvik-bench.XXXXXX"));
        if (access("/dev/shm", W_OK) == 0 && mkdtemp(tmpl.data()))
            shm = tmpl.data();
    }

    // Downloads of growing size: throughput, CPU, memory, linearity.
    std::printf("%-20s %5s %9s %8s %8s %8s %9s %9s %9s %8s\n", "transfer", "to", "bytes",
                "seconds", "MB/s", "/raw pty", "CPU s/MB", "sim s/MB", "maxrss MB",
                "-size MB");
    auto row = [&](const char *label, const char *to, long bytes, long one_file,
                   const Measured &m, double raw) {
        const double mb = bytes / MB;
        std::printf("%-20s %5s %9ld %8.3f %8.2f %8.3f %9.4f %9.4f %9.2f %8.2f\n", label, to, bytes,
                    m.seconds, mb / m.seconds, bytes / m.seconds / raw, m.cpu / mb,
                    m.sim_cpu / mb, m.maxrss_kb / 1024.0, m.maxrss_kb / 1024.0 - one_file / MB);
    };
    std::vector<double> times;
    for (size_t i = 0; i < sizes.size(); i++) {
        const std::string name = img_name(static_cast<int>(i) + 1);
        const long size = sizes[i];
        char label[64];
        std::snprintf(label, sizeof label, "get %.2f MB", size / MB);
        for (const std::string &dir : {local, shm}) {
            // The memory file system only for the largest file.
            if (dir.empty() || (dir == shm && size != largest))
                continue;
            Measured m = best_of(repeats, sim, "D:\\DCIM\\100CANON", "get " + name, dir,
                                 base.cpu, [&] { return file_size(dir + "/" + name) == size; });
            if (!m.ok) {
                fail(label);
                continue;
            }
            if (dir == local)
                times.push_back(m.seconds);
            row(label, dir == local ? "disk" : "tmpfs", size, size, m, raw_big);
        }
    }
    char label[64];
    std::snprintf(label, sizeof label, "getall %d x %ld KB", small_count, small_size >> 10);
    for (const std::string &dir : {local, shm}) {
        if (dir.empty())
            continue;
        Measured all = best_of(repeats, sim, "D:\\DCIM\\200SMALL", "getall", dir, base.cpu,
                               [&] { return count_files(dir) == small_count; });
        if (all.ok)
            row(label, dir == local ? "disk" : "tmpfs", small_total, small_size, all, raw_small);
        else
            fail(label);
    }
    if (!shm.empty())
        remove_tree(shm);
    if (times.size() == sizes.size() && times.size() >= 2) {
        std::printf("linearity: seconds per MB");
        for (size_t i = 0; i < sizes.size(); i++)
            std::printf("  %.2f MB: %.4f", sizes[i] / MB, times[i] / (sizes[i] / MB));
        std::printf("\n");
    }

    // Listing scaling.
    std::printf("\n== Listing (ls, unpaced; keystroke to prompt, best of %d)\n", repeats);
    std::printf("%8s %9s %12s\n", "entries", "seconds", "ms/entry");
    for (int n : listing_sizes) {
        std::string text;
        Measured best;
        for (int i = 0; i < repeats; i++) {
            remove_tree(local);
            make_dirs(local);
            Session s = orvik_start(sim.tty, 115200, local);
            if (!wait_prompt(s, 60000)) {
                orvik_kill(s);
                break;
            }
            const double t = run_command(s, "ls D:\\DCIM\\L" + std::to_string(n), 120000, &text);
            orvik_quit(s, nullptr);
            // Every entry is printed on a line of its own with its name.
            const bool ok = t >= 0 && text.find(img_name(n)) != std::string::npos;
            if (!ok)
                break;
            if (!best.ok || t < best.seconds) {
                best.seconds = t;
                best.ok = true;
            }
        }
        if (!best.ok) {
            fail("ls of " + std::to_string(n) + " entries");
            continue;
        }
        std::printf("%8d %9.4f %12.4f\n", n, best.seconds, best.seconds * 1000 / n);
    }
    e2e::camsim_stop(sim);
}

}  // namespace

int main(int argc, char **argv)
{
    bool quick = false;
    bool paced = true, unpaced = true;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--quick") {
            quick = true;
        } else if (a == "--paced-only") {
            unpaced = false;
        } else if (a == "--unpaced-only") {
            paced = false;
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--paced-only | --unpaced-only]\n", argv[0]);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    e2e::harness_hooks([](const std::string &what) { fail(what); }, nullptr);
    const std::string root = make_temp_dir();
    if (unpaced)
        run_unpaced(quick, root + "/unpaced");
    if (paced)
        run_paced(quick, root);
    if (std::getenv("ORVIK_BENCH_KEEP"))
        std::printf("kept %s\n", root.c_str());
    else
        remove_tree(root);
    return g_failures ? 1 : 0;
}

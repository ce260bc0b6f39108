#include "harness.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {

namespace {

// Every copied card file and folder gets this modification time, so that
// listings print the same dates on every run: 2001-06-22 12:00:00 UTC.
constexpr time_t CARD_MTIME = 993211200;

struct Registry {
    std::vector<std::string> dirs;
    std::vector<pid_t> camsims;
    std::vector<pid_t> orviks;
    bool hooked = false;
    void (*report)(const std::string &what) = nullptr;
    bool (*keep)(void) = nullptr;
};
Registry &registry()
{
    static Registry r;
    return r;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

void reap_or_kill(pid_t pid, int first_signal)
{
    if (pid <= 0 || waitpid(pid, nullptr, WNOHANG) != 0)
        return;
    kill(pid, first_signal);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) != 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

void cleanup_at_exit()
{
    Registry &r = registry();
    for (pid_t pid : r.orviks)
        reap_or_kill(pid, SIGKILL);
    for (pid_t pid : r.camsims)
        reap_or_kill(pid, SIGTERM);
    if ((r.keep != nullptr && r.keep()) || std::getenv("ORVIK_KEEP_TMP")) {
        for (const std::string &d : r.dirs)
            std::fprintf(stderr, "kept test directory %s\n", d.c_str());
        return;
    }
    for (const std::string &d : r.dirs)
        nftw(d.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void report(const std::string &what)
{
    if (registry().report != nullptr)
        registry().report(what);
    else
        std::fprintf(stderr, "%s\n", what.c_str());
}

void hook()
{
    Registry &r = registry();
    if (!r.hooked) {
        r.hooked = true;
        signal(SIGPIPE, SIG_IGN);
        std::atexit(cleanup_at_exit);
    }
}

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int exit_code(int wstatus)
{
    if (WIFEXITED(wstatus))
        return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus))
        return 128 + WTERMSIG(wstatus);
    return -1;
}

void set_fixed_time(const std::string &path)
{
    struct timeval tv[2] = {{CARD_MTIME, 0}, {CARD_MTIME, 0}};
    utimes(path.c_str(), tv);
}

// Recursive copy of the sample card, regular files and folders only.
bool copy_tree(const std::string &src, const std::string &dst)
{
    if (mkdir(dst.c_str(), 0755) != 0 && errno != EEXIST)
        return false;
    DIR *d = opendir(src.c_str());
    if (!d)
        return false;
    bool ok = true;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string s = src + "/" + name, t = dst + "/" + name;
        struct stat st;
        if (stat(s.c_str(), &st) != 0) {
            ok = false;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            ok = copy_tree(s, t) && ok;
        } else if (S_ISREG(st.st_mode)) {
            std::string bytes = read_file(s);
            std::ofstream out(t, std::ios::binary | std::ios::trunc);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            out.close();
            ok = ok && out.good();
            set_fixed_time(t);
        }
    }
    closedir(d);
    set_fixed_time(dst);
    return ok;
}

std::vector<std::string> child_env(const std::vector<std::string> &extra)
{
    std::vector<std::string> env;
    for (const char *name : {"PATH", "HOME", "TZ", "TMPDIR", "ASAN_OPTIONS",
                             "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char *v = std::getenv(name))
            env.push_back(std::string(name) + "=" + v);
    }
    env.push_back("TERM=dumb");
    for (const std::string &e : extra) {
        std::string key = e.substr(0, e.find('=') + 1);
        for (auto it = env.begin(); it != env.end();) {
            if (it->compare(0, key.size(), key) == 0)
                it = env.erase(it);
            else
                ++it;
        }
        env.push_back(e);
    }
    return env;
}

std::vector<char *> c_strings(std::vector<std::string> &v)
{
    std::vector<char *> out;
    for (std::string &s : v)
        out.push_back(&s[0]);
    out.push_back(nullptr);
    return out;
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void exec_orvik(const std::string &cwd, char **argv, char **envp)
{
    if (chdir(cwd.c_str()) != 0)
        _exit(126);
    execve(ORVIK_BIN, argv, envp);
    _exit(127);
}

void write_all(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

} // namespace

void harness_hooks(void (*report_hook)(const std::string &what), bool (*keep_hook)(void))
{
    registry().report = report_hook;
    registry().keep = keep_hook;
}

bool read_more(Session &s, int wait_ms)
{
    if (s.master < 0)
        return false;
    struct pollfd p = {s.master, POLLIN, 0};
    int r = poll(&p, 1, wait_ms);
    if (r < 0)
        return errno == EINTR;
    if (r == 0)
        return true;
    char buf[4096];
    ssize_t n = read(s.master, buf, sizeof buf);
    if (n > 0) {
        s.output.append(buf, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    return false;  // EIO: every slave descriptor is closed
}

std::string make_temp_dir()
{
    hook();
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/orvik-e2e.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        report(std::string("mkdtemp ") + pattern + ": " + std::strerror(errno));
        return "";
    }
    registry().dirs.push_back(buf.data());
    return buf.data();
}

std::string jpeg_like(size_t size, uint32_t seed)
{
    std::string data(size, '\0');
    uint32_t x = seed * 2654435761u + 1;  // xorshift32
    for (char &b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<char>(x >> 24);
    }
    if (size >= 4) {
        data[0] = '\xFF';
        data[1] = '\xD8';
        data[size - 2] = '\xFF';
        data[size - 1] = '\xD9';
    }
    return data;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "";
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Camsim camsim_start(const std::vector<std::string> &extra_args, bool copy_card)
{
    std::string dir = make_temp_dir();
    std::string card = dir + "/card";
    if (copy_card) {
        if (!copy_tree(SAMPLE_CARD, card))
            report(std::string("cannot copy ") + SAMPLE_CARD + " to " + card);
    } else {
        mkdir(card.c_str(), 0755);
        mkdir((card + "/DCIM").c_str(), 0755);
    }
    return camsim_start_in(dir, card, extra_args);
}

Camsim camsim_start_in(const std::string &dir, const std::string &card,
                       const std::vector<std::string> &extra_args, bool log)
{
    hook();
    Camsim sim;
    sim.dir = dir;
    sim.card = card;
    std::vector<std::string> args = {CAMSIM_BIN, "--card", sim.card};
    if (log) {
        sim.log = sim.dir + "/camsim.log";
        args.insert(args.end(), {"--log", sim.log});
    }
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char *> argv = c_strings(args);
    std::string out_path = sim.dir + "/camsim.out", err_path = sim.dir + "/camsim.err";

    pid_t pid = fork();
    if (pid < 0) {
        report(std::string("fork: ") + std::strerror(errno));
        return sim;
    }
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        setsid();
        execv(CAMSIM_BIN, argv.data());
        _exit(127);
    }
    sim.pid = pid;
    registry().camsims.push_back(pid);

    long long deadline = now_ms() + 10000;
    while (now_ms() < deadline) {
        std::string out = read_file(out_path);
        size_t nl = out.find('\n');
        if (nl != std::string::npos) {
            sim.tty = out.substr(0, nl);
            return sim;
        }
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            sim.pid = -1;
            report("orvik-camsim ended with status " + std::to_string(exit_code(status)) +
                   ": " + read_file(err_path));
            return sim;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    report("orvik-camsim printed no terminal path within 10 s");
    return sim;
}

void camsim_stop(Camsim &sim)
{
    if (sim.pid > 0)
        reap_or_kill(sim.pid, SIGTERM);
    sim.pid = -1;
}

Session orvik_start(const std::vector<std::string> &args, const std::string &cwd,
                    const std::vector<std::string> &extra_env)
{
    hook();
    Session s;
    std::vector<std::string> argv_s = {ORVIK_BIN};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<std::string> env_s = child_env(extra_env);
    std::vector<char *> argv = c_strings(argv_s), envp = c_strings(env_s);

    struct winsize ws = {};
    ws.ws_row = 24;
    ws.ws_col = 80;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid < 0) {
        report(std::string("forkpty: ") + std::strerror(errno));
        return s;
    }
    if (pid == 0)
        exec_orvik(cwd, argv.data(), envp.data());
    fcntl(master, F_SETFD, FD_CLOEXEC);
    s.pid = pid;
    s.master = master;
    registry().orviks.push_back(pid);
    return s;
}

bool expect(Session &s, const std::string &text, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        size_t at = s.output.find(text, s.mark);
        if (at != std::string::npos) {
            s.mark = at + text.size();
            return true;
        }
        long long left = deadline - now_ms();
        if (left <= 0 || !read_more(s, static_cast<int>(left < 100 ? left : 100))) {
            if (left > 0 && (at = s.output.find(text, s.mark)) != std::string::npos) {
                s.mark = at + text.size();
                return true;
            }
            std::fprintf(stderr, "expect: \"%s\" not seen; output after mark:\n%s\n",
                         text.c_str(), s.output.substr(s.mark).c_str());
            return false;
        }
    }
}

void send_line(Session &s, const std::string &line)
{
    send_raw(s, line + "\r");
}

void send_raw(Session &s, const std::string &bytes)
{
    if (s.master >= 0)
        write_all(s.master, bytes);
}

int wait_exit(Session &s, int timeout_ms)
{
    if (s.pid <= 0)
        return -1;
    long long deadline = now_ms() + timeout_ms;
    int status = 0;
    bool exited = false;
    while (now_ms() < deadline) {
        if (waitpid(s.pid, &status, WNOHANG) == s.pid) {
            exited = true;
            break;
        }
        if (!read_more(s, 50))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!exited) {
        kill(s.pid, SIGKILL);
        waitpid(s.pid, nullptr, 0);
    }
    // Whatever orvik wrote before it ended is still in the terminal.
    if (s.master >= 0) {
        fcntl(s.master, F_SETFL, fcntl(s.master, F_GETFL) | O_NONBLOCK);
        while (read_more(s, 0)) {
            struct pollfd p = {s.master, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0)
                break;
        }
        close(s.master);
        s.master = -1;
    }
    s.pid = -1;
    return exited ? exit_code(status) : -1;
}

namespace {

// Feeds stdin_text to orvik and collects its two output streams until both
// close or the time runs out; closes the three descriptors.  False on a
// timeout.
bool exchange(int to_child, int from_out, int from_err, const std::string &stdin_text,
              RunResult &res, long long deadline)
{
    size_t sent = 0;
    if (stdin_text.empty()) {
        close(to_child);
        to_child = -1;
    }
    bool timed_out = false;
    while (from_out >= 0 || from_err >= 0) {
        long long left = deadline - now_ms();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        struct pollfd p[3] = {{from_out, POLLIN, 0}, {from_err, POLLIN, 0},
                              {to_child, POLLOUT, 0}};
        if (poll(p, 3, static_cast<int>(left < 200 ? left : 200)) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? res.out : res.err).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(p[i].fd);
                (i == 0 ? from_out : from_err) = -1;
            }
        }
        if (to_child >= 0 && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(to_child, stdin_text.data() + sent, stdin_text.size() - sent);
            if (n > 0)
                sent += static_cast<size_t>(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || sent == stdin_text.size()) {
                close(to_child);
                to_child = -1;
            }
        }
    }
    for (int fd : {to_child, from_out, from_err})
        if (fd >= 0)
            close(fd);
    return !timed_out;
}

// Its exit status once it has ended (within 10 s), else -1 (then killed).
int reap(pid_t pid)
{
    int status = 0;
    long long deadline = now_ms() + 10000;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (now_ms() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exit_code(status);
}

}  // namespace

RunResult orvik_run(const std::vector<std::string> &args, const std::string &stdin_text,
                    const std::string &cwd, int timeout_ms,
                    const std::vector<std::string> &extra_env)
{
    hook();
    RunResult res{-1, "", ""};
    std::vector<std::string> argv_s = {ORVIK_BIN};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<std::string> env_s = child_env(extra_env);
    std::vector<char *> argv = c_strings(argv_s), envp = c_strings(env_s);

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
        report(std::string("pipe: ") + std::strerror(errno));
        return res;
    }
    pid_t pid = fork();
    if (pid < 0) {
        report(std::string("fork: ") + std::strerror(errno));
        return res;
    }
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        setsid();
        exec_orvik(cwd, argv.data(), envp.data());
    }
    registry().orviks.push_back(pid);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    fcntl(in[1], F_SETFL, O_NONBLOCK);

    if (!exchange(in[1], out[0], err[0], stdin_text, res, now_ms() + timeout_ms)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return res;
    }
    // Both streams are closed; orvik is ending or has ended.
    res.status = reap(pid);
    return res;
}

std::vector<std::string> log_lines(const Camsim &sim, const std::string &kind)
{
    std::vector<std::string> lines;
    std::istringstream in(read_file(sim.log));
    std::string line;
    while (std::getline(in, line)) {
        size_t a = line.find(' ');
        if (a == std::string::npos)
            continue;
        size_t b = line.find(' ', a + 1);
        std::string field = line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
        if (field == kind)
            lines.push_back(b == std::string::npos ? "" : line.substr(b + 1));
    }
    return lines;
}

}  // namespace e2e

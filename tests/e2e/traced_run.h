// orvik under strace with one system call of the local file save tampered
// with: its Nth call fails with an error, or a signal arrives on it.
//
// Only the calls on the save's own files count: the temporary files
// ("./.orvik-partial-PID-K") and the download directory itself (its
// fsync after the rename).  Writes to the terminal, the pipe and the
// serial port never match, so the line to the camera keeps working.
// strace -D keeps orvik the direct child of the forked process, so its
// pid, and with it the temporary names, are known before it starts.
#ifndef ORVIK_TESTS_E2E_TRACED_RUN_H
#define ORVIK_TESTS_E2E_TRACED_RUN_H

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <sys/stat.h>

#include "e2e.h"

namespace e2e {

inline bool strace_available()
{
    return std::system("strace -V >/dev/null 2>&1") == 0;
}

struct Tamper {
    std::string syscalls;  // strace syscall set: "write", "fsync", "rename,renameat,renameat2"
    std::string action;    // "error=ENOSPC", "signal=SIGTERM"
    int nth;               // which matching call, from 1
    // Otherwise empty: further calls to record, on every file (not only the
    // save's), in strace's log `log` (descriptors with their paths, bytes in
    // hexadecimal).  The tampered call then counts on every file too.
    std::string record = "";
    std::string log = "/dev/null";
};

struct TracedRun {
    pid_t pid = -1;
    std::string out_path, err_path;
};

// Starts orvik with args in cwd, stdin_text on a pipe, stdout and stderr
// into files beside cwd.
inline TracedRun traced_start(const std::vector<std::string> &args, const std::string &stdin_text,
                 const std::string &cwd, const Tamper &tamper)
{
    TracedRun run;
    run.out_path = cwd + ".out";
    run.err_path = cwd + ".err";
    char real[PATH_MAX];
    if (realpath(cwd.c_str(), real) == nullptr)
        return run;
    int in[2];
    if (pipe(in) != 0)
        return run;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        close(in[0]);
        close(in[1]);
        int o = open(run.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(run.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        // The leak checker of a sanitizer build cannot run under ptrace;
        // everything else it checks stays on.
        const char *asan = getenv("ASAN_OPTIONS");
        std::string opts = asan != nullptr && *asan != 0 ? std::string(asan) + ":" : "";
        setenv("ASAN_OPTIONS", (opts + "detect_leaks=0").c_str(), 1);

        const std::string traced_calls =
            tamper.record.empty() ? tamper.syscalls : tamper.syscalls + "," + tamper.record;
        std::vector<std::string> argv = {"strace", "-D", "-qq", "-y", "-xx", "-o", tamper.log,
                                         "-e", "trace=" + traced_calls,
                                         "-e", "inject=" + tamper.syscalls + ":" + tamper.action +
                                                   ":when=" + std::to_string(tamper.nth)};
        std::string pid_text = std::to_string(getpid());
        for (int k = 0; tamper.record.empty() && k < 8; k++) {
            std::string name = "/.orvik-partial-" + pid_text + "-" + std::to_string(k);
            argv.insert(argv.end(), {"-P", "." + name, "-P", real + name});
        }
        if (tamper.record.empty())
            argv.insert(argv.end(), {"-P", real});
        argv.push_back(ORVIK_BIN);
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> c_argv;
        for (std::string &a : argv)
            c_argv.push_back(a.data());
        c_argv.push_back(nullptr);
        execvp("strace", c_argv.data());
        _exit(127);
    }
    close(in[0]);
    if (pid > 0) {
        // Short command texts fit the pipe: this never blocks.
        ssize_t w = write(in[1], stdin_text.data(), stdin_text.size());
        (void)w;
    }
    close(in[1]);
    run.pid = pid;
    return run;
}

// Waits for the run: its exit status (128 + signal when killed), -1 when
// it could not start or was still running after timeout_ms (then killed).
inline RunResult traced_finish(const TracedRun &run, int timeout_ms = 90000)
{
    if (run.pid <= 0)
        return {-1, "", ""};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(run.pid, &status, WNOHANG);
        if (r == run.pid)
            break;
        if (r < 0 || std::chrono::steady_clock::now() > deadline) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, &status, 0);
            return {-1, read_file(run.out_path), read_file(run.err_path)};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return {code, read_file(run.out_path), read_file(run.err_path)};
}

// An emulator on a card holding one photo, DCIM\\100AAA\\A.JPG, with its
// attributes kept in `state`, and an empty download directory `cwd`.  The
// emulator's tty is empty when it could not start.
struct OnePhoto {
    Camsim sim;
    std::string state, cwd;
};

inline OnePhoto one_photo_card()
{
    OnePhoto c;
    c.state = make_temp_dir() + "/attributes";
    c.sim = camsim_start({"--state", c.state}, false);
    if (c.sim.tty.empty())
        return c;
    make_folder(c.sim, "DCIM/100AAA", {"A.JPG"});
    c.cwd = make_temp_dir() + "/dl";
    mkdir(c.cwd.c_str(), 0755);
    return c;
}

}  // namespace e2e

#endif

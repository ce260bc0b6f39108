// The process side of the end-to-end runs: orvik-camsim on a card and the
// real orvik against it, on a pseudo-terminal as a user would drive it, or
// on pipes.  Needs no test framework: the tests and the benchmarks share it.
//
// Every directory made by make_temp_dir, and every process started here
// that is still running, is cleaned up when the process ends; the
// directories are kept when the keep hook says so or ORVIK_KEEP_TMP is
// set, for debugging.
#ifndef ORVIK_TESTS_E2E_HARNESS_H
#define ORVIK_TESTS_E2E_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include <sys/types.h>

namespace e2e {

// How the harness reports its own failures (a process that did not start,
// a card that could not be copied): `report` gets one line of text; by
// default it goes to stderr.  `keep`, asked at exit, keeps the temporary
// directories when it returns true.  Either may be nullptr.
void harness_hooks(void (*report)(const std::string &what), bool (*keep)(void));

struct Camsim {            // a running orvik-camsim
    pid_t pid = -1;
    std::string dir;       // its output files: a fresh temporary directory of camsim_start
    std::string card;      // camsim_start: dir + "/card", a copy of the sample card (or empty)
    std::string tty;       // terminal path printed by the emulator
    std::string log;       // dir + "/camsim.log" (passed as --log), or empty
};

// Starts the emulator on a fresh copy of SAMPLE_CARD (copy_card false: an
// empty card dir with an empty DCIM folder) with the extra options; waits
// for the tty line.  On failure it is reported and tty is empty.
Camsim camsim_start(const std::vector<std::string> &extra_args = {}, bool copy_card = true);

// The same on the existing card directory `card`, with the emulator's
// output (and, when `log` is true, its log) in the existing directory
// `dir`; log is empty without one.
Camsim camsim_start_in(const std::string &dir, const std::string &card,
                       const std::vector<std::string> &extra_args, bool log = true);

// SIGTERM, wait (SIGKILL after 10 s), remove nothing.
void camsim_stop(Camsim &sim);

// Whole file, "" when missing.
std::string read_file(const std::string &path);

struct Session {           // orvik running on a pseudo-terminal (forkpty)
    pid_t pid = -1;
    int master = -1;
    std::string output;    // everything read so far (stdout+stderr as the terminal shows it; \r\n kept)
    size_t mark = 0;       // expect() searches from here and moves it past the match
};

// Starts ORVIK_BIN with args in cwd.  The environment holds PATH, HOME, TZ
// and TMPDIR of the test (when set), TERM=dumb, then the extra_env
// "NAME=value" entries (which replace entries of the same name).
Session orvik_start(const std::vector<std::string> &args, const std::string &cwd,
                    const std::vector<std::string> &extra_env = {});

// True when text appears in the output after mark (mark then moves past
// it); false after timeout_ms or when orvik's side closed first (the
// output after mark is then printed on stderr to help debugging).
bool expect(Session &s, const std::string &text, int timeout_ms = 30000);

// Appends what orvik wrote to s.output, waiting at most wait_ms for it;
// false once orvik's side of the terminal is closed.
bool read_more(Session &s, int wait_ms);

void send_line(Session &s, const std::string &line);   // writes line + "\r"
void send_raw(Session &s, const std::string &bytes);

// Reads the remaining output and reaps orvik: its exit status, 128+signal
// when killed by a signal, -1 on timeout (orvik is then killed).
int wait_exit(Session &s, int timeout_ms = 30000);

struct RunResult { int status; std::string out; std::string err; };

// Runs ORVIK_BIN with stdin from the text (a pipe, not a terminal), stdout
// and stderr captured apart; status as for wait_exit (-1: timed out, killed).
RunResult orvik_run(const std::vector<std::string> &args, const std::string &stdin_text,
                    const std::string &cwd, int timeout_ms = 120000,
                    const std::vector<std::string> &extra_env = {});

// Fresh directory under TMPDIR or /tmp.
std::string make_temp_dir();

// `size` bytes that pass for a compressed photo: the JPEG start marker,
// then bytes of every value equally likely (so that the share of bytes the
// line escapes is realistic), then the end marker; the markers only from 4
// bytes up.  The same seed gives the same bytes.
std::string jpeg_like(size_t size, uint32_t seed);

// Lines of the emulator's log whose second field is kind ("RX", "TX",
// "NOTE"); of each, the text after "<time> <kind> " is returned.
std::vector<std::string> log_lines(const Camsim &sim, const std::string &kind);

}  // namespace e2e

#endif

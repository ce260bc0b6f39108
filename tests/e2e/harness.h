// End-to-end test harness: runs orvik-camsim on a copy of the sample card
// and the real orvik against it, on a pseudo-terminal like a user would.
//
// Every directory made here, and every process started here that is still
// running, is cleaned up when the test process ends; the directories are
// kept when a test failed or ORVIK_KEEP_TMP is set, for debugging.
#ifndef ORVIK_TESTS_E2E_HARNESS_H
#define ORVIK_TESTS_E2E_HARNESS_H

#include <string>
#include <vector>
#include <sys/types.h>

struct Camsim {            // a running orvik-camsim
    pid_t pid = -1;
    std::string dir;       // fresh temporary directory owned by this test
    std::string card;      // dir + "/card": a copy of the sample card (or empty dir)
    std::string tty;       // terminal path printed by the emulator
    std::string log;       // dir + "/camsim.log" (passed as --log)
};

// Starts the emulator on a fresh copy of SAMPLE_CARD (copy_card false: an
// empty card dir with an empty DCIM folder) with the extra options; waits
// for the tty line.  On failure a test failure is recorded and tty is empty.
Camsim camsim_start(const std::vector<std::string> &extra_args = {}, bool copy_card = true);

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

// Lines of the emulator's log whose second field is kind ("RX", "TX",
// "NOTE"); of each, the text after "<time> <kind> " is returned.
std::vector<std::string> log_lines(const Camsim &sim, const std::string &kind);

#endif

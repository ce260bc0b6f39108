// Every orderly way out of the process, the termination-signal handler and
// the two small rules that other subsystems share.
#ifndef ORVIK_SHELL_EXITS_H
#define ORVIK_SHELL_EXITS_H

#include "serial/fatal.h"

// camera_off, remove_temp_file, exit(status) (stdout is flushed).
[[noreturn]] void close_and_exit(int status);

// The end after a fatal condition of serial/fatal.h, its message printed
// by the layer that met it; status 1 either way.  The camera is switched
// off first (close_and_exit) after an internal error or a failed download
// allocation, when the link still works; not after a frame overflow, a
// camera out of PC mode or a length without a CRC seed, where the link is
// past trusting (plain exit).
[[noreturn]] void end_after_fatal(const FatalCondition &fatal);

// lstat "./orvik_REMOVE_ME": absent -> nothing; a symbolic link ->
// "WARNING, %s is a symbolic link\n" and left alone; else unlink.
void remove_temp_file(void);

// Installs trap_signal for SIGTERM, SIGINT, SIGQUIT, SIGSEGV, SIGFPE,
// SIGHUP and SIGPIPE.
void install_signal_handlers(void);

// The handler: "\n--> signal %d trapped, close the camera and exit\n", the
// camera-off frames, the temporary-file step, a partial download removed,
// _exit(signal).  Uses only async-signal-safe calls.
[[noreturn]] void trap_signal(int sig);

// 0: "Current serial speed: %d\n"; one of the five speeds: stored
// silently; otherwise "Invalid speed %d\nTry 9600, 19200, 38400, 57600, 115200.\n".
void select_speed(int speed);

// UTC-as-local minus local, in seconds (-3600 one hour east of UTC).  On a
// clock failure: err(1, "gettimeofday").
int compute_clock_offset(void);

#endif

#include "shell/exits.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <err.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "camera/connect.h"
#include "files/localfile.h"
#include "files/thumb.h"
#include "serial/fdio.h"
#include "serial/port.h"
#include "serial/speed.h"
#include "shell/settings.h"

// The temporary-file step of every way out.  Only lstat, unlink and (in
// the handler) write(2) are called, so the termination handler can take
// it too; stdio is kept for the orderly end, where output already waiting
// in stdout's buffer must come first.
static void remove_temp(bool in_signal_handler)
{
    struct stat st;
    if (lstat(TEMP_THUMBNAIL, &st) != 0)
        return;
    // A link planted under the temporary name must not make us delete
    // whatever it points to, nor the link itself: someone put it there.
    if (S_ISLNK(st.st_mode)) {
        if (in_signal_handler) {
            fdio_signal_write(STDOUT_FILENO, "WARNING, ");
            fdio_signal_write(STDOUT_FILENO, TEMP_THUMBNAIL);
            fdio_signal_write(STDOUT_FILENO, " is a symbolic link\n");
        } else {
            std::printf("WARNING, %s is a symbolic link\n", TEMP_THUMBNAIL);
        }
        return;
    }
    unlink(TEMP_THUMBNAIL);
}

void remove_temp_file(void)
{
    remove_temp(false);
}

void close_and_exit(int status)
{
    camera_off();
    remove_temp_file();
    std::exit(status);
}

void end_after_fatal(const FatalCondition &fatal)
{
    switch (fatal.kind) {
    case FATAL_INTERNAL:
    case FATAL_NO_MEMORY:
        close_and_exit(1);
    case FATAL_FRAME_OVERFLOW:
    case FATAL_PC_MODE:
    case FATAL_CRC_LENGTH:
        break;
    }
    std::exit(1);
}

// The termination handler does its whole job inside the handler, but only
// with async-signal-safe calls: it may interrupt printf or malloc half way,
// so it formats the number by hand and writes with write(2), switches the
// camera off the way an orderly end does (with the port code kept off
// stdio), removes the files with lstat/unlink and ends with _exit.  stdout
// is line-buffered from the start, so nothing printed before the signal is
// lost by skipping exit().
void trap_signal(int sig)
{
    // One write, so that the line cannot be torn apart by other output.
    char msg[80] = "\n--> signal ";
    size_t pos = std::strlen(msg);
    pos += static_cast<size_t>(fdio_format_decimal(msg + pos, sig));
    msg[pos] = 0;
    std::strcat(msg, " trapped, close the camera and exit\n");
    fdio_signal_write(STDOUT_FILENO, msg);

    serial_signal_mode();
    camera_off();

    remove_temp(true);
    const char *partial = local_partial_file();
    if (partial != nullptr)
        unlink(partial);
    serial_end();
    _exit(sig);
}

// SIGHUP: the terminal or the ssh session went away; SIGPIPE: the reader
// of the output did (orvik -l | head -1).  Either way the camera is still
// on and connected, and is switched off as for the others.
static const int terminating_signals[] = {SIGTERM, SIGINT, SIGQUIT, SIGSEGV, SIGFPE, SIGHUP,
                                          SIGPIPE};

void install_signal_handlers(void)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = trap_signal;
    // A second signal while the camera is being switched off must not start
    // the same work again half way through.
    sigfillset(&sa.sa_mask);
    for (int s : terminating_signals)
        sigaction(s, &sa, nullptr);
}

void select_speed(int speed)
{
    if (speed == 0)
        std::printf("Current serial speed: %d\n", settings.speed);
    else if (serial_line_speed(speed) != nullptr)
        settings.speed = speed;
    else
        std::printf("Invalid speed %d\nTry 9600, 19200, 38400, 57600, 115200.\n", speed);
}

int compute_clock_offset(void)
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0)
        err(1, "gettimeofday");
    time_t now = tv.tv_sec;
    struct tm local = *std::localtime(&now);
    struct tm utc = *std::gmtime(&now);
    utc.tm_isdst = 0;
    return static_cast<int>(std::difftime(std::mktime(&utc), std::mktime(&local)));
}

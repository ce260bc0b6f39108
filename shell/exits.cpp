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
#include "serial/port.h"
#include "shell/settings.h"

// The local file a download is writing, so that a signal does not leave a
// truncated picture behind that a later run would take for a complete one.
static const char *volatile partial_file = nullptr;

void register_partial_file(const char *path)
{
    partial_file = path;
}

void remove_temp_file(void)
{
    struct stat st;
    if (lstat(TEMP_THUMBNAIL, &st) != 0)
        return;
    // A link planted under the temporary name must not make us delete
    // whatever it points to, nor the link itself: someone put it there.
    if (S_ISLNK(st.st_mode)) {
        std::printf("WARNING, %s is a symbolic link\n", TEMP_THUMBNAIL);
        return;
    }
    unlink(TEMP_THUMBNAIL);
}

void close_and_exit(int status)
{
    camera_off();
    remove_temp_file();
    std::exit(status);
}

// Signal-safe output: write(2) the whole text, retrying interruptions.
static void safe_write(int fd, const char *text)
{
    size_t len = std::strlen(text);
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text += n;
        len -= static_cast<size_t>(n);
    }
}

// The termination handler does its whole job inside the handler, but only
// with async-signal-safe calls: it may interrupt printf or malloc half way,
// so it formats the number by hand and writes with write(2), switches the
// camera off the way an orderly end does (with the port code kept off
// stdio), removes the files with lstat/unlink and ends with _exit.  stdout is line-buffered from the
// start, so nothing printed before the signal is lost by skipping exit().
void trap_signal(int sig)
{
    char msg[80] = "\n--> signal ";
    char digits[12];
    int n = 0;
    unsigned v = sig < 0 ? 0u - static_cast<unsigned>(sig) : static_cast<unsigned>(sig);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && n < 11);
    size_t pos = std::strlen(msg);
    if (sig < 0)
        msg[pos++] = '-';
    while (n > 0)
        msg[pos++] = digits[--n];
    msg[pos] = 0;
    std::strcat(msg, " trapped, close the camera and exit\n");
    safe_write(STDOUT_FILENO, msg);

    serial_signal_mode();
    camera_off();

    struct stat st;
    if (lstat(TEMP_THUMBNAIL, &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            safe_write(STDOUT_FILENO, "WARNING, ");
            safe_write(STDOUT_FILENO, TEMP_THUMBNAIL);
            safe_write(STDOUT_FILENO, " is a symbolic link\n");
        } else {
            unlink(TEMP_THUMBNAIL);
        }
    }
    const char *partial = partial_file;
    if (partial != nullptr)
        unlink(partial);
    serial_release_exclusive();
    _exit(sig);
}

static const int terminating_signals[] = {SIGTERM, SIGINT, SIGQUIT, SIGSEGV, SIGFPE};

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

void reset_signal_handlers(void)
{
    for (int s : terminating_signals)
        signal(s, SIG_DFL);
}

void select_speed(int speed)
{
    switch (speed) {
    case 0:
        std::printf("Current serial speed: %d\n", settings.speed);
        break;
    case 9600:
    case 19200:
    case 38400:
    case 57600:
    case 115200:
        settings.speed = speed;
        break;
    default:
        std::printf("Invalid speed %d\nTry 9600, 19200, 38400, 57600, 115200.\n", speed);
        break;
    }
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

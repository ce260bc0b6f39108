// orvik-camsim: an emulated Canon PowerShot on a pseudo-terminal (or a
// real serial port), serving a host folder as its card.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "camsim/card.h"
#include "camsim/line.h"
#include "camsim/options.h"
#include "camsim/protocol.h"

namespace {

void on_signal(int)
{
    line_stop = 1;
}

void on_usr1(int)
{
    line_noise_toggles = line_noise_toggles + 1;
}

void on_usr2(int)
{
    line_hangup_requests = line_hangup_requests + 1;
}

void install_handlers()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: waits return EINTR and see the flag
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_usr1;
    sigaction(SIGUSR1, &sa, nullptr);
    sa.sa_handler = on_usr2;
    sigaction(SIGUSR2, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int make_link(const std::string &link, const std::string &target)
{
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "orvik-camsim: %s exists and is no symbolic link\n",
                         link.c_str());
            return -1;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::perror(link.c_str());
        return -1;
    }
    return 0;
}

CamsimOptions opts;
LineEvent event;

// The N of the line's own fault of this kind, or 0.
long line_fault(FaultKind kind)
{
    for (const Fault &f : opts.faults)
        if (f.kind == kind)
            return f.n;
    return 0;
}

// Opens the camera's end of the line (the --device, or a new
// pseudo-terminal) and points the --link at it.  Returns 0, or -1 with
// the reason printed.
int open_line(std::string *tty)
{
    if (!opts.device.empty()) {
        if (line_open_device(opts.device) != 0)
            return -1;
        *tty = opts.device;
    } else if (line_open_pty(tty) != 0) {
        return -1;
    }
    if (!opts.link.empty() && make_link(opts.link, *tty) != 0)
        return -1;
    return 0;
}

// After a hang-up: with --return, the camera comes back that much later
// (power cycled, adapter plugged in again) on a new terminal that the
// --link points to; without, it is gone for good.  False when it is.
bool come_back()
{
    if (opts.return_ms < 0)
        return false;
    if (!opts.link.empty())
        unlink(opts.link.c_str());  // the device node is gone meanwhile
    struct timespec away = {static_cast<time_t>(opts.return_ms / 1000),
                            static_cast<long>(opts.return_ms % 1000) * 1000000};
    while (nanosleep(&away, &away) != 0 && !line_stop) {
    }
    std::string tty;
    if (line_stop || open_line(&tty) != 0)
        return false;
    // Powered up again: switched off, at 9600 bits/s, waiting for a
    // synchronisation.
    line_set_speed(9600);
    protocol_init(&opts);
    line_note("back on " + tty);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int r = camsim_parse_options(argc, argv, &opts);
    if (r != 0)
        return r == 1 ? 0 : r;
    if (card_open(opts.card, opts.state_file) != 0) {
        std::fprintf(stderr, "orvik-camsim: %s is no folder\n", opts.card.c_str());
        return 1;
    }
    if (!opts.log_file.empty() && line_open_log(opts.log_file) != 0)
        return 1;
    install_handlers();

    std::string tty;
    if (open_line(&tty) != 0) {
        line_close();
        return 1;
    }
    std::printf("%s\n", tty.c_str());
    std::fflush(stdout);

    line_set_pacing(opts.pace);
    line_set_noise(opts.noise_rate, opts.noise_seed);
    line_set_hangup_after(line_fault(FAULT_HANGUP));
    line_set_stall_after(line_fault(FAULT_STALL));
    protocol_init(&opts);
    line_note("ready on " + tty);
    int status = 0;
    while (!line_stop) {
        int got = line_receive(&event, protocol_wait_ms());
        if (got == LINE_HUNG_UP) {
            if (!come_back())
                break;
            continue;
        }
        if (got < 0) {
            std::fprintf(stderr, "orvik-camsim: the line failed: %s\n", std::strerror(errno));
            status = 1;
            break;
        }
        if (got > 0)
            protocol_handle(event);
        protocol_tick();
    }
    line_note("stopped");
    if (!opts.link.empty())
        unlink(opts.link.c_str());
    line_close();
    return status;
}

// orvik-camsim: an emulated Canon PowerShot on a pseudo-terminal (or a
// real serial port), serving a host folder as its card.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
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
    if (!opts.device.empty()) {
        if (line_open_device(opts.device) != 0)
            return 1;
        tty = opts.device;
    } else if (line_open_pty(&tty) != 0) {
        return 1;
    }
    if (!opts.link.empty() && make_link(opts.link, tty) != 0) {
        line_close();
        return 1;
    }
    std::printf("%s\n", tty.c_str());
    std::fflush(stdout);

    line_set_pacing(opts.pace);
    line_set_noise(opts.noise_rate, opts.noise_seed);
    protocol_init(&opts);
    line_note("ready on " + tty);
    int status = 0;
    while (!line_stop) {
        int got = line_receive(&event, protocol_wait_ms());
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

#include "shell/mount.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "camera/connect.h"
#include "serial/output.h"
#include "shell/exits.h"
#include "shell/mountcache.h"
#include "shell/mountcard.h"
#include "shell/mountfs.h"

#include <fuse_lowlevel.h>

namespace {

// Room for the local copies of the camera's files: a few hundred photos of
// these cameras, and far less than a disk that holds a photo library.
constexpr long long COPY_BUDGET = 512LL * 1024 * 1024;
// A connection made again while serving gives up after this many
// synchronisation bursts (a few seconds): the request that made it, and
// every one queued behind it, is answered, and a signal or an unmount is
// heard, while the camera stays switched off.
constexpr int RECONNECT_SYNC_BURSTS = 8;

// The signal that ends the serving, and the session it ends.
volatile sig_atomic_t ending_signal;
fuse_session *serving;

// The first signal lets the request under way finish, so the camera is
// never left in the middle of a message, and ends the loop; a second one
// ends the process at once, as at the prompt.
void on_ending_signal(int sig)
{
    if (ending_signal != 0)
        trap_signal(sig);
    ending_signal = sig;
    fuse_session_exit(serving);
}

void set_handler(void (*handler)(int))
{
    struct sigaction sa{};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the wait for the kernel's next request must end.
    // SIGQUIT (Ctrl-\) too: ended at once, the process would leave the
    // folder mounted with nobody serving it, and the copies behind.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &sa, nullptr);
}

// libfuse says why a mount failed on stderr, in its own words and lines:
// they are gathered here, and the first one given in orvik's line.
struct Quieted {
    int saved = -1;
    FILE *held = nullptr;
};

Quieted quiet_stderr(void)
{
    Quieted q;
    out_flush();  // what is written so far goes where it was meant to
    q.held = std::tmpfile();
    q.saved = dup(STDERR_FILENO);
    if (q.held != nullptr && q.saved >= 0)
        dup2(fileno(q.held), STDERR_FILENO);
    return q;
}

std::string restore_stderr(Quieted q)
{
    std::string first;
    if (q.saved >= 0) {
        dup2(q.saved, STDERR_FILENO);
        close(q.saved);
    }
    if (q.held != nullptr) {
        char line[512];
        std::rewind(q.held);
        if (std::fgets(line, sizeof line, q.held) != nullptr)
            first = std::string(line, std::strcspn(line, "\n"));
        std::fclose(q.held);
    }
    return first;
}

fuse *mount_at(const char *dir)
{
    char *argv[] = {const_cast<char *>("orvik"), const_cast<char *>("-o"),
                    const_cast<char *>("fsname=orvik,subtype=orvik,default_permissions"),
                    nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    Quieted q = quiet_stderr();
    fuse *f = fuse_new(&args, mount_operations(), sizeof(fuse_operations), nullptr);
    const bool mounted = f != nullptr && fuse_mount(f, dir) == 0;
    const std::string why = restore_stderr(q);
    fuse_opt_free_args(&args);
    if (mounted)
        return f;
    if (f != nullptr)
        fuse_destroy(f);
    out_complaint("%s: the system refused the mount%s%s\n", dir, why.empty() ? "" : ": ",
                  why.c_str());
    return nullptr;
}

}  // namespace

int mount_check(const char *dir)
{
    struct stat st;
    const bool found = stat(dir, &st) == 0;
    if (!found || !S_ISDIR(st.st_mode)) {
        out_complaint("cannot mount the camera at %s: %s\n", dir,
                      found ? "not a folder" : std::strerror(errno));
        return -1;
    }
    const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        out_complaint("cannot mount the camera: /dev/fuse: %s (the kernel offers no FUSE "
                      "here: load its module, or give a container the device)\n",
                      std::strerror(errno));
        return -1;
    }
    close(fd);
    return 0;
}

int mount_serve(const char *dir)
{
    const char *tmp = std::getenv("TMPDIR");
    if (mount_cache_open(tmp != nullptr && tmp[0] != 0 ? tmp : "/tmp", COPY_BUDGET) != 0) {
        out_complaint("no folder for the copies of the camera's files: %s\n",
                      std::strerror(errno));
        return 1;
    }
    camera_set_sync_bursts(RECONNECT_SYNC_BURSTS);
    mount_card_begin(camera_state.disk_name[0] != 0 ? camera_state.disk_name : "D:");
    fuse *f = mount_at(dir);
    if (f == nullptr) {
        mount_cache_close();
        return 1;
    }
    serving = fuse_get_session(f);
    set_handler(on_ending_signal);
    std::printf("The card is at %s; unmount it (fusermount3 -u %s) to end\n", dir, dir);
    fuse_loop(f);
    // From here a signal ends the process as at the prompt.
    install_signal_handlers();
    fuse_unmount(f);
    fuse_destroy(f);
    mount_close_files();
    mount_cache_close();
    if (ending_signal == 0)
        return 0;
    std::printf("\n--> signal %d trapped, close the camera and exit\n", static_cast<int>(ending_signal));
    return ending_signal;
}

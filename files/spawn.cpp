#include "files/spawn.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

pid_t fork_plain_child(void)
{
    sigset_t all, before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    const pid_t child = fork();
    if (child == 0) {
        struct sigaction plain;
        std::memset(&plain, 0, sizeof plain);
        plain.sa_handler = SIG_DFL;
        sigemptyset(&plain.sa_mask);
        for (int s = 1; s < NSIG; s++)
            sigaction(s, &plain, nullptr);  // SIGKILL and SIGSTOP refuse; no matter
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        return 0;
    }
    const int saved_errno = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = saved_errno;
    return child;
}

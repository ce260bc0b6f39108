#include "shell/hook.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "files/cache.h"
#include "files/download.h"
#include "files/spawn.h"
#include "serial/output.h"

const char *hook_command = nullptr;

namespace {

// In the child: the command must not read the answers meant for orvik's
// questions, nor take the serial line's descriptor with it (that one is
// close-on-exec).
[[noreturn]] void run_command(const char *saved, const char *camera_path)
{
    const int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, STDIN_FILENO) < 0)
        _exit(126);
    if (null != STDIN_FILENO)
        close(null);
    execl("/bin/sh", "sh", "-c", hook_command, "sh", saved, camera_path,
          static_cast<char *>(nullptr));
    _exit(127);
}

}  // namespace

int hook_run(const char *saved, const char *camera_path)
{
    if (hook_command == nullptr)
        return 0;
    // What stdio holds would otherwise be written twice, once by the child.
    out_flush();
    char shown[CAMERA_PATH_MAX];
    camera_printable(saved, shown);
    const pid_t child = fork_plain_child();
    if (child == 0)
        run_command(saved, camera_path);
    if (child < 0) {
        out_error("exec: %s: fork: %s\n", shown, std::strerror(errno));
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) {
            out_error("exec: %s: wait: %s\n", shown, std::strerror(errno));
            return -1;
        }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return 0;
    if (WIFSIGNALED(status))
        out_error("exec: %s: the command was ended by signal %d\n", shown,
                  WTERMSIG(status));
    else if (WEXITSTATUS(status) == 127)
        out_error("exec: %s: the command was not found (status 127)\n", shown);
    else
        out_error("exec: %s: the command failed with status %d\n", shown,
                  WEXITSTATUS(status));
    return -1;
}

int get_file(const char *name)
{
    SavedFile saved;
    if (camera_get_file(name, &saved) != 0)
        return -1;
    if (saved.written)
        hook_run(saved.local_path, saved.camera_path);
    camera_mark_downloaded(saved.camera_path);
    return 0;
}

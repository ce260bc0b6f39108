#include "files/localfile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "files/cache.h"
#include "serial/fdio.h"
#include "serial/output.h"

namespace {

// The temporary file a download is writing right now, so that a signal
// does not leave a truncated picture behind that a later run would take
// for a complete one.
const char *volatile partial_file = nullptr;

void register_partial_file(const char *path)
{
    partial_file = path;
}

// The temporary file's name, kept here because the termination handler
// may read it (local_partial_file) while it exists.  It lies in the
// folder of the file it becomes: a link or rename never crosses file
// systems, and the folder's fsync makes the one entry that counts durable.
char partial_name[CAMERA_PATH_MAX + 64];

// The folder part of `name` with its slash ("" for a name in the current
// directory), into out[CAMERA_PATH_MAX].
void folder_of(const char *name, char *out)
{
    const char *slash = std::strrchr(name, '/');
    const int length = slash == nullptr ? 0 : static_cast<int>(slash - name) + 1;
    std::snprintf(out, CAMERA_PATH_MAX, "%.*s", length, name);
}

// Creates a fresh temporary file in the current directory and registers
// it with the termination handler.  Returns its descriptor (partial_name
// holds the name), or -1 after perror(open_label): to the user this is the
// creation of the file they asked for.
//
// The termination signals wait while the file is created and registered:
// one arriving between the two would end the process with the file on
// disk and the handler not knowing it.
int create_partial(const char *folder, const char *open_label)
{
    static unsigned serial;
    sigset_t terminating, before;
    sigemptyset(&terminating);
    sigaddset(&terminating, SIGTERM);
    sigaddset(&terminating, SIGINT);
    sigaddset(&terminating, SIGQUIT);
    sigprocmask(SIG_BLOCK, &terminating, &before);
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
        std::snprintf(partial_name, sizeof partial_name, "%s./.orvik-partial-%ld-%u",
                      folder, static_cast<long>(getpid()), serial++);
        fd = open(partial_name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST && errno != EINTR)
            break;
    }
    int saved_errno = errno;
    if (fd >= 0)
        register_partial_file(partial_name);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0) {
        errno = saved_errno;
        std::perror(open_label);
        errno = saved_errno;  // perror may leave its own there
    }
    return fd;
}

void drop_partial(void)
{
    unlink(partial_name);
    register_partial_file(nullptr);
}

// Makes the rename itself durable; a failure here leaves the file saved
// and is not worth failing the download for.
void sync_directory(const char *folder)
{
    char path[CAMERA_PATH_MAX + 2];
    std::snprintf(path, sizeof path, "%s.", folder);
    int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

// Moves the complete temporary file to `name` without replacing anything.
// Returns 0, or -1 with errno set.
int move_no_replace(const char *name)
{
    if (linkat(AT_FDCWD, partial_name, AT_FDCWD, name, 0) == 0) {
        if (unlink(partial_name) != 0)
            std::perror("unlink");
        return 0;
    }
#ifdef RENAME_NOREPLACE
    // File systems without hard links (FAT, some network mounts) can still
    // refuse to replace in the rename itself.
    if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS)
        return renameat2(AT_FDCWD, partial_name, AT_FDCWD, name, RENAME_NOREPLACE);
#endif
    return -1;
}

// local_report_unsaved with the step that failed and errno's text.
void failed_step(const char *name, const char *step)
{
    char why[128];
    std::snprintf(why, sizeof why, "%s: %s", step, std::strerror(errno));
    local_report_unsaved(name, why);
}

// Gives the complete temporary file its name.  Returns 0, or -1 with
// errno set.
int move_into_place(const char *name, bool overwrite)
{
    if (!overwrite)
        return move_no_replace(name);
    // Replacing a link would hand the user's file name to whatever the
    // link's owner wanted; refuse it as an O_NOFOLLOW open would.
    struct stat st;
    if (lstat(name, &st) == 0 && S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        return -1;
    }
    return rename(partial_name, name);
}

}  // namespace

int local_name_check(const char *name)
{
    if (name[0] != 0 && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
        std::strchr(name, '/') == nullptr)
        return 0;
    char shown[CAMERA_PATH_MAX];
    std::printf("refusing local file name '%s'\n", camera_printable(name, shown));
    return -1;
}

int local_target_free(const char *name, bool overwrite, const char *open_label)
{
    struct stat existing;
    if (overwrite || lstat(name, &existing) != 0)
        return 0;
    errno = EEXIST;
    std::perror(open_label);
    local_report_unsaved(name, "it exists here and overwrite is off");
    return -1;
}

long long local_file_size(const char *name)
{
    struct stat st;
    if (lstat(name, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<long long>(st.st_size);
}

int local_file_holds(const char *name, const uint8_t *bytes, size_t count)
{
    int fd = open(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    uint8_t block[8192];
    size_t at = 0;
    int same = 1;
    for (;;) {
        ssize_t n = fdio_read(fd, block, sizeof block);
        if (n < 0) {
            same = -1;
            break;
        }
        if (n == 0 || static_cast<size_t>(n) > count - at ||
            std::memcmp(block, bytes + at, static_cast<size_t>(n)) != 0) {
            same = n == 0 && at == count ? 1 : 0;
            break;
        }
        at += static_cast<size_t>(n);
    }
    close(fd);
    return same;
}

void local_report_unsaved(const char *name, const char *why)
{
    char shown[CAMERA_PATH_MAX];
    out_error("%s: not saved: %s\n", camera_printable(name, shown), why);
}

int local_save_file(const char *name, const uint8_t *bytes, size_t count,
                    bool overwrite, long long mtime, const char *open_label)
{
    if (local_target_free(name, overwrite, open_label) != 0)
        return -1;
    const char *step = "open";
    char folder[CAMERA_PATH_MAX];
    folder_of(name, folder);
    int fd = create_partial(folder, open_label);
    if (fd < 0) {
        failed_step(name, step);
        return -1;
    }
    if (fdio_write_all(fd, bytes, count) != 0)
        step = "write";
    else if (fsync(fd) != 0)
        step = "fsync";
    else
        step = nullptr;
    if (step != nullptr) {
        const int saved_errno = errno;
        close(fd);
        errno = saved_errno;
    } else if (close(fd) != 0) {
        step = "close";
    }
    if (step != nullptr) {
        failed_step(name, step);
        drop_partial();
        return -1;
    }
    if (mtime != 0) {
        struct timeval times[2] = {};
        times[0].tv_sec = static_cast<time_t>(mtime);
        times[1].tv_sec = static_cast<time_t>(mtime);
        if (utimes(partial_name, times) != 0)
            std::perror("utimes");
    }

    if (move_into_place(name, overwrite) != 0) {
        const int saved_errno = errno;
        std::perror(open_label);
        errno = saved_errno;
        failed_step(name, "open");
        drop_partial();
        return -1;
    }
    register_partial_file(nullptr);
    sync_directory(folder);
    return 0;
}

const char *local_partial_file(void)
{
    return partial_file;
}

int local_name_for(const char *path, bool lowercase, char *local)
{
    const char *slash = std::strrchr(path, '\\');
    if (slash == nullptr) {
        local_report_unsaved(path, "no file name in the camera path");
        return -1;
    }
    std::snprintf(local, CAMERA_PATH_MAX, "%s", slash + 1);
    if (lowercase)
        for (char *p = local; *p != 0; p++)
            if (*p >= 'A' && *p <= 'Z')
                *p = static_cast<char>(*p - 'A' + 'a');
    if (local_name_check(local) != 0) {
        local_report_unsaved(path, "no usable local file name");
        return -1;
    }
    return 0;
}

#include "files/thumb.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "files/cache.h"
#include "files/download.h"
#include "files/localfile.h"
#include "files/spawn.h"
#include "files/termimage.h"
#include "serial/fdio.h"
#include "serial/output.h"

int camera_find_jpeg(const uint8_t *data, size_t length, size_t *start, size_t *end)
{
    // The camera puts a few bytes of its own before the image; the pair at
    // offset 0 is never the image's start marker.
    size_t s = 2;
    while (s + 1 < length && !(data[s] == 0xFF && data[s + 1] == 0xD8))
        s++;
    if (s + 1 >= length)
        return -1;
    // The end marker's FF may not be the start marker's D8, so the search
    // for D9 begins two bytes further on.
    for (size_t e = s + 3; e < length; e++) {
        if (data[e] == 0xD9 && data[e - 1] == 0xFF) {
            *start = s;
            *end = e + 1;
            return 0;
        }
    }
    return -1;
}

namespace {

// True when the local file `local` is the photo at camera `path` as `get`
// saved it: a regular file of exactly the size the last listing gave the
// photo.  An earlier thumbnail never has that size.
bool holds_the_photo(const char *local, const char *path)
{
    struct stat st;
    if (lstat(local, &st) != 0 || !S_ISREG(st.st_mode) || !cache_describes(path))
        return false;
    const ListingEntry *entry = cache_find_nocase(path);
    return entry != nullptr && !(entry->attrib & ATTR_DIRECTORY) && entry->size > 0 &&
           static_cast<uint64_t>(st.st_size) == entry->size;
}

// Without a listing of the photo's folder there is no size to tell the
// photo by, so an existing file is taken for an earlier thumbnail only when
// it has the size of the one just received (the same image's preview).
// True when `local` exists and may be something else: the photo `get`
// saved from another folder, or in an earlier run.
bool may_be_unlisted_photo(const char *local, const char *path, size_t thumbnail_size)
{
    struct stat st;
    if (cache_describes(path) || lstat(local, &st) != 0)
        return false;
    return !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != thumbnail_size;
}

}  // namespace

namespace {

// The local name of a thumbnail: as given, or the photo's own name (its
// case kept) in own[CAMERA_PATH_MAX].  nullptr, after saying why, when that
// name is unusable or is the downloaded photo itself.
const char *thumbnail_name(const char *path, const char *local_name, char *own)
{
    if (local_name != nullptr)
        return local_name;
    if (local_name_for(path, false, own) != 0)
        return nullptr;
    const char *local = own;
    // An older thumbnail is simply replaced, but a photo saved by `get` is
    // kept: the camera has it marked downloaded, and replacing it with its
    // preview would leave `deleteold` to remove the only full copy.
    if (holds_the_photo(local, path)) {
        local_report_unsaved(local, "it is the downloaded photo, never replaced by its thumbnail");
        return nullptr;
    }
    return local;
}

}  // namespace

int camera_get_thumbnail(const char *name, const char *local_name)
{
    char path[CAMERA_PATH_MAX];
    camera_make_path(name, path);
    char own[CAMERA_PATH_MAX];
    const char *local = thumbnail_name(path, local_name, own);
    if (local == nullptr)
        return -1;

    time_t begin = std::time(nullptr);
    int count = 0;
    uint8_t *data = camera_download(path, 1, &count);
    if (data == nullptr) {
        camera_report_no_file(path);
        return -1;
    }
    // The line end after the bar, before anything can go wrong.
    out_end_row();
    size_t start = 0, end = 0;
    int saved = -1;
    if (camera_find_jpeg(data, static_cast<size_t>(count), &start, &end) != 0) {
        std::printf("no JPEG image in the thumbnail data\n");
        local_report_unsaved(path, "no JPEG image in the thumbnail data");
    } else if (may_be_unlisted_photo(local, path, end - start)) {
        local_report_unsaved(local, "it may be the downloaded photo (its folder is not the one "
                                    "listed last), not replaced by a thumbnail");
    } else {
        // A thumbnail replaces an older one whatever the overwrite mode, but
        // through a temporary file all the same: an interrupted tget must
        // not leave half a JPEG under a name that looks like a photo.
        saved = local_save_file(local, data + start, end - start, true, 0, "open");
    }
    std::free(data);
    if (saved != 0)
        return -1;
    print_download_rate(begin, count);
    return 0;
}

namespace {

// Only the first character of an answer counts; a longer line is read on
// in the next call's pieces, as any line would be.
constexpr int ANSWER_MAX = 1024;

// Reads the user's answer.  Returns its first character, or 'q' when the
// input has ended (nobody is left to answer).
int read_answer(void)
{
    char line[ANSWER_MAX];
    for (;;) {
        if (std::fgets(line, sizeof line, stdin) != nullptr)
            return static_cast<signed char>(line[0]);
        if (std::ferror(stdin) && errno == EINTR) {
            std::clearerr(stdin);
            continue;
        }
        return 'q';
    }
}

// Forks the viewer on the temporary file.  Returns the child's process id,
// with *started 0 when the viewer could not be run (the child then reports
// on a close-on-exec pipe, which a successful exec simply closes), or -1
// after perror("fork").
pid_t start_viewer(int *started)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        report[0] = report[1] = -1;  // then we cannot tell; assume it runs
    pid_t child = fork_plain_child();
    if (child == 0) {
        execlp("xv", "xv", "./orvik_REMOVE_ME", "-geometry", "+200+100", nullptr);
        std::perror("exec");
        if (report[1] >= 0)
            fdio_write_all(report[1], "x", 1);
        // Never back into the shell, and no exit handlers or stdio buffers
        // of ours run a second time: two processes would fight over the
        // terminal and the serial line.
        _exit(127);
    }
    int saved_errno = errno;
    *started = 1;
    if (report[1] >= 0) {
        close(report[1]);
        char byte;
        ssize_t n = 0;
        if (child > 0)
            n = fdio_read(report[0], &byte, 1);
        *started = n != 1;
        close(report[0]);
    }
    if (child < 0) {
        errno = saved_errno;
        std::perror("fork");
    }
    return child;
}

}  // namespace

int camera_view(const char *name)
{
    if (camera_get_thumbnail(name, TEMP_THUMBNAIL) == -1)
        return -1;
    // Whatever stdio holds would otherwise be written twice, once by the
    // child too.
    out_flush();
    int started = 1;
    pid_t child = start_viewer(&started);
    if (child < 0)
        return -1;
    // xv is long gone from most systems; a terminal can still show the
    // picture the user has to decide about.
    if (!started)
        term_draw_jpeg(TEMP_THUMBNAIL, STDOUT_FILENO);
    out_now("(d)elete (o)old (n)ew (g)et (q)uit (enter)nothing\n");
    int answer = read_answer();
    kill(child, SIGTERM);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return answer;
}

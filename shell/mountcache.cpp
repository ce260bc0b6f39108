#include "shell/mountcache.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/fdio.h"

namespace {

struct Copy {
    std::string file;      // path in the private folder
    uint32_t size;         // the camera file's listed size and time
    int64_t mtime;
    long long bytes;       // what the copy holds
    unsigned long long used;  // the use clock when last served
};

std::string folder;  // empty while closed
long long budget;
long long held;
unsigned long long use_clock;
unsigned long long file_counter;
std::map<std::string, Copy> copies;

void forget(std::map<std::string, Copy>::iterator it)
{
    unlink(it->second.file.c_str());
    held -= it->second.bytes;
    copies.erase(it);
}

// Drops the least recently used copies until `incoming` more bytes fit.
void make_room(long long incoming)
{
    while (!copies.empty() && held + incoming > budget) {
        auto oldest = copies.begin();
        for (auto it = copies.begin(); it != copies.end(); ++it)
            if (it->second.used < oldest->second.used)
                oldest = it;
        forget(oldest);
    }
}

std::string fresh_name(const char *kind)
{
    char name[64];
    std::snprintf(name, sizeof name, "/%s%llu", kind, ++file_counter);
    return folder + name;
}

}  // namespace

int mount_cache_open(const char *parent, long long limit)
{
    std::string templ = std::string(parent) + "/orvik-mount-XXXXXX";
    if (mkdtemp(&templ[0]) == nullptr)
        return -1;
    folder = templ;
    budget = limit;
    held = 0;
    return 0;
}

void mount_cache_close(void)
{
    while (!copies.empty())
        forget(copies.begin());
    if (folder.empty())
        return;
    // Drafts of files whose writers never closed them.
    for (unsigned long long i = 1; i <= file_counter; i++)
        unlink((folder + "/draft" + std::to_string(i)).c_str());
    rmdir(folder.c_str());
    folder.clear();
}

int mount_cache_get(const std::string &key, uint32_t size, int64_t mtime)
{
    auto it = copies.find(key);
    if (it == copies.end())
        return -1;
    if (it->second.size != size || it->second.mtime != mtime) {
        forget(it);
        return -1;
    }
    int fd = open(it->second.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        forget(it);
        return -1;
    }
    it->second.used = ++use_clock;
    return fd;
}

int mount_cache_put(const std::string &key, uint32_t size, int64_t mtime,
                    const uint8_t *bytes, size_t count)
{
    mount_cache_drop(key);
    make_room(static_cast<long long>(count));
    const std::string file = fresh_name("copy");
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -errno;
    if (fdio_write_all(fd, bytes, count) != 0) {
        const int err = errno != 0 ? errno : EIO;
        close(fd);
        unlink(file.c_str());
        return -err;
    }
    copies[key] = Copy{file, size, mtime, static_cast<long long>(count), ++use_clock};
    held += static_cast<long long>(count);
    return fd;
}

void mount_cache_drop(const std::string &key)
{
    auto it = copies.find(key);
    if (it != copies.end())
        forget(it);
}

int mount_cache_draft(std::string *path)
{
    *path = fresh_name("draft");
    int fd = open(path->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    return fd < 0 ? -errno : fd;
}

long long mount_cache_bytes(void)
{
    return held;
}

#include "files/cache.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

ListingEntry *listing_cache[CACHE_MAX];
int listing_count = 0;
char camera_cwd[CAMERA_PATH_MAX];

void cache_clear(void)
{
    for (int i = 0; i < listing_count; i++) {
        std::free(listing_cache[i]);
        listing_cache[i] = nullptr;
    }
    listing_count = 0;
}

int cache_append(const ListingEntry *entry)
{
    if (listing_count >= CACHE_MAX)
        return -1;
    auto *copy = static_cast<ListingEntry *>(std::malloc(sizeof(ListingEntry)));
    if (copy == nullptr) {
        std::perror("malloc");
        return -1;
    }
    *copy = *entry;
    copy->name[sizeof(copy->name) - 1] = 0;
    listing_cache[listing_count++] = copy;
    return 0;
}

// Appends `text` at out[pos], keeping at most 1023 characters.
static size_t append_cut(char *out, size_t pos, const char *text)
{
    while (*text != 0 && pos < CAMERA_PATH_MAX - 1)
        out[pos++] = *text++;
    out[pos] = 0;
    return pos;
}

void camera_join_path(const char *dir, const char *name, char *out)
{
    size_t pos = append_cut(out, 0, dir);
    pos = append_cut(out, pos, "\\");
    append_cut(out, pos, name);
}

void camera_make_path(const char *name, char *out)
{
    // "D:\..." names the drive and is taken as typed; "D:" alone is not a
    // path the camera accepts, so it is treated like any other name.
    if (std::strlen(name) >= 3 && name[1] == ':') {
        append_cut(out, 0, name);
        return;
    }
    camera_join_path(camera_cwd, name, out);
}

bool cache_describes(const char *path)
{
    const char *slash = std::strrchr(path, '\\');
    size_t n = slash != nullptr ? static_cast<size_t>(slash - path) : 0;
    return std::strlen(camera_cwd) == n && strncasecmp(camera_cwd, path, n) == 0;
}

const char *camera_basename(const char *path)
{
    const char *slash = std::strrchr(path, '\\');
    return slash != nullptr ? slash + 1 : path;
}

ListingEntry *cache_find_exact(const char *name)
{
    const char *key = camera_basename(name);
    for (int i = 0; i < listing_count; i++)
        if (std::strcmp(listing_cache[i]->name, key) == 0)
            return listing_cache[i];
    return nullptr;
}

ListingEntry *cache_find_nocase(const char *name)
{
    const char *key = camera_basename(name);
    for (int i = 0; i < listing_count; i++)
        if (strcasecmp(listing_cache[i]->name, key) == 0)
            return listing_cache[i];
    return nullptr;
}

#include "files/cache.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

ListingCache listing_cache;

void cache_clear(void)
{
    listing_cache.count = 0;
    listing_cache.dropped = 0;
}

void cache_restart(const char *drive)
{
    cache_clear();
    std::snprintf(listing_cache.cwd, sizeof listing_cache.cwd, "%s", drive);
}

int cache_append(const ListingEntry *entry)
{
    if (listing_cache.count >= CACHE_MAX)
        return -1;
    ListingEntry &copy = listing_cache.entries[listing_cache.count++];
    copy = *entry;
    copy.name[sizeof copy.name - 1] = 0;
    return 0;
}

// Appends `text` at out[pos], keeping at most CAMERA_PATH_MAX - 1 characters.
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
    camera_join_path(listing_cache.cwd, name, out);
}

bool cache_describes(const char *path)
{
    const char *slash = std::strrchr(path, '\\');
    size_t n = slash != nullptr ? static_cast<size_t>(slash - path) : 0;
    return std::strlen(listing_cache.cwd) == n && strncasecmp(listing_cache.cwd, path, n) == 0;
}

const char *camera_basename(const char *path)
{
    const char *slash = std::strrchr(path, '\\');
    return slash != nullptr ? slash + 1 : path;
}

ListingEntry *cache_find_exact(const char *name)
{
    const char *key = camera_basename(name);
    for (int i = 0; i < listing_cache.count; i++)
        if (std::strcmp(listing_cache.entries[i].name, key) == 0)
            return &listing_cache.entries[i];
    return nullptr;
}

ListingEntry *cache_find_nocase(const char *name)
{
    const char *key = camera_basename(name);
    for (int i = 0; i < listing_cache.count; i++)
        if (strcasecmp(listing_cache.entries[i].name, key) == 0)
            return &listing_cache.entries[i];
    return nullptr;
}

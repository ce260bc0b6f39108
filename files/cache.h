// The program's picture of the card: the entries of the directory listed
// last, the current camera directory, the camera path rule and the lookup
// of a name in the cache.
#ifndef ORVIK_FILES_CACHE_H
#define ORVIK_FILES_CACHE_H

#include <cstdint>

#include "camera/message.h"

// Attribute bits, the camera's own encoding.
constexpr uint8_t ATTR_PROTECTED = 0x01;
constexpr uint8_t ATTR_DIRECTORY = 0x10;
constexpr uint8_t ATTR_NEW = 0x20;   // not downloaded yet
constexpr uint8_t ATTR_BIT7 = 0x80;  // the listed directory's own record

// Buffer size of a camera path (and of a name, which may fill one): paths
// hold at most CAMERA_PATH_MAX - 1 characters.
constexpr int CAMERA_PATH_MAX = CAMERA_TEXT_MAX;

struct ListingEntry {
    uint8_t attrib;
    uint32_t size;
    int64_t mtime;                // camera time + clock offset
    char name[CAMERA_PATH_MAX];   // name within its directory, no path
};

constexpr int CACHE_MAX = 1024;

// The listing cache: the entries of the directory listed last, in the
// camera's order, and that directory's full camera path
// ("D:\\DCIM\\100CANON", or the drive alone).
struct ListingCache {
    ListingEntry entries[CACHE_MAX];  // the first `count` are the listing
    int count;
    int dropped;  // entries of that listing beyond CACHE_MAX, not kept
    char cwd[CAMERA_PATH_MAX];
};
extern ListingCache listing_cache;

// count := 0, dropped := 0.
void cache_clear(void);
// A new connection: count := 0, cwd := `drive` (the drive name just read,
// or "" when none was).
void cache_restart(const char *drive);
// Appends a copy of `entry`.  Returns 0, or -1 when the cache is full.
int cache_append(const ListingEntry *entry);

// Camera path rule: a name of at least 3 characters whose second is ':' is
// a full path; anything else is joined to the cache's cwd as "%s\\%s", cut to
// 1023 characters.  Writes out[CAMERA_PATH_MAX].
void camera_make_path(const char *name, char *out);

// "%s\\%s" of `dir` and `name`, cut to 1023 characters.
void camera_join_path(const char *dir, const char *name, char *out);

// The part of `path` after its last backslash (the whole text without one).
const char *camera_basename(const char *path);

// True when `path` lies in the directory the cache describes (its cwd,
// compared ignoring ASCII case), so that a cached entry of the same name
// is this very file.
bool cache_describes(const char *path);

// First cached entry whose name equals the basename of `name`: exactly, or
// ignoring ASCII case.  nullptr when absent.
ListingEntry *cache_find_exact(const char *name);
ListingEntry *cache_find_nocase(const char *name);

#endif

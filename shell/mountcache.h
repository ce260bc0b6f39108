// Local copies of the card's files behind a mounted folder: each file the
// camera sent whole, in a private folder of this process, within a byte
// budget, the least recently used copy dropped first.  A copy names the
// camera file's listed size and time, so a file changed on the card is
// never served from an older copy.  Also the drafts of files being
// written, which are not counted against the budget.
#ifndef ORVIK_SHELL_MOUNTCACHE_H
#define ORVIK_SHELL_MOUNTCACHE_H

#include <cstddef>
#include <cstdint>
#include <string>

// Makes the private folder (mode 0700) under `parent` and sets the budget.
// Returns 0, or -1 with errno set (nothing made).
int mount_cache_open(const char *parent, long long budget);

// Removes every copy and draft file and the private folder.
void mount_cache_close(void);

// An open read-only descriptor (the caller closes it) of the copy of `key`
// when there is one for this size and time; the copy becomes the most
// recently used.  -1 when there is none (a stale one is dropped).
int mount_cache_get(const std::string &key, uint32_t size, int64_t mtime);

// Stores `count` bytes as the copy of `key` for this size and time,
// dropping the least recently used copies until the budget holds it (a
// copy larger than the budget is still stored: the reader needs it).
// Returns an open read-only descriptor of it, or -errno with no copy kept
// (the disk full, say).
int mount_cache_put(const std::string &key, uint32_t size, int64_t mtime,
                    const uint8_t *bytes, size_t count);

// Forgets the copy of `key`, if any.
void mount_cache_drop(const std::string &key);

// A new empty draft file: its path in *path and an open read-write
// descriptor, or -errno.  The caller unlinks it when done.
int mount_cache_draft(std::string *path);

// Bytes held by the copies (the drafts not counted).
long long mount_cache_bytes(void);

#endif

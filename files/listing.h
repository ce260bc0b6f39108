// Directory listing: the MSG_LIST request, the multi-packet reply, the
// listing cache and the printed lines.
#ifndef ORVIK_FILES_LISTING_H
#define ORVIK_FILES_LISTING_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "files/cache.h"

// A parsed listing reply (pure, from the joined reply bytes).
struct ListingReply {
    char directory[CAMERA_PATH_MAX];    // name of the first record
    std::vector<ListingEntry> entries;  // every record up to the end record
};

// Parses a joined listing reply.  Returns 0, or -1 when the reply is
// refused (byte 21 is not 0x80), ends before offset 32 or before its end
// record, or a name has no terminator within the reply.  Never reads past
// `length`.  mtime is the raw camera time plus `clock_offset`; names are
// cut to CAMERA_PATH_MAX - 1 characters.
int camera_parse_listing(const uint8_t *reply, size_t length, int clock_offset,
                         ListingReply *out);

// The listing of the folder at the full camera path `target` ("D:",
// "D:\\DCIM") into *out, printing nothing but the refusal of a folder the
// camera will not list (one line on stderr, as `ls` says it).  Returns 0,
// or -1 on any failure.  The listing cache is left as it is.
int camera_list_folder(const char *target, ListingReply *out);

// `ls` / `cd` / `dir`: resolves `path` (nullptr: the current directory;
// "..": its parent; "X:..." as typed; else joined), skips ".CTG" paths
// (returns 0, nothing done), requests the listing, replaces the cache and
// listing_cache.cwd, prints the entries and the summary (of the entries
// select_takes keeps: the others are neither cached nor shown); beyond
// CACHE_MAX entries they are shown and counted in listing_cache.dropped,
// not cached.  -1 on any failure, with
// cache and listing_cache.cwd unchanged.
int camera_ls(const char *path);

// `lastls`: prints the cached entries; -1 with "last ls is empty\n".
int camera_last_ls(void);

// One listing line: "pine" letters, name columns, size, ctime text.
// Control bytes in the name are shown as '?'.
void camera_print_entry(const ListingEntry *entry);

#endif

// Which files of a listing the batch modes take: --only and --skip.
#ifndef ORVIK_FILES_SELECT_H
#define ORVIK_FILES_SELECT_H

#include "files/cache.h"

// Adds a shell wildcard (as fnmatch takes it) to the --only or the --skip
// list; the text must stay valid for the process.
void select_add_only(const char *glob);
void select_add_skip(const char *glob);

// True when an --only or --skip was given.
bool select_active(void);

// True when `name` matches one of `globs` (fnmatch, without regard to
// case).  Pure.
bool select_matches(const char *name, const char *const *globs, int count);

// Whether the batch modes take `entry`: folders always (the walk goes
// through them); a file when it matches an --only (if any was given) and
// no --skip.
bool select_takes(const ListingEntry &entry);

#endif

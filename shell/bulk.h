// Bulk commands over the listing cache.
#ifndef ORVIK_SHELL_BULK_H
#define ORVIK_SHELL_BULK_H

enum Selection { SELECT_ALL = 0, SELECT_NEW = 1, SELECT_OLD = 2 };

// Each walks the cached entries of the last listing in listing order.
// Each: -1 with "last ls is empty\n" when the cache is empty, else 0 (but
// see camera_get_last_ls); a failure on one entry does not stop the walk.
// Every walk stops, returning WALK_STOPPED, when the line is gone (nothing
// more printed: the prompt or the batch run says so) or when, once the
// walk has asked the camera something, camera_unanswered_requests is at
// CAMERA_UNANSWERED_LIMIT (requests left unanswered before the walk do
// not stop it before it has asked): then
// "The camera does not answer: %d of %d files not downloaded\n" (or
// "deleted", "changed", "shown") on stderr, and no closing line.
constexpr int WALK_STOPPED = -2;

// Downloads every selected entry as `get` does, each followed by "\n";
// "getlastls successful\n" at the end in debug mode.  Returns -1 for an
// empty cache, else the number of selected files (folders not counted) that
// were not saved, each of them named on stderr by camera_get_file.
int camera_get_last_ls(int selection);
// `mget`: downloads, as camera_get_last_ls does, every entry whose name
// matches one of the `count` globs (select_matches), in listing order.
// Returns -1 for an empty cache, or after "mget: no file of the last
// listing matches\n" on stderr when none matches; WALK_STOPPED as the
// other walks; else 0.
int camera_get_matching(char *const *globs, int count);
// Deletes every selected entry: "Removing %s: " then "successful\n",
// "ERROR\n" when the camera refused or did not answer (camera_delete says
// why on stderr), or "PROTECTED, file skipped\n" for a file the listing
// shows protected (not asked for); "delete terminated\n" at the end.
// Returns -1 or WALK_STOPPED as above, else the number of entries that
// were to go and stay (the ERROR lines; protected files not counted).
int camera_delete_all(int selection);
// Sets (operation 1) or clears (0) the attribute `bit` (ATTR_PROTECTED or
// ATTR_NEW) of every entry as camera_chmod does: "chmod %s: " then
// "successful\n" or "ERROR\n"; "chmodall terminated\n" at the end.
int camera_chmod_all(int operation, int bit);
// Shows each entry's thumbnail and acts on the answer (camera_view): d
// deletes, g gets, n/o set/clear the new mark, q ends the walk.
int camera_view_all(void);

#endif

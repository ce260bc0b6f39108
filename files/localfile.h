// Writing files into the user's current directory safely: names checked,
// never through a symbolic link, never a partial file under the final name.
#ifndef ORVIK_FILES_LOCALFILE_H
#define ORVIK_FILES_LOCALFILE_H

#include <cstddef>
#include <cstdint>

// 0 when `name` is usable as a file name in the current directory; -1
// after "refusing local file name '%s'\n" when it is empty, "." or "..", or
// holds a '/'.
int local_name_check(const char *name);

// The local name of a file from the camera: the camera path's last part,
// in small letters when `lowercase`, into local[CAMERA_PATH_MAX].  0, or -1
// after local_report_unsaved naming `path` when there is none that can be
// used ("no file name in the camera path", "no usable local file name").
int local_name_for(const char *path, bool lowercase, char *local);

// Whether a file may be saved as `name` (a path: a computed one may lead
// into a folder): 0 when nothing of that name exists (a dangling link
// counts as existing) or `overwrite` is set.  Otherwise -1 after
// perror(open_label) with EEXIST, as the create-exclusive open would fail,
// and "%s: not saved: it exists here and overwrite is off\n" on stderr.
// Asked before a transfer, so that nothing is fetched only to be refused.
int local_target_free(const char *name, bool overwrite, const char *open_label);

// The size of the regular file `name` (not followed through a symbolic
// link), or -1 when there is none.
long long local_file_size(const char *name);

// 1 when the file `name` holds exactly the `count` bytes, 0 when it holds
// anything else, -1 when it cannot be read.  Prints nothing.
int local_file_holds(const char *name, const uint8_t *bytes, size_t count);

// "%s: not saved: %s\n" on stderr, with `name` made printable: the one
// line that names a file a command did not save, and why.
void local_report_unsaved(const char *name, const char *why);

// Writes bytes to a temporary file in the folder of `name` (the current
// directory for a bare name; the folder must exist; exclusive, O_NOFOLLOW,
// O_CLOEXEC, mode 0644), fsyncs and closes it, then moves it to `name` (at
// most CAMERA_PATH_MAX - 1 characters): without `overwrite` never replacing an existing file (an existing
// name fails as local_target_free does), with `overwrite` replacing it (but
// never a symbolic link).  A temporary file that cannot be created, or a
// move that fails, prints perror(open_label) first, as the open of the
// file would.  Every failure then ends with local_report_unsaved naming
// `name`, the step and the system's text ("write: No space left on
// device").  `mtime` != 0 sets the file times (a failure there only
// warns).  Returns 0, or -1; on failure no temporary file remains and
// `name` is untouched.
int local_save_file(const char *name, const uint8_t *bytes, size_t count,
                    bool overwrite, long long mtime, const char *open_label);

// The temporary file local_save_file is writing right now, or nullptr:
// the termination handler removes it rather than leave a partial file.
// Async-signal-safe.
const char *local_partial_file(void);

#endif

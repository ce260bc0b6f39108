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

// Writes bytes to a temporary file in the folder of `name` (the current
// directory for a bare name; the folder must exist) (exclusive,
// O_NOFOLLOW, O_CLOEXEC, mode 0644), fsyncs and closes it, then moves it to
// `name` (at most CAMERA_PATH_MAX - 1 characters): without `overwrite` never replacing an existing file (an existing
// name fails exactly as a create-exclusive open: perror(open_label) with
// EEXIST), with `overwrite` replacing it (but never a symbolic link).
// A temporary file that cannot be created, or a move that fails, is
// reported as perror(open_label) as well; write, fsync and close failures
// by their own names.  `mtime` != 0 sets the file times.  Returns 0, or -1
// after the system's text; on failure no temporary file remains and `name` is untouched.
int local_save_file(const char *name, const uint8_t *bytes, size_t count,
                    bool overwrite, long long mtime, const char *open_label);

#endif

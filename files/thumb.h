// Thumbnails: saving the embedded JPEG, showing it with xv.
#ifndef ORVIK_FILES_THUMB_H
#define ORVIK_FILES_THUMB_H

#include <cstddef>
#include <cstdint>

// The temporary thumbnail file the viewer shows; the shell removes it at
// every orderly end.
constexpr const char *TEMP_THUMBNAIL = "./orvik_REMOVE_ME";

// Finds the JPEG inside thumbnail data: the first FF D8 at offset 2 or
// later, through the first FF D9 after it.  Returns 0 with [*start, *end)
// the image bytes, or -1 when a marker is missing.  Pure.
int camera_find_jpeg(const uint8_t *data, size_t length, size_t *start,
                     size_t *end);

// `tget` (local_name nullptr: the camera path's basename) and the viewer's
// temporary file.  0 or -1.
int camera_get_thumbnail(const char *name, const char *local_name);

// Saves the thumbnail as ./orvik_REMOVE_ME, starts "xv" on it (when xv
// cannot be run, draws the thumbnail on standard output if that is a
// terminal), asks "(d)elete (o)old (n)ew (g)et (q)uit (enter)nothing",
// stops the viewer with SIGTERM and reaps it.
// Returns the answer's first character, 'q' at end of input, -1 on failure.
int camera_view(const char *name);

#endif

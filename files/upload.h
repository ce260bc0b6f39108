// Upload of a local file in acknowledged chunks of at most 800 bytes.
#ifndef ORVIK_FILES_UPLOAD_H
#define ORVIK_FILES_UPLOAD_H

constexpr int UPLOAD_CHUNK = 800;

// `upload` / `put`: target = basename of source (one dot at most) unless
// given, path rule, chunks with MSG_UPLOAD, progress bar.  0 or -1.
int camera_upload(const char *source, const char *target);

#endif

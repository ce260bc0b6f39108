// The answers to the kernel's file-system requests for the mounted card
// (FUSE's path-based interface), on the tree of shell/mountcard.h.
//
// What each request does on the card: reading a file fetches it whole at
// its first read and serves every read from the local copy; a file
// created or opened for writing is a local draft sent to the card at
// close or fsync; unlink, mkdir and rmdir act on the card; chmod a-w and
// u+w protect and unprotect; the extended attribute "user.orvik.new"
// ("1" or "0") is the camera's not-yet-downloaded flag; rename is refused
// with EXDEV, since the protocol has no request for it.
#ifndef ORVIK_SHELL_MOUNTFS_H
#define ORVIK_SHELL_MOUNTFS_H

#define FUSE_USE_VERSION 31
#include <fuse.h>

// The operations table.
const fuse_operations *mount_operations(void);

// Closes what open files are left (their drafts removed unsent).
void mount_close_files(void);

#endif

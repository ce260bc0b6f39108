// `--mount DIR`: the card served as a folder at DIR through the kernel's
// file-system interface (FUSE 3), until DIR is unmounted or a termination
// signal comes.  The requests are served one at a time, as the single
// line to the camera takes them.
#ifndef ORVIK_SHELL_MOUNT_H
#define ORVIK_SHELL_MOUNT_H

// Before connecting: 0 when DIR is a folder and the kernel's FUSE device
// can be opened; else -1 after one line on stderr saying which is not so
// (or that this orvik was built without the mount).
int mount_check(const char *dir);

// After connecting: mounts the card at DIR and serves it.  Returns the
// exit status: 0 after an unmount, 1 when the mount was refused (one line
// on stderr), the signal's number after SIGINT, SIGTERM, SIGHUP or SIGQUIT (the
// signal's line printed, DIR unmounted).  The camera stays connected.
int mount_serve(const char *dir);

#endif

// The card as the mounted folder shows it: mount paths turned into camera
// paths, the folders' listings kept until a change made through the mount,
// whole files and thumbnails fetched into the local copies, and the camera
// reached again after a lost line.  Every call returns 0 (or a descriptor)
// or a negative errno value, as the kernel's file-system interface wants
// its answers; what went wrong with the camera is said on stderr by the
// operations underneath.
#ifndef ORVIK_SHELL_MOUNTCARD_H
#define ORVIK_SHELL_MOUNTCARD_H

#include <string>
#include <vector>

#include "files/cache.h"

// The hidden folder in each folder that holds the camera's thumbnails of
// its files under the same names.  The camera cannot have a name starting
// with a dot, so it never meets a file of the card.
constexpr const char *THUMB_FOLDER = ".thumbnails";

enum MountKind {
    NODE_FOLDER,        // a folder of the card (the drive itself for "/")
    NODE_FILE,          // a file of the card
    NODE_THUMB_FOLDER,  // a folder's THUMB_FOLDER
    NODE_THUMB,         // a thumbnail in it
};

struct MountNode {
    MountKind kind;
    std::string camera_path;  // the file or folder on the card ("D:\\DCIM")
    std::string folder;       // the camera path of the folder holding it
    ListingEntry entry;       // as its folder's listing shows it (a zero
                              // entry for the drive)
};

// The text in upper case: the card ignores the case of names.
std::string mount_upper(const std::string &text);

// The drive the tree starts at (the camera's drive name, "D:").
void mount_card_begin(const char *drive);
const std::string &mount_drive(void);

// Finds what the mount path names ("/", "/DCIM/100canon/IMG_0001.JPG"),
// each name looked up without regard to case and given back as the camera
// spells it.  -ENOENT, -ENOTDIR, or -EIO when a listing failed.
int mount_resolve(const char *path, MountNode *out);

// The entries of the folder at `camera_path`, listed when not known yet.
int mount_entries(const std::string &camera_path, const std::vector<ListingEntry> **out);

// The folder is to be listed again at its next use.
void mount_forget(const std::string &camera_path);

// 0 when the line to the camera works; after a lost line, or a camera that
// left requests unanswered, at most every few seconds, connects again (the
// listings then forgotten), giving up after a few seconds of silence.
// -EIO when the camera cannot be reached (a line on stderr when the loss
// is first met).
int mount_camera_ready(void);

// After a camera operation failed: -EIO, with a line on stderr when it was
// the line that went away.
int mount_camera_failed(void);

// Makes `folder`'s listing the program's listing cache, for the operations
// that take their folder and the listed sizes from there.
void mount_aim_cache(const std::string &folder);

// An open read-only descriptor of the file's (NODE_FILE) or thumbnail's
// (NODE_THUMB: the JPEG alone) bytes, whole, fetched from the camera at
// the first use.  A transfer that failed or came short: -EIO, nothing kept.
int mount_fetch(const MountNode &node);

// Sends the local file `local` to the card as `camera_path`.  A failed
// upload deletes what came of it on the card, so that no partial file is
// left listed; -EIO then.
int mount_upload(const std::string &local, const std::string &camera_path,
                 const std::string &folder);

#endif

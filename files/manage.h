// File management: delete, mkdir, rmdir, attributes.
#ifndef ORVIK_FILES_MANAGE_H
#define ORVIK_FILES_MANAGE_H

#include <cstdint>

// MSG_DELETE of the path rule's path.  0 once the exchange is done; -1 when
// no reply came at all (the shell then prints "delete error") or the path
// cannot travel.
int camera_delete(const char *name);
// MSG_MKDIR / MSG_RMDIR; -1 when the reply status (byte 16) is not 0, no
// reply came, or the path cannot travel.
int camera_mkdir(const char *name);
int camera_rmdir(const char *name);

// MSG_SET_ATTR: attribute byte as LE32, listing_cache.cwd, '\\', name, 0.  0 once
// the exchange is done (-1 when no reply or too long).
int camera_set_attrib(const char *name, uint8_t attrib);

// Case-insensitive cache lookup of the name's basename; -1 when absent
// (nothing sent or printed); else sets (mode 1) or clears (0) `bit` in the
// cached attribute (any other mode leaves it as it is) and sends it with the
// basename as typed.  Returns camera_set_attrib's result.
int camera_chmod(const char *name, int mode, uint8_t bit);

#endif

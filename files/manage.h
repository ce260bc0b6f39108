// File management: delete, mkdir, rmdir, attributes.
//
// The replies to these requests carry the camera's verdict in their status
// byte (REPLY_STATUS_OFFSET of camera/message.h; 0 done).  Each call reports a request that was not carried out with one
// line on stderr naming the path: the refusal with its status byte, or that
// no reply came (the camera may then have acted or not).
#ifndef ORVIK_FILES_MANAGE_H
#define ORVIK_FILES_MANAGE_H

#include <cstdint>

struct Packet;
// The status byte of the reply to a request that changes the card (0
// done), or 0x100 for a reply too short to hold one.
unsigned camera_reply_status(const Packet *reply);

// Room for camera_refusal_text.
constexpr int CAMERA_REFUSAL_MAX = 48;
// "refused by the camera, status 0xSS" for a status byte, or, for a value
// above 0xFF, that the reply holds no status.  Writes out[CAMERA_REFUSAL_MAX]
// and returns it.
const char *camera_refusal_text(unsigned status, char *out);

// MSG_DELETE / MSG_MKDIR / MSG_RMDIR of the path rule's path.  0 when the
// reply status is 0; -1 when it is not (a protected or missing file, a
// folder that exists or is not empty), no reply came, or the path cannot
// travel.
int camera_delete(const char *name);
int camera_mkdir(const char *name);
int camera_rmdir(const char *name);

// MSG_SET_ATTR: attribute byte as LE32, listing_cache.cwd, '\\', name, 0.
// 0 when the reply status is 0, and then the cached entry of that name
// (ignoring case) holds the byte sent; -1 when it is not, no reply came,
// or the request is too long (the cache unchanged).
int camera_set_attrib(const char *name, uint8_t attrib);

// Case-insensitive cache lookup of the name's basename; -1 when absent
// (nothing sent; one line on stderr says the name is not in the last
// listing); else sets (mode 1) or clears (0) `bit` in the cached attribute
// (any other mode leaves it as it is) and sends it with the basename as
// typed.  Returns camera_set_attrib's result.
int camera_chmod(const char *name, int mode, uint8_t bit);

#endif

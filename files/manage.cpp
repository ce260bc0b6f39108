#include "files/manage.h"

#include <cstdio>
#include <cstring>

#include "camera/message.h"
#include "files/cache.h"
#include "serial/output.h"

namespace {

// Reports on stderr why a request about `path` did not do what was asked:
// `status` when the camera answered, or that no answer came (requested) or
// the request could not be sent at all (!requested, already explained).
void report_undone(const char *what, const char *path, bool answered, unsigned status)
{
    char shown[CAMERA_PATH_MAX];
    camera_printable(path, shown);
    if (answered) {
        char why[CAMERA_REFUSAL_MAX];
        out_error("%s %s: %s\n", what, shown, camera_refusal_text(status, why));
    } else {
        out_error("%s %s: no reply from the camera; it may or may not be done\n",
                  what, shown);
    }
}

// Sends a request that changes the card and takes the camera's verdict.
// 0 when the reply's status is 0; otherwise -1 after one line on stderr
// naming the path (or, for a request too long to send, after that
// complaint).
int card_request(const char *what, unsigned type, const char *path, const uint8_t *payload,
                 int len)
{
    if (camera_check_payload(len) != 0)
        return -1;
    Packet reply{};
    if (camera_request(type, payload, static_cast<uint16_t>(len), &reply) != 0) {
        report_undone(what, path, false, 0);
        return -1;
    }
    const unsigned status = camera_reply_status(&reply);
    if (status != 0) {
        report_undone(what, path, true, status);
        return -1;
    }
    return 0;
}

// Path requests: the full camera path and its terminating zero.
int path_request(const char *what, unsigned type, const char *name)
{
    char path[CAMERA_PATH_MAX];
    camera_make_path(name, path);
    int len = static_cast<int>(std::strlen(path)) + 1;
    return card_request(what, type, path, reinterpret_cast<const uint8_t *>(path), len);
}

}  // namespace

unsigned camera_reply_status(const Packet *reply)
{
    // A reply too short to hold a status cannot tell that the camera did it.
    return reply->length > REPLY_STATUS_OFFSET ? reply->data[REPLY_STATUS_OFFSET] : 0x100;
}

const char *camera_refusal_text(unsigned status, char *out)
{
    if (status > 0xFF)
        std::snprintf(out, CAMERA_REFUSAL_MAX, "the camera's reply holds no status");
    else
        std::snprintf(out, CAMERA_REFUSAL_MAX, "refused by the camera, status 0x%02x", status);
    return out;
}

int camera_delete(const char *name)
{
    return path_request("delete", MSG_DELETE, name);
}

int camera_mkdir(const char *name)
{
    return path_request("mkdir", MSG_MKDIR, name);
}

int camera_rmdir(const char *name)
{
    return path_request("rmdir", MSG_RMDIR, name);
}

int camera_set_attrib(const char *name, uint8_t attrib)
{
    size_t dir_len = std::strlen(listing_cache.cwd);
    size_t name_len = std::strlen(name);
    size_t len = dir_len + name_len + 6;
    if (len > static_cast<size_t>(MESSAGE_MAX_PAYLOAD)) {
        camera_check_payload(MESSAGE_MAX_PAYLOAD + 1);
        return -1;
    }
    uint8_t payload[MESSAGE_MAX_PAYLOAD] = {};
    put_le32(payload, attrib);
    std::memcpy(payload + 4, listing_cache.cwd, dir_len);
    payload[4 + dir_len] = '\\';
    std::memcpy(payload + 5 + dir_len, name, name_len);
    payload[5 + dir_len + name_len] = 0;
    char path[CAMERA_PATH_MAX];
    camera_join_path(listing_cache.cwd, name, path);
    if (card_request("set attributes of", MSG_SET_ATTR, path, payload, static_cast<int>(len)) != 0)
        return -1;
    // The camera keeps the byte it was sent whole, so the next mark must
    // start from it: a download marked from the listing's older byte would
    // take back a protection set since.
    if (ListingEntry *entry = cache_find_nocase(name))
        entry->attrib = attrib;
    return 0;
}

int camera_chmod(const char *name, int mode, uint8_t bit)
{
    const ListingEntry *entry = cache_find_nocase(name);
    if (entry == nullptr) {
        char shown[CAMERA_PATH_MAX], dir[CAMERA_PATH_MAX];
        out_error("%s: not in the last listing of %s (ls shows the folder)\n",
                  camera_printable(name, shown), camera_printable(listing_cache.cwd, dir));
        return -1;
    }
    uint8_t attrib = entry->attrib;
    if (mode == 1)
        attrib = static_cast<uint8_t>(attrib | bit);
    else if (mode == 0)
        attrib = static_cast<uint8_t>(attrib & ~bit);
    return camera_set_attrib(camera_basename(name), attrib);
}

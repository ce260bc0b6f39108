#include "files/manage.h"

#include <cstring>

#include "camera/message.h"
#include "files/cache.h"

namespace {

// Path requests: the full camera path and its terminating zero.  Returns 0
// with the reply, or -1 when the path cannot travel or no reply came.
int path_request(unsigned type, const char *name, Packet *reply)
{
    char path[CAMERA_PATH_MAX];
    camera_make_path(name, path);
    int len = static_cast<int>(std::strlen(path)) + 1;
    if (camera_check_payload(len) != 0)
        return -1;
    return camera_request(type, reinterpret_cast<const uint8_t *>(path),
                          static_cast<uint16_t>(len), reply);
}

// The directory requests report the camera's verdict at reply byte 16.
int directory_request(unsigned type, const char *name)
{
    Packet reply{};
    if (path_request(type, name, &reply) != 0)
        return -1;
    if (reply.length <= 16 || reply.data[16] != 0)
        return -1;
    return 0;
}

}  // namespace

int camera_delete(const char *name)
{
    Packet reply{};
    return path_request(MSG_DELETE, name, &reply);
}

int camera_mkdir(const char *name)
{
    return directory_request(MSG_MKDIR, name);
}

int camera_rmdir(const char *name)
{
    return directory_request(MSG_RMDIR, name);
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
    Packet reply{};
    return camera_request(MSG_SET_ATTR, payload, static_cast<uint16_t>(len), &reply);
}

int camera_chmod(const char *name, int mode, uint8_t bit)
{
    const ListingEntry *entry = cache_find_nocase(name);
    if (entry == nullptr)
        return -1;
    uint8_t attrib = entry->attrib;
    if (mode == 1)
        attrib = static_cast<uint8_t>(attrib | bit);
    else if (mode == 0)
        attrib = static_cast<uint8_t>(attrib & ~bit);
    return camera_set_attrib(camera_basename(name), attrib);
}

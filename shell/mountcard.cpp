#include "shell/mountcard.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include "camera/connect.h"
#include "camera/message.h"
#include "files/download.h"
#include "files/listing.h"
#include "files/manage.h"
#include "files/thumb.h"
#include "files/upload.h"
#include "serial/hint.h"
#include "serial/output.h"
#include "serial/port.h"
#include "shell/interp.h"
#include "shell/mountcache.h"
#include "shell/settings.h"

namespace {

// Connecting again waits a second before the synchronisation: a request
// every few seconds tries, the ones between answer at once.
constexpr time_t REOPEN_PAUSE = 3;

std::string drive;
// The listings, by camera path in upper case (the card ignores case).
std::map<std::string, std::vector<ListingEntry>> listings;
bool loss_reported;
time_t last_reopen;
// Uploads cut by a lost line: what came of them is deleted once the camera
// is back.
std::vector<std::string> cut_uploads;

bool same_name(const char *a, const char *b)
{
    return mount_upper(a) == mount_upper(b);
}

// Names a folder cannot show: the directory entries of its own, a name
// with a slash, and the thumbnail folder's.
bool presentable(const char *name)
{
    return name[0] != 0 && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
           std::strchr(name, '/') == nullptr && !same_name(name, THUMB_FOLDER);
}

// A camera that stopped answering on a line that stays (switched off, its
// batteries flat) wants a new synchronisation once it is on again, as
// after a lost line.
bool camera_silent(void)
{
    return camera_unanswered_requests() >= CAMERA_UNANSWERED_LIMIT;
}

void report_loss(void)
{
    if (loss_reported)
        return;
    if (serial_line_state() != SERIAL_LINE_OK)
        serial_line_lost(settings.device, serial_line_state());
    else if (camera_silent())
        out_complaint("%s: the camera does not answer (switched off, or its batteries flat?)\n",
                      settings.device);
    else
        return;
    loss_reported = true;
    // The kernel asks again at once for what failed (a read after its
    // read-ahead): the reader is to learn of the loss, not wait for a
    // reconnection inside its failed call.
    last_reopen = std::time(nullptr);
}

const ListingEntry *find_entry(const std::vector<ListingEntry> &entries, const char *name)
{
    for (const ListingEntry &e : entries)
        if (std::strcmp(e.name, name) == 0)
            return &e;
    for (const ListingEntry &e : entries)
        if (same_name(e.name, name))
            return &e;
    return nullptr;
}

// One step of a mount path from `node` (a folder or a thumbnail folder).
int step(MountNode *node, const std::string &name)
{
    if (node->kind == NODE_FILE || node->kind == NODE_THUMB)
        return -ENOTDIR;
    if (node->kind == NODE_FOLDER && name == THUMB_FOLDER) {
        node->kind = NODE_THUMB_FOLDER;
        return 0;
    }
    const std::vector<ListingEntry> *entries;
    if (int r = mount_entries(node->camera_path, &entries); r != 0)
        return r;
    const ListingEntry *e = find_entry(*entries, name.c_str());
    if (e == nullptr)
        return -ENOENT;
    const bool folder = (e->attrib & ATTR_DIRECTORY) != 0;
    if (node->kind == NODE_THUMB_FOLDER && folder)
        return -ENOENT;
    node->kind = node->kind == NODE_THUMB_FOLDER ? NODE_THUMB : folder ? NODE_FOLDER : NODE_FILE;
    node->folder = node->camera_path;
    node->camera_path += "\\";
    node->camera_path += e->name;
    node->entry = *e;
    return 0;
}

}  // namespace

std::string mount_upper(const std::string &text)
{
    std::string out = text;
    for (char &c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

void mount_card_begin(const char *drive_name)
{
    drive = drive_name;
    listings.clear();
}

const std::string &mount_drive(void)
{
    return drive;
}

int mount_resolve(const char *path, MountNode *out)
{
    *out = MountNode{NODE_FOLDER, drive, "", ListingEntry{}};
    out->entry.attrib = ATTR_DIRECTORY;
    const char *p = path;
    while (*p != 0) {
        while (*p == '/')
            p++;
        const char *end = std::strchr(p, '/');
        const size_t n = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
        if (n == 0)
            break;
        if (int r = step(out, std::string(p, n)); r != 0)
            return r;
        p += n;
    }
    return 0;
}

int mount_entries(const std::string &camera_path, const std::vector<ListingEntry> **out)
{
    const std::string key = mount_upper(camera_path);
    auto it = listings.find(key);
    if (it == listings.end()) {
        if (int r = mount_camera_ready(); r != 0)
            return r;
        ListingReply reply;
        if (camera_list_folder(camera_path.c_str(), &reply) != 0)
            return mount_camera_failed();
        std::vector<ListingEntry> kept;
        for (const ListingEntry &e : reply.entries)
            if (presentable(e.name))
                kept.push_back(e);
        it = listings.emplace(key, std::move(kept)).first;
    }
    *out = &it->second;
    return 0;
}

void mount_forget(const std::string &camera_path)
{
    listings.erase(mount_upper(camera_path));
}

int mount_camera_ready(void)
{
    const bool line_open = serial_descriptor() != -1 && serial_line_state() == SERIAL_LINE_OK;
    if (line_open && !camera_silent())
        return 0;
    report_loss();
    const time_t now = std::time(nullptr);
    if (last_reopen != 0 && now - last_reopen < REOPEN_PAUSE)
        return -EIO;
    last_reopen = now;
    if (line_open)
        camera_close();  // the silent camera's port, for a new connection
    if (open_camera() != 0) {
        last_reopen = std::time(nullptr);
        return -EIO;
    }
    // The card may have changed while the camera was away.
    listings.clear();
    loss_reported = false;
    last_reopen = 0;
    out_complaint("%s: the camera is back\n", settings.device);
    for (const std::string &path : cut_uploads)
        camera_delete(path.c_str());
    cut_uploads.clear();
    return 0;
}

int mount_camera_failed(void)
{
    report_loss();
    return -EIO;
}

void mount_aim_cache(const std::string &folder)
{
    cache_clear();
    std::snprintf(listing_cache.cwd, sizeof listing_cache.cwd, "%s", folder.c_str());
    auto it = listings.find(mount_upper(folder));
    if (it == listings.end())
        return;
    for (const ListingEntry &e : it->second)
        if (cache_append(&e) != 0)
            break;
}

namespace {

// The bytes a fetch keeps: the whole file at its listed size, or the JPEG
// inside the thumbnail data.  False when they are not what the card holds.
bool usable_part(const MountNode &node, const uint8_t *data, int received, size_t *start,
                 size_t *end)
{
    if (node.kind == NODE_THUMB)
        return camera_find_jpeg(data, static_cast<size_t>(received), start, end) == 0;
    *start = 0;
    *end = static_cast<size_t>(received);
    return static_cast<uint32_t>(received) == node.entry.size;
}

}  // namespace

int mount_fetch(const MountNode &node)
{
    const std::string key = (node.kind == NODE_THUMB ? "T" : "F") + mount_upper(node.camera_path);
    int fd = mount_cache_get(key, node.entry.size, node.entry.mtime);
    if (fd >= 0)
        return fd;
    if (int r = mount_camera_ready(); r != 0)
        return r;
    mount_aim_cache(node.folder);
    int received = 0;
    uint8_t *data = camera_download(node.camera_path.c_str(), node.kind == NODE_THUMB ? 1 : 0,
                                    &received);
    if (data == nullptr) {
        // A lost line is said once, for every request it fails.
        if (serial_line_state() == SERIAL_LINE_OK)
            camera_report_no_file(node.camera_path.c_str());
        return mount_camera_failed();
    }
    // The line end after the bar, as `get` and `tget` have it.
    out_end_row();
    size_t start = 0, end = 0;
    if (!usable_part(node, data, received, &start, &end)) {
        std::free(data);
        char shown[CAMERA_PATH_MAX];
        out_complaint("%s: the camera sent %d bytes that are not the file\n",
                      camera_printable(node.camera_path.c_str(), shown), received);
        return -EIO;
    }
    fd = mount_cache_put(key, node.entry.size, node.entry.mtime, data + start, end - start);
    std::free(data);
    if (fd < 0)
        out_complaint("keeping a copy of a camera file: %s\n", std::strerror(-fd));
    return fd;
}

int mount_upload(const std::string &local, const std::string &camera_path,
                 const std::string &folder)
{
    if (int r = mount_camera_ready(); r != 0)
        return r;
    mount_forget(folder);
    mount_cache_drop("F" + mount_upper(camera_path));
    mount_cache_drop("T" + mount_upper(camera_path));
    if (camera_upload(local.c_str(), camera_path.c_str()) == 0)
        return 0;
    // Each chunk is written where it belongs on the card as it comes: what
    // came of a failed upload is a file cut short, which must not stay
    // there under the name of the whole one.
    if (serial_line_state() == SERIAL_LINE_OK)
        camera_delete(camera_path.c_str());
    else
        cut_uploads.push_back(camera_path);
    char shown[CAMERA_PATH_MAX];
    out_complaint("%s: not uploaded\n", camera_printable(camera_path.c_str(), shown));
    return mount_camera_failed();
}

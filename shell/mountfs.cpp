#include "shell/mountfs.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "camera/message.h"
#include "camera/status.h"
#include "files/manage.h"
#include "serial/fdio.h"
#include "serial/output.h"
#include "shell/mountcache.h"
#include "shell/mountcard.h"

namespace {

constexpr const char *NEW_ATTRIBUTE = "user.orvik.new";

// An open file of the mount.
struct Handle {
    MountNode node;
    int fd = -1;          // the local copy being read, or the draft
    std::string draft;    // the draft's path: the file is open for writing
    bool dirty = false;   // the draft is not on the card yet
    bool protect = false; // to be protected once it is
    int new_flag = -1;    // the new flag to give it then (-1: the camera's)
    int fetch_error = 0;  // the fetch for this reader failed (-errno)
};
std::map<uint64_t, Handle> handles;
uint64_t next_handle = 1;
time_t started = std::time(nullptr);

Handle *handle_of(const fuse_file_info *fi)
{
    if (fi == nullptr)
        return nullptr;
    auto it = handles.find(fi->fh);
    return it == handles.end() ? nullptr : &it->second;
}

// The open draft of the camera file at `camera_path`, if one is open.
Handle *draft_of(const std::string &camera_path)
{
    const std::string key = mount_upper(camera_path);
    for (auto &[fh, h] : handles)
        if (!h.draft.empty() && mount_upper(h.node.camera_path) == key)
            return &h;
    return nullptr;
}

// The folder a new name at `path` goes into, and the name.
int resolve_parent(const char *path, MountNode *parent, std::string *name)
{
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr || slash[1] == 0)
        return -EINVAL;
    *name = slash + 1;
    const std::string above(path, static_cast<size_t>(slash - path));
    if (int r = mount_resolve(above.empty() ? "/" : above.c_str(), parent); r != 0)
        return r;
    if (parent->kind != NODE_FOLDER)
        return parent->kind == NODE_THUMB_FOLDER ? -EACCES : -ENOTDIR;
    if (parent->camera_path.size() + name->size() + 1 >= CAMERA_PATH_MAX)
        return -ENAMETOOLONG;
    return 0;
}

// What `path` names, a file only being written included.
int resolve_any(const char *path, MountNode *out)
{
    int r = mount_resolve(path, out);
    if (r != -ENOENT)
        return r;
    MountNode parent;
    std::string name;
    if (resolve_parent(path, &parent, &name) != 0)
        return -ENOENT;
    Handle *h = draft_of(parent.camera_path + "\\" + name);
    if (h == nullptr)
        return -ENOENT;
    *out = h->node;
    return 0;
}

void fill_stat(const MountNode &n, off_t size, struct stat *st)
{
    std::memset(st, 0, sizeof *st);
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_nlink = 1;
    const bool protected_file = (n.entry.attrib & ATTR_PROTECTED) != 0;
    switch (n.kind) {
    case NODE_FOLDER:
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        break;
    case NODE_THUMB_FOLDER:
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        break;
    case NODE_FILE:
        st->st_mode = S_IFREG | (protected_file ? 0444 : 0644);
        break;
    case NODE_THUMB:
        st->st_mode = S_IFREG | 0444;
        break;
    }
    st->st_size = size;
    st->st_blocks = (size + 511) / 512;
    const time_t when = n.entry.mtime != 0 ? static_cast<time_t>(n.entry.mtime) : started;
    st->st_mtim.tv_sec = st->st_atim.tv_sec = st->st_ctim.tv_sec = when;
}

// The size of a thumbnail is known once it is fetched.
int thumb_size(const MountNode &n, off_t *size)
{
    const int fd = mount_fetch(n);
    if (fd < 0)
        return fd;
    struct stat st;
    const int r = fstat(fd, &st);
    close(fd);
    if (r != 0)
        return -EIO;
    *size = st.st_size;
    return 0;
}

int op_getattr(const char *path, struct stat *st, fuse_file_info *fi)
{
    MountNode n;
    Handle *h = handle_of(fi);
    if (h != nullptr)
        n = h->node;
    else if (int r = resolve_any(path, &n); r != 0)
        return r;
    off_t size = n.entry.size;
    if (Handle *d = n.kind == NODE_FILE ? draft_of(n.camera_path) : nullptr) {
        struct stat local;
        if (fstat(d->fd, &local) == 0)
            size = local.st_size;
    } else if (n.kind == NODE_THUMB) {
        if (int r = thumb_size(n, &size); r != 0)
            return r;
    }
    fill_stat(n, size, st);
    return 0;
}

// Files being written that the card does not hold yet are there too.
void list_new_drafts(const std::string &folder, const std::vector<ListingEntry> &entries,
                     void *buf, fuse_fill_dir_t filler)
{
    const std::string key = mount_upper(folder);
    for (const auto &[fh, h] : handles) {
        if (h.draft.empty() || mount_upper(h.node.folder) != key)
            continue;
        bool listed = false;
        for (const ListingEntry &e : entries)
            listed = listed || mount_upper(e.name) == mount_upper(h.node.entry.name);
        struct stat st{};
        st.st_mode = S_IFREG;
        if (!listed)
            filler(buf, h.node.entry.name, &st, 0, fuse_fill_dir_flags{});
    }
}

int op_readdir(const char *path, void *buf, fuse_fill_dir_t filler, off_t, fuse_file_info *,
               fuse_readdir_flags)
{
    MountNode n;
    if (int r = mount_resolve(path, &n); r != 0)
        return r;
    if (n.kind != NODE_FOLDER && n.kind != NODE_THUMB_FOLDER)
        return -ENOTDIR;
    const std::vector<ListingEntry> *entries;
    if (int r = mount_entries(n.camera_path, &entries); r != 0)
        return r;
    filler(buf, ".", nullptr, 0, fuse_fill_dir_flags{});
    filler(buf, "..", nullptr, 0, fuse_fill_dir_flags{});
    // The thumbnail folder is reached by its name alone: listed, it would
    // be copied by every rsync, cp -r and photo import as more photos.
    for (const ListingEntry &e : *entries) {
        const bool folder = (e.attrib & ATTR_DIRECTORY) != 0;
        if (n.kind == NODE_THUMB_FOLDER && folder)
            continue;
        struct stat st{};
        st.st_mode = folder ? S_IFDIR : S_IFREG;
        filler(buf, e.name, &st, 0, fuse_fill_dir_flags{});
    }
    if (n.kind == NODE_FOLDER)
        list_new_drafts(n.camera_path, *entries, buf, filler);
    return 0;
}

}  // namespace

namespace {

uint64_t keep(Handle h)
{
    const uint64_t fh = next_handle++;
    handles.emplace(fh, std::move(h));
    return fh;
}

// Copies the whole of `from` into `to` from its start.
int copy_into(int from, int to)
{
    uint8_t chunk[65536];
    for (off_t at = 0;;) {
        const ssize_t n = pread(from, chunk, sizeof chunk, at);
        if (n < 0)
            return -errno;
        if (n == 0)
            return 0;
        if (fdio_write_all(to, chunk, static_cast<size_t>(n)) != 0)
            return -errno;
        at += n;
    }
}

// Gives the handle its draft: empty, or a copy of the card's file.
int start_draft(Handle *h, bool empty)
{
    const int fd = mount_cache_draft(&h->draft);
    if (fd < 0) {
        h->draft.clear();
        return fd;
    }
    h->fd = fd;
    h->dirty = empty;
    if (empty)
        return 0;
    const int from = mount_fetch(h->node);
    const int r = from < 0 ? from : copy_into(from, fd);
    if (from >= 0)
        close(from);
    if (r != 0) {
        close(fd);
        unlink(h->draft.c_str());
        h->draft.clear();
    }
    return r;
}

int op_open(const char *path, fuse_file_info *fi)
{
    MountNode n;
    if (int r = mount_resolve(path, &n); r != 0)
        return r;
    if (n.kind == NODE_FOLDER || n.kind == NODE_THUMB_FOLDER)
        return -EISDIR;
    Handle h;
    h.node = n;
    if ((fi->flags & O_ACCMODE) != O_RDONLY) {
        if (n.kind == NODE_THUMB || (n.entry.attrib & ATTR_PROTECTED) != 0)
            return -EACCES;
        if (int r = start_draft(&h, (fi->flags & O_TRUNC) != 0); r != 0)
            return r;
    }
    fi->fh = keep(std::move(h));
    return 0;
}

int op_create(const char *path, mode_t mode, fuse_file_info *fi)
{
    MountNode parent;
    std::string name;
    if (int r = resolve_parent(path, &parent, &name); r != 0)
        return r;
    MountNode n;
    if (resolve_any(path, &n) == 0)
        return (fi->flags & O_EXCL) != 0 ? -EEXIST : op_open(path, fi);
    // The camera takes no name starting with a dot: it would be unreachable.
    if (name[0] == '.')
        return -EINVAL;
    n = MountNode{NODE_FILE, parent.camera_path + "\\" + name, parent.camera_path, ListingEntry{}};
    std::snprintf(n.entry.name, sizeof n.entry.name, "%s", name.c_str());
    n.entry.attrib = ATTR_NEW;
    n.entry.mtime = std::time(nullptr);
    Handle h;
    h.node = n;
    h.protect = (mode & 0222) == 0;
    if (int r = start_draft(&h, true); r != 0)
        return r;
    fi->fh = keep(std::move(h));
    return 0;
}

int op_read(const char *, char *buf, size_t size, off_t offset, fuse_file_info *fi)
{
    Handle *h = handle_of(fi);
    if (h == nullptr)
        return -EBADF;
    // The kernel reads again at once what its read-ahead could not get:
    // the reader is to learn that the transfer failed, not wait for another
    // one inside the same call.  The next open tries afresh.
    if (h->fetch_error != 0)
        return h->fetch_error;
    if (h->fd < 0) {
        const int fd = mount_fetch(h->node);
        if (fd < 0) {
            h->fetch_error = fd;
            return fd;
        }
        h->fd = fd;
    }
    const ssize_t n = pread(h->fd, buf, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

int op_write(const char *, const char *buf, size_t size, off_t offset, fuse_file_info *fi)
{
    Handle *h = handle_of(fi);
    if (h == nullptr || h->draft.empty())
        return -EBADF;
    const ssize_t n = pwrite(h->fd, buf, size, offset);
    if (n < 0)
        return -errno;
    h->dirty = true;
    return static_cast<int>(n);
}

int set_attrib(const MountNode &n, uint8_t attrib);

// Sends a changed draft to the card.
int settle(Handle *h)
{
    if (h->draft.empty() || !h->dirty)
        return 0;
    // An upload is made of chunks, and an empty file has none: the camera
    // would be sent nothing, and a file emptied would keep its old bytes.
    struct stat st;
    if (fstat(h->fd, &st) != 0 || st.st_size == 0) {
        char shown[CAMERA_PATH_MAX];
        out_complaint("%s: not uploaded: the camera takes no empty file\n",
                      camera_printable(h->node.camera_path.c_str(), shown));
        return -EIO;
    }
    if (int r = mount_upload(h->draft, h->node.camera_path, h->node.folder); r != 0)
        return r;
    h->dirty = false;
    // The camera makes every file it is sent a new one.
    uint8_t attrib = ATTR_NEW;
    if (h->protect)
        attrib |= ATTR_PROTECTED;
    if (h->new_flag == 0)
        attrib &= static_cast<uint8_t>(~ATTR_NEW);
    return attrib == ATTR_NEW ? 0 : set_attrib(h->node, attrib);
}

int op_flush(const char *, fuse_file_info *fi)
{
    Handle *h = handle_of(fi);
    return h == nullptr ? -EBADF : settle(h);
}

int op_fsync(const char *, int, fuse_file_info *fi)
{
    return op_flush(nullptr, fi);
}

void close_handle(Handle *h)
{
    if (h->fd >= 0)
        close(h->fd);
    if (!h->draft.empty())
        unlink(h->draft.c_str());
}

int op_release(const char *, fuse_file_info *fi)
{
    Handle *h = handle_of(fi);
    if (h == nullptr)
        return -EBADF;
    close_handle(h);
    handles.erase(fi->fh);
    return 0;
}

int op_truncate(const char *path, off_t size, fuse_file_info *fi)
{
    Handle *h = handle_of(fi);
    if (h == nullptr) {
        MountNode n;
        if (int r = mount_resolve(path, &n); r != 0)
            return r;
        h = draft_of(n.camera_path);
        if (h == nullptr)
            return n.kind == NODE_FILE ? -EOPNOTSUPP : -EISDIR;
    }
    if (h->draft.empty())
        return -EBADF;
    if (ftruncate(h->fd, size) != 0)
        return -errno;
    h->dirty = true;
    return 0;
}

}  // namespace

namespace {

// A path request that changes the card (camera_delete, camera_mkdir,
// camera_rmdir), made once the camera is there; the listing of `folder`
// is asked for again afterwards.  0, or a negative errno.
int change_card(int (*request)(const char *), const std::string &camera_path,
                const std::string &folder)
{
    if (int r = mount_camera_ready(); r != 0)
        return r;
    const int r = request(camera_path.c_str());
    mount_forget(folder);
    return r == 0 ? 0 : mount_camera_failed();
}

int set_attrib(const MountNode &n, uint8_t attrib)
{
    if (int r = mount_camera_ready(); r != 0)
        return r;
    mount_aim_cache(n.folder);
    const int r = camera_set_attrib(n.entry.name, attrib);
    mount_forget(n.folder);
    return r == 0 ? 0 : mount_camera_failed();
}

int op_unlink(const char *path)
{
    MountNode n;
    if (int r = mount_resolve(path, &n); r != 0)
        return r;
    if (n.kind == NODE_FOLDER)
        return -EISDIR;
    if (n.kind != NODE_FILE || (n.entry.attrib & ATTR_PROTECTED) != 0)
        return -EACCES;
    return change_card(camera_delete, n.camera_path, n.folder);
}

int op_mkdir(const char *path, mode_t)
{
    MountNode parent, n;
    std::string name;
    if (int r = resolve_parent(path, &parent, &name); r != 0)
        return r;
    if (resolve_any(path, &n) == 0)
        return -EEXIST;
    if (name[0] == '.')
        return -EINVAL;
    return change_card(camera_mkdir, parent.camera_path + "\\" + name, parent.camera_path);
}

int op_rmdir(const char *path)
{
    MountNode n;
    if (int r = mount_resolve(path, &n); r != 0)
        return r;
    if (n.kind == NODE_THUMB_FOLDER)
        return -EACCES;
    if (n.kind != NODE_FOLDER)
        return -ENOTDIR;
    if (n.folder.empty())
        return -EBUSY;  // the drive itself
    const std::vector<ListingEntry> *entries;
    if (int r = mount_entries(n.camera_path, &entries); r != 0)
        return r;
    if (!entries->empty())
        return -ENOTEMPTY;
    if (int r = mount_camera_ready(); r != 0)
        return r;
    const int r = camera_rmdir(n.camera_path.c_str());
    mount_forget(n.folder);
    mount_forget(n.camera_path);
    return r == 0 ? 0 : mount_camera_failed();
}

// The card has one permission bit, the protection: without any write
// permission a file is protected.  Folders are what they are.
int op_chmod(const char *path, mode_t mode, fuse_file_info *fi)
{
    MountNode n;
    Handle *h = handle_of(fi);
    if (h != nullptr)
        n = h->node;
    else if (int r = resolve_any(path, &n); r != 0)
        return r;
    if (n.kind != NODE_FILE)
        return (mode & 07777) == (n.kind == NODE_FOLDER ? 0755 : 0555) ? 0 : -EPERM;
    const bool protect = (mode & 0222) == 0;
    if (Handle *d = draft_of(n.camera_path); d != nullptr && d->dirty) {
        d->protect = protect;  // applied once the file is on the card
        return 0;
    }
    if (protect == ((n.entry.attrib & ATTR_PROTECTED) != 0))
        return 0;
    return set_attrib(n, static_cast<uint8_t>(n.entry.attrib ^ ATTR_PROTECTED));
}

int op_chown(const char *, uid_t uid, gid_t gid, fuse_file_info *)
{
    const bool same_user = uid == static_cast<uid_t>(-1) || uid == getuid();
    const bool same_group = gid == static_cast<gid_t>(-1) || gid == getgid();
    return same_user && same_group ? 0 : -EPERM;
}

// The camera stamps a file with its own clock when it is written; a time
// asked for (cp -p, touch) cannot be kept, as on a FAT disk that lacks it.
int op_utimens(const char *path, const struct timespec *, fuse_file_info *fi)
{
    MountNode n;
    return handle_of(fi) != nullptr ? 0 : resolve_any(path, &n);
}

int op_rename(const char *, const char *, unsigned int)
{
    return -EXDEV;
}

int op_statfs(const char *, struct statvfs *st)
{
    if (int r = mount_camera_ready(); r != 0)
        return r;
    int size = 0, free_bytes = 0;
    if (camera_get_disk_info(mount_drive().c_str(), &size, &free_bytes) != 0)
        return mount_camera_failed();
    std::memset(st, 0, sizeof *st);
    st->f_bsize = st->f_frsize = 1024;
    st->f_blocks = static_cast<fsblkcnt_t>(size) / 1024;
    st->f_bfree = st->f_bavail = static_cast<fsblkcnt_t>(free_bytes) / 1024;
    st->f_namemax = CAMERA_PATH_MAX - 1;
    return 0;
}

}  // namespace

namespace {

// The camera's not-yet-downloaded flag, as "1" or "0".
int file_node(const char *path, const char *attribute, MountNode *n)
{
    if (int r = resolve_any(path, n); r != 0)
        return r;
    if (n->kind != NODE_FILE || std::strcmp(attribute, NEW_ATTRIBUTE) != 0)
        return -ENODATA;
    return 0;
}

int op_getxattr(const char *path, const char *attribute, char *value, size_t size)
{
    MountNode n;
    if (int r = file_node(path, attribute, &n); r != 0)
        return r;
    if (size == 0)
        return 1;
    value[0] = (n.entry.attrib & ATTR_NEW) != 0 ? '1' : '0';
    return 1;
}

int op_setxattr(const char *path, const char *attribute, const char *value, size_t size,
                int flags)
{
    MountNode n;
    if (int r = file_node(path, attribute, &n); r != 0)
        return r == -ENODATA ? -ENOTSUP : r;
    if (flags == XATTR_CREATE)
        return -EEXIST;  // every file has it
    if (size != 1 || (value[0] != '0' && value[0] != '1'))
        return -EINVAL;
    if (Handle *d = draft_of(n.camera_path); d != nullptr && d->dirty) {
        d->new_flag = value[0] - '0';  // given once the file is on the card
        return 0;
    }
    const bool now_new = (n.entry.attrib & ATTR_NEW) != 0;
    if ((value[0] == '1') == now_new)
        return 0;
    return set_attrib(n, static_cast<uint8_t>(n.entry.attrib ^ ATTR_NEW));
}

int op_listxattr(const char *path, char *list, size_t size)
{
    MountNode n;
    if (int r = resolve_any(path, &n); r != 0)
        return r;
    if (n.kind != NODE_FILE)
        return 0;
    const size_t needed = std::strlen(NEW_ATTRIBUTE) + 1;
    if (size == 0)
        return static_cast<int>(needed);
    if (size < needed)
        return -ERANGE;
    std::memcpy(list, NEW_ATTRIBUTE, needed);
    return static_cast<int>(needed);
}

int op_removexattr(const char *, const char *)
{
    return -ENOTSUP;
}

void *op_init(fuse_conn_info *conn, fuse_config *cfg)
{
    // O_TRUNC comes with the open, so that a file rewritten whole is not
    // fetched from the camera first only to be thrown away.
    if ((conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) != 0)
        conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    cfg->use_ino = 0;
    return nullptr;
}

fuse_operations make_operations(void)
{
    fuse_operations ops{};
    ops.getattr = op_getattr;
    ops.readdir = op_readdir;
    ops.open = op_open;
    ops.create = op_create;
    ops.read = op_read;
    ops.write = op_write;
    ops.flush = op_flush;
    ops.fsync = op_fsync;
    ops.release = op_release;
    ops.truncate = op_truncate;
    ops.unlink = op_unlink;
    ops.mkdir = op_mkdir;
    ops.rmdir = op_rmdir;
    ops.chmod = op_chmod;
    ops.chown = op_chown;
    ops.utimens = op_utimens;
    ops.rename = op_rename;
    ops.statfs = op_statfs;
    ops.getxattr = op_getxattr;
    ops.setxattr = op_setxattr;
    ops.listxattr = op_listxattr;
    ops.removexattr = op_removexattr;
    ops.init = op_init;
    return ops;
}

}  // namespace

const fuse_operations *mount_operations(void)
{
    static const fuse_operations ops = make_operations();
    return &ops;
}

void mount_close_files(void)
{
    for (auto &[fh, h] : handles)
        close_handle(&h);
    handles.clear();
}

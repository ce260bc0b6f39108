#include "camsim/card.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "serial/fdio.h"

namespace {

struct Card {
    std::string root;
    std::string state_file;
    std::map<std::string, uint8_t> attribs;  // by CardPath::rel; absent: default
};
Card card;

bool hidden(const std::string &name)
{
    return name.empty() || name[0] == '.';
}

// A name the camera can hold as one path level: it must not lead anywhere
// else on the host ('/' would be a host separator, a leading '.' gives "."
// and "..") and must fit a host file name.
bool usable_name(const std::string &name)
{
    return !hidden(name) && name.find('/') == std::string::npos && name.size() <= 255;
}

// Kind of the host entry: 'd' folder, 'f' regular file, 0 anything else.
char kind_of(const std::string &host, struct stat *st)
{
    if (lstat(host.c_str(), st) != 0)
        return 0;
    if (S_ISDIR(st->st_mode))
        return 'd';
    if (S_ISREG(st->st_mode))
        return 'f';
    return 0;
}

// The visible entry of folder `dir` that a camera name means: the exact
// spelling when it exists, otherwise the first case-insensitive match in
// name order.  "" when there is none.
std::string find_name(const std::string &dir, const std::string &name)
{
    struct stat st;
    if (kind_of(dir + "/" + name, &st))
        return name;
    std::string best;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (hidden(n) || strcasecmp(n.c_str(), name.c_str()) != 0)
                continue;
            if (kind_of(dir + "/" + n, &st) && (best.empty() || n < best))
                best = n;
        }
        closedir(d);
    }
    return best;
}

void save_state()
{
    if (card.state_file.empty())
        return;
    std::string tmp = card.state_file + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f) {
        std::perror(tmp.c_str());
        return;
    }
    for (const auto &a : card.attribs)
        std::fprintf(f, "%02x %s\n", a.second, a.first.c_str());
    if (std::fclose(f) != 0 || std::rename(tmp.c_str(), card.state_file.c_str()) != 0)
        std::perror(card.state_file.c_str());
}

// A state-file line: two hex digits, a blank and a path below the root.
constexpr int STATE_LINE_MAX = 4096;

void load_state()
{
    FILE *f = std::fopen(card.state_file.c_str(), "r");
    if (!f)
        return;
    char line[STATE_LINE_MAX];
    while (std::fgets(line, sizeof line, f)) {
        size_t n = std::strlen(line);
        if (n && line[n - 1] == '\n')
            line[--n] = '\0';
        unsigned value;
        int used = 0;
        if (std::sscanf(line, "%2x %n", &value, &used) == 1 && used > 0 && line[used])
            card.attribs[line + used] = static_cast<uint8_t>(value);
    }
    std::fclose(f);
}

// Splits a camera path below its drive into its levels.  False when the
// path names no drive D: or holds an unusable level.
bool split_path(const std::string &camera_path, std::vector<std::string> *levels)
{
    if (camera_path.size() < 2 || (camera_path[0] != 'D' && camera_path[0] != 'd') ||
        camera_path[1] != ':')
        return false;
    std::string level;
    for (size_t i = 2; i <= camera_path.size(); ++i) {
        if (i == camera_path.size() || camera_path[i] == '\\') {
            if (!level.empty()) {
                if (!usable_name(level))
                    return false;
                levels->push_back(level);
            }
            level.clear();
        } else {
            level += camera_path[i];
        }
    }
    return true;
}

CardStatus resolve_levels(const std::vector<std::string> &levels, size_t count, CardPath *out)
{
    out->host = card.root;
    out->rel.clear();
    out->camera = "D:";
    out->is_dir = true;
    for (size_t i = 0; i < count; ++i) {
        if (!out->is_dir)
            return CARD_NOT_FOUND;
        std::string name = find_name(out->host, levels[i]);
        if (name.empty())
            return CARD_NOT_FOUND;
        out->host += "/" + name;
        out->rel += (out->rel.empty() ? "" : "/") + name;
        out->camera += "\\" + name;
        struct stat st;
        out->is_dir = kind_of(out->host, &st) == 'd';
    }
    return CARD_OK;
}

// For creating: the folder that will hold the new level, and the host
// name to use (an existing entry matching without regard to case is
// reused, as the card cannot hold both).
CardStatus resolve_new(const std::string &camera_path, CardPath *parent, std::string *name,
                       bool *exists)
{
    std::vector<std::string> levels;
    if (!split_path(camera_path, &levels) || levels.empty())
        return CARD_BAD_PATH;
    CardStatus s = resolve_levels(levels, levels.size() - 1, parent);
    if (s != CARD_OK)
        return s;
    if (!parent->is_dir)
        return CARD_NOT_FOUND;
    std::string found = find_name(parent->host, levels.back());
    *exists = !found.empty();
    *name = *exists ? found : levels.back();
    return CARD_OK;
}

// Resolves an existing entry that must be a folder (want_dir) or a file.
CardStatus resolve_kind(const std::string &camera_path, bool want_dir, CardPath *out)
{
    CardStatus s = card_resolve(camera_path, out);
    if (s != CARD_OK)
        return s;
    return out->is_dir == want_dir ? CARD_OK : CARD_WRONG_KIND;
}

std::string join_rel(const std::string &parent, const std::string &name)
{
    return parent.empty() ? name : parent + "/" + name;
}

} // namespace

int card_open(const std::string &root, const std::string &state_file)
{
    struct stat st;
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return -1;
    card.root = root;
    card.state_file = state_file;
    card.attribs.clear();
    if (!state_file.empty())
        load_state();
    return 0;
}

CardStatus card_resolve(const std::string &camera_path, CardPath *out)
{
    std::vector<std::string> levels;
    if (!split_path(camera_path, &levels))
        return CARD_BAD_PATH;
    return resolve_levels(levels, levels.size(), out);
}

uint8_t card_attrib(const CardPath &p)
{
    auto it = card.attribs.find(p.rel);
    if (it != card.attribs.end())
        return it->second;
    return p.is_dir ? CARD_ATTR_DIRECTORY : CARD_ATTR_NEW;
}

std::vector<CardEntry> card_list(const CardPath &dir)
{
    std::vector<CardEntry> entries;
    DIR *d = opendir(dir.host.c_str());
    if (!d)
        return entries;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (hidden(name))
            continue;
        struct stat st;
        char kind = kind_of(dir.host + "/" + name, &st);
        if (!kind)
            continue;
        CardPath p{dir.host + "/" + name, join_rel(dir.rel, name), dir.camera + "\\" + name,
                   kind == 'd'};
        uint64_t size = kind == 'd' ? 0 : static_cast<uint64_t>(st.st_size);
        entries.push_back(CardEntry{name, kind == 'd',
                                    static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX)),
                                    static_cast<int64_t>(st.st_mtime), card_attrib(p)});
    }
    closedir(d);
    std::sort(entries.begin(), entries.end(),
              [](const CardEntry &a, const CardEntry &b) { return a.name < b.name; });
    return entries;
}

CardStatus card_delete(const std::string &camera_path)
{
    CardPath p;
    CardStatus s = resolve_kind(camera_path, false, &p);
    if (s != CARD_OK)
        return s;
    if (card_attrib(p) & CARD_ATTR_PROTECTED)
        return CARD_PROTECTED;
    if (unlink(p.host.c_str()) != 0)
        return CARD_IO_ERROR;
    card.attribs.erase(p.rel);
    save_state();
    return CARD_OK;
}

CardStatus card_mkdir(const std::string &camera_path)
{
    CardPath parent;
    std::string name;
    bool exists;
    CardStatus s = resolve_new(camera_path, &parent, &name, &exists);
    if (s != CARD_OK)
        return s;
    if (exists)
        return CARD_EXISTS;
    if (mkdir((parent.host + "/" + name).c_str(), 0755) != 0)
        return CARD_IO_ERROR;
    card.attribs.erase(join_rel(parent.rel, name));
    save_state();
    return CARD_OK;
}

CardStatus card_rmdir(const std::string &camera_path)
{
    CardPath p;
    CardStatus s = resolve_kind(camera_path, true, &p);
    if (s != CARD_OK)
        return s;
    if (p.rel.empty())
        return CARD_BAD_PATH;  // the card's top folder stays
    std::vector<std::string> hidden_files;
    if (DIR *d = opendir(p.host.c_str())) {
        bool empty = true;
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            struct stat st;
            if (hidden(name) && kind_of(p.host + "/" + name, &st) == 'f')
                hidden_files.push_back(name);
            else
                empty = false;
        }
        closedir(d);
        if (!empty)
            return CARD_NOT_EMPTY;
    }
    // To the camera the folder is empty: what it cannot see goes with it.
    for (const std::string &h : hidden_files)
        unlink((p.host + "/" + h).c_str());
    if (rmdir(p.host.c_str()) != 0)
        return errno == ENOTEMPTY || errno == EEXIST ? CARD_NOT_EMPTY : CARD_IO_ERROR;
    card.attribs.erase(p.rel);
    save_state();
    return CARD_OK;
}

CardStatus card_set_attrib(const std::string &camera_path, uint8_t attrib)
{
    CardPath p;
    CardStatus s = card_resolve(camera_path, &p);
    if (s != CARD_OK)
        return s;
    if (p.rel.empty())
        return CARD_BAD_PATH;
    // The folder bit tells what the entry is; it cannot be set or cleared.
    attrib = static_cast<uint8_t>((attrib & ~CARD_ATTR_DIRECTORY) |
                                  (p.is_dir ? CARD_ATTR_DIRECTORY : 0));
    card.attribs[p.rel] = attrib;
    save_state();
    return CARD_OK;
}

CardStatus card_write_chunk(const std::string &camera_path, uint32_t offset,
                            const uint8_t *bytes, size_t length)
{
    CardPath parent;
    std::string name;
    bool exists;
    CardStatus s = resolve_new(camera_path, &parent, &name, &exists);
    if (s != CARD_OK)
        return s;
    std::string host = parent.host + "/" + name, rel = join_rel(parent.rel, name);
    CardPath target{host, rel, "", false};
    if (exists) {
        struct stat st;
        if (kind_of(host, &st) != 'f')
            return CARD_WRONG_KIND;
        if (offset == 0 && (card_attrib(target) & CARD_ATTR_PROTECTED))
            return CARD_PROTECTED;
    } else if (offset != 0) {
        return CARD_NOT_FOUND;
    }
    int flags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | (offset == 0 ? O_CREAT | O_TRUNC : 0);
    int fd = open(host.c_str(), flags, 0644);
    if (fd < 0)
        return CARD_IO_ERROR;
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0 ||
        fdio_write_all(fd, bytes, length) != 0) {
        close(fd);
        return CARD_IO_ERROR;
    }
    if (close(fd) != 0)
        return CARD_IO_ERROR;
    if (offset == 0 && card.attribs.erase(rel))
        save_state();
    return CARD_OK;
}

CardStatus card_read(const CardPath &p, std::vector<uint8_t> *out)
{
    if (p.is_dir)
        return CARD_WRONG_KIND;
    int fd = open(p.host.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return CARD_NOT_FOUND;
    out->clear();
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = fdio_read(fd, buf, sizeof buf);
        if (n < 0) {
            close(fd);
            return CARD_IO_ERROR;
        }
        if (n == 0)
            break;
        out->insert(out->end(), buf, buf + n);
    }
    close(fd);
    return CARD_OK;
}

void card_space(uint64_t *size, uint64_t *free_bytes)
{
    struct statvfs vfs;
    if (statvfs(card.root.c_str(), &vfs) != 0) {
        *size = *free_bytes = 0;
        return;
    }
    *size = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    *free_bytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

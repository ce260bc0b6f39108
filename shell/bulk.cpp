// Bulk commands: one action over every entry of the directory listed last.
// They never ask the camera for a listing; the cache keeps the attribute
// bytes of the last listing throughout a walk, so a file re-marked on the
// way still shows its old bits until the directory is listed again.
#include "shell/bulk.h"

#include <cstdio>
#include <cstring>

#include "files/cache.h"
#include "files/download.h"
#include "files/manage.h"
#include "files/thumb.h"
#include "shell/settings.h"

namespace {

// One entry as the walk needs it, copied out of the cache before any camera
// operation runs, so that nothing a called operation does to the cache can
// leave the walk holding a stale entry.
struct WalkEntry {
    uint8_t attrib;
    char name[1024];
    char path[CAMERA_PATH_MAX];  // camera_cwd "\\" name, cut to 1023
};

bool walk_entry(int index, WalkEntry *out)
{
    if (index >= listing_count || listing_cache[index] == nullptr)
        return false;
    const ListingEntry *entry = listing_cache[index];
    out->attrib = entry->attrib;
    std::snprintf(out->name, sizeof out->name, "%s", entry->name);
    camera_join_path(camera_cwd, out->name, out->path);
    return true;
}

bool cache_is_empty(void)
{
    if (listing_count > 0)
        return false;
    std::puts("last ls is empty");
    return true;
}

bool selected(int selection, uint8_t attrib)
{
    if (selection == SELECT_NEW)
        return (attrib & ATTR_NEW) != 0;
    if (selection == SELECT_OLD)
        return (attrib & ATTR_NEW) == 0;
    return true;
}

// Sets (1) or clears (0) `bit` in the attribute byte of the first cached
// entry that carries the name ignoring case, and sends that byte.  Returns
// false when no cached entry carries the name, or when the camera never
// answered: the mark may well be unchanged then.
bool change_attrib(const char *name, int operation, uint8_t bit)
{
    const char *key = camera_basename(name);
    const ListingEntry *found = cache_find_nocase(key);
    if (found == nullptr)
        return false;
    uint8_t attrib = found->attrib;
    if (operation == 0)
        attrib = static_cast<uint8_t>(attrib & ~bit);
    else if (operation == 1)
        attrib = static_cast<uint8_t>(attrib | bit);
    return camera_set_attrib(key, attrib) == 0;
}

}  // namespace

// The joined entry path is handed on rather than the bare name: for every
// ordinary name the camera gets the same path, and a name that itself
// looks like a drive path ("C:...") cannot point the operation elsewhere.

int camera_get_last_ls(int selection)
{
    if (cache_is_empty())
        return -1;
    WalkEntry entry;
    for (int i = 0; walk_entry(i, &entry); i++) {
        if (!selected(selection, entry.attrib))
            continue;
        camera_get_file(entry.path);  // a failed download does not stop the walk
        std::printf("\n");
    }
    if (settings.debug)
        std::puts("getlastls successful");
    return 0;
}

int camera_delete_all(int selection)
{
    if (cache_is_empty())
        return -1;
    WalkEntry entry;
    for (int i = 0; walk_entry(i, &entry); i++) {
        if (!selected(selection, entry.attrib))
            continue;
        char buf[CAMERA_PATH_MAX];
        std::printf("Removing %s: ", camera_printable(entry.path, buf));
        std::fflush(stdout);
        if (entry.attrib & ATTR_PROTECTED) {
            std::puts("PROTECTED, file skipped");
            continue;
        }
        // -1 means the camera never answered: the file may well still be
        // there, so this must not read as a success.
        if (camera_delete(entry.path) < 0)
            std::puts("ERROR");
        else
            std::puts("successful");
    }
    std::puts("delete terminated");
    return 0;
}

int camera_chmod_all(int operation, int bit)
{
    if (cache_is_empty())
        return -1;
    WalkEntry entry;
    for (int i = 0; walk_entry(i, &entry); i++) {
        char buf[CAMERA_PATH_MAX];
        std::printf("chmod %s: ", camera_printable(entry.path, buf));
        std::fflush(stdout);
        if (change_attrib(entry.name, operation, static_cast<uint8_t>(bit)))
            std::puts("successful");
        else
            std::puts("ERROR");
    }
    std::puts("chmodall terminated");
    return 0;
}

int camera_view_all(void)
{
    if (cache_is_empty())
        return -1;
    WalkEntry entry;
    for (int i = 0; walk_entry(i, &entry); i++) {
        int answer = camera_view(entry.path);
        switch (answer) {
        case 'q':
        case 'Q':
            return 0;
        case 'd':
        case 'D':
            camera_delete(entry.path);
            break;
        case 'g':
        case 'G':
            camera_get_file(entry.path);
            break;
        case 'n':
        case 'N':
            change_attrib(entry.name, 1, ATTR_NEW);
            break;
        case 'o':
        case 'O':
            change_attrib(entry.name, 0, ATTR_NEW);
            break;
        default:  // empty answer, anything else, or a failed thumbnail
            break;
        }
    }
    return 0;
}

// Non-interactive modes: a walk from the DCIM folder into each folder
// directly inside it and back.  The error and empty-card ends leave with a
// plain exit: the camera is not switched off there, only the normal return
// to the caller does that.
#include "shell/batch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "files/cache.h"
#include "files/listing.h"
#include "files/manage.h"
#include "files/saveas.h"
#include "shell/bulk.h"
#include "shell/settings.h"

namespace {

// Names of the folders of the DCIM listing.  Copied before any folder is
// entered, because every listing replaces the cache.  Kept to the end of
// the process.
struct FolderList {
    char **names;
    int count;
};

// The folder names of the walk; kept to the end of the process.
FolderList walk_folders;

FolderList copy_folders(void)
{
    FolderList list{nullptr, 0};
    if (listing_cache.count == 0)
        return list;
    list.names = static_cast<char **>(std::malloc(sizeof(char *) * static_cast<size_t>(listing_cache.count)));
    if (list.names == nullptr) {
        std::perror("malloc");
        std::exit(1);
    }
    for (int i = 0; i < listing_cache.count; i++) {
        if ((listing_cache.entries[i].attrib & ATTR_DIRECTORY) == 0)
            continue;
        char *copy = strdup(listing_cache.entries[i].name);
        if (copy == nullptr) {
            std::perror("malloc");
            std::exit(1);
        }
        list.names[list.count++] = copy;
    }
    return list;
}

void list_or_exit(const char *path)
{
    if (camera_ls(path) < 0) {
        char buf[CAMERA_PATH_MAX];
        std::printf("Error listing %s\n", camera_printable(path, buf));
        std::exit(1);
    }
}

void back_up_or_exit(void)
{
    if (camera_ls("..") < 0) {
        std::puts("Error performing cd ..");
        std::exit(1);
    }
}

enum BatchMode { MODE_LIST, MODE_GET, MODE_ERASE };

void walk(BatchMode mode, int selection)
{
    list_or_exit(settings.dcim);
    if (listing_cache.count == 0) {
        std::puts("CF seems empty");
        std::exit(0);
    }
    walk_folders = copy_folders();
    const FolderList &folders = walk_folders;
    for (int i = 0; i < folders.count; i++) {
        const char *name = folders.names[i];
        char buf[CAMERA_PATH_MAX];
        std::printf("---> %s\n", camera_printable(name, buf));
        list_or_exit(name);
        if (mode == MODE_GET) {
            if (listing_cache.count == 0)
                std::puts("skipping empty directory");
            else
                camera_get_last_ls(selection);
        } else if (mode == MODE_ERASE) {
            if (camera_delete_all(SELECT_ALL) < 0) {
                std::puts("camera_delete_all error");
                std::exit(1);
            }
        }
        back_up_or_exit();
        if (mode == MODE_ERASE)
            camera_rmdir(name);  // a folder still holding a protected file stays
    }
}

}  // namespace

void batch_list(void)
{
    walk(MODE_LIST, SELECT_ALL);
}

void batch_get(int selection)
{
    walk(MODE_GET, selection);
    saveas_print_tally();
}

int batch_erase(void)
{
    std::printf("Are you sure? (y/N): ");
    std::fflush(stdout);
    if (std::getc(stdin) != 'y')
        std::exit(0);
    walk(MODE_ERASE, SELECT_ALL);
    back_up_or_exit();
    return camera_rmdir("DCIM");
}

// Non-interactive modes: a walk from the DCIM folder into each folder
// directly inside it and back.  Every end switches the camera off: a
// camera left connected would be deaf to the next run's synchronisation.
#include "shell/batch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "files/cache.h"
#include "files/listing.h"
#include "files/manage.h"
#include "files/saveas.h"
#include "serial/hint.h"
#include "serial/output.h"
#include "serial/port.h"
#include "shell/bulk.h"
#include "shell/exits.h"
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
        close_and_exit(1);
    }
    for (int i = 0; i < listing_cache.count; i++) {
        if ((listing_cache.entries[i].attrib & ATTR_DIRECTORY) == 0)
            continue;
        char *copy = strdup(listing_cache.entries[i].name);
        if (copy == nullptr) {
            std::perror("malloc");
            close_and_exit(1);
        }
        list.names[list.count++] = copy;
    }
    return list;
}

// Ends the run, status 1, when the line is gone or the camera stopped
// answering, saying so on stderr; `where` names the folder being walked.
void stop_if_camera_lost(const char *where)
{
    if (serial_line_state() != SERIAL_LINE_OK) {
        serial_line_lost(settings.device, serial_line_state());
        close_and_exit(1);
    }
    if (camera_unanswered_requests() >= CAMERA_UNANSWERED_LIMIT) {
        char buf[CAMERA_PATH_MAX];
        out_error("The camera does not answer: the run stopped in %s\n",
                  camera_printable(where, buf));
        close_and_exit(1);
    }
}

void list_or_exit(const char *path)
{
    if (camera_ls(path) < 0) {
        char buf[CAMERA_PATH_MAX];
        std::printf("Error listing %s\n", camera_printable(path, buf));
        stop_if_camera_lost(path);
        close_and_exit(1);
    }
}

void back_up_or_exit(void)
{
    if (camera_ls("..") < 0) {
        std::puts("Error performing cd ..");
        stop_if_camera_lost("..");
        close_and_exit(1);
    }
}

// The entries of the folder listed last that the cache could not hold,
// said on stderr: the run never saw them, so it cannot have done its work
// on them.
int report_left_out(const char *where)
{
    const int dropped = listing_cache.dropped;
    if (dropped > 0) {
        char buf[CAMERA_PATH_MAX];
        out_error("%s: %d %s left out: orvik keeps %d entries of a folder's listing\n",
                  camera_printable(where, buf), dropped, dropped == 1 ? "entry was" : "entries were",
                  CACHE_MAX);
    }
    return dropped;
}

enum BatchMode { MODE_LIST, MODE_GET, MODE_ERASE };

// The folder action of the download and the erase; returns the number of
// files it left undone (not saved, or still on the card though they were
// to go).
int folder_action(BatchMode mode, int selection, const char *name)
{
    int r = 0;
    if (mode == MODE_GET) {
        if (listing_cache.count == 0) {
            std::puts("skipping empty directory");
            return 0;
        }
        r = camera_get_last_ls(selection);
    } else {
        r = camera_delete_all(SELECT_ALL);
    }
    if (r == WALK_STOPPED)
        stop_if_camera_lost(name);
    if (r < 0) {  // only the erase meets an empty folder here
        std::puts("camera_delete_all error");
        close_and_exit(1);
    }
    return r + report_left_out(name);
}

// Returns the number of files the walk left undone (MODE_GET, MODE_ERASE).
int walk(BatchMode mode, int selection)
{
    int undone = 0;
    list_or_exit(settings.dcim);
    if (listing_cache.count == 0) {
        std::puts("CF seems empty");
        close_and_exit(0);
    }
    if (mode != MODE_LIST)
        undone += report_left_out(settings.dcim);
    walk_folders = copy_folders();
    const FolderList &folders = walk_folders;
    for (int i = 0; i < folders.count; i++) {
        const char *name = folders.names[i];
        char buf[CAMERA_PATH_MAX];
        std::printf("---> %s\n", camera_printable(name, buf));
        list_or_exit(name);
        if (mode != MODE_LIST)
            undone += folder_action(mode, selection, name);
        back_up_or_exit();
        if (mode == MODE_ERASE)
            camera_rmdir(name);  // a folder still holding a protected file stays
    }
    return undone;
}

}  // namespace

void batch_list(void)
{
    walk(MODE_LIST, SELECT_ALL);
}

int batch_get(int selection)
{
    // Every file is tried; a script then learns from the status whether the
    // card may be erased.
    const int unsaved = walk(MODE_GET, selection);
    saveas_print_tally();
    if (unsaved == 0)
        return 0;
    out_error("%d %s not saved (named above)\n", unsaved, unsaved == 1 ? "file was" : "files were");
    return 1;
}

int batch_erase(void)
{
    out_now("Are you sure? (y/N): ");
    if (std::getc(stdin) != 'y')
        close_and_exit(0);
    const int stayed = walk(MODE_ERASE, SELECT_ALL);
    back_up_or_exit();
    camera_rmdir("DCIM");  // refused while anything stays in it
    if (stayed == 0)
        return 0;
    // A protected file stays by the user's wish; any other file that
    // stays must keep a script from calling the card empty.
    out_error("%d %s not erased (named above)\n", stayed, stayed == 1 ? "file was" : "files were");
    return 1;
}

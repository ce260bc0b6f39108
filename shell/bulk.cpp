// Bulk commands: one action over every entry of the directory listed last.
// They never ask the camera for a listing; the cache keeps the attribute
// bytes of the last listing, but for the marks the camera took since
// (camera_set_attrib): what a walk selects was decided by the listing.
#include "shell/bulk.h"

#include <cstdio>
#include <cstring>

#include "files/cache.h"
#include "files/download.h"
#include "files/manage.h"
#include "files/saveas.h"
#include "files/select.h"
#include "files/thumb.h"
#include "serial/output.h"
#include "serial/port.h"
#include "shell/hook.h"
#include "shell/settings.h"

namespace {

// One entry as the walk needs it, copied out of the cache before any camera
// operation runs, so that nothing a called operation does to the cache can
// leave the walk holding a stale entry.
struct WalkEntry {
    uint8_t attrib;
    char name[CAMERA_PATH_MAX];
    char path[CAMERA_PATH_MAX];  // the cache's cwd "\\" name, cut to fit
};

bool walk_entry(int index, WalkEntry *out)
{
    if (index >= listing_cache.count)
        return false;
    const ListingEntry *entry = &listing_cache.entries[index];
    out->attrib = entry->attrib;
    std::snprintf(out->name, sizeof out->name, "%s", entry->name);
    camera_join_path(listing_cache.cwd, out->name, out->path);
    return true;
}

bool cache_is_empty(void)
{
    if (listing_cache.count > 0)
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

// The next entry at or after *index that the selection takes; *index then
// points past it.
bool next_selected(int *index, int selection, WalkEntry *out)
{
    while (walk_entry((*index)++, out))
        if (selected(selection, out->attrib))
            return true;
    return false;
}

// How many entries the selection takes.
int count_selected(int selection)
{
    int n = 0;
    WalkEntry entry;
    for (int i = 0; next_selected(&i, selection, &entry);)
        n++;
    return n;
}

// What one walk has seen of the camera's silence.  Requests left
// unanswered before the walk (a camera that was busy, or off for a while)
// say nothing about the camera now: the walk must ask it before it can
// tell that it no longer answers.
struct WalkSilence {
    int at_start;  // camera_unanswered_requests when the walk began
    bool asked;    // that count has moved since: the walk asked the camera
};

WalkSilence walk_begin(void)
{
    return WalkSilence{camera_unanswered_requests(), false};
}

// True when the walk cannot go on: the line is gone (said once by the
// prompt or the batch run), or the camera left the walk's last requests
// without any answer, as a camera switched off on a port that stays does;
// then `left` of `total` entries were not `undone` ("downloaded").
bool walk_stops(WalkSilence *silence, int left, int total, const char *undone)
{
    if (serial_line_state() != SERIAL_LINE_OK)
        return true;
    const int unanswered = camera_unanswered_requests();
    silence->asked = silence->asked || unanswered != silence->at_start;
    if (!silence->asked || unanswered < CAMERA_UNANSWERED_LIMIT)
        return false;
    out_error("The camera does not answer: %d of %d files not %s\n", left, total, undone);
    return true;
}

}  // namespace

// The joined entry path is handed on rather than the bare name: for every
// ordinary name the camera gets the same path, and a name that itself
// looks like a drive path ("C:...") cannot point the operation elsewhere.

namespace {

// One entry of a bulk download, counted for the batch modes' closing line
// when it is a file.  A folder is tried as any entry (the camera refuses
// it) but is no file that failed.  True when it was saved.
bool get_counted(const WalkEntry &entry)
{
    const bool file = (entry.attrib & ATTR_DIRECTORY) == 0;
    save_tally.tried += file ? 1 : 0;
    const bool got = get_file(entry.path) == 0;
    if (got && file)
        save_tally.saved++;
    std::printf("\n");
    return got;
}

}  // namespace

int camera_get_last_ls(int selection)
{
    if (cache_is_empty())
        return -1;
    const int total = count_selected(selection);
    int saved = 0;
    WalkSilence silence = walk_begin();
    WalkEntry entry;
    int unsaved = 0;
    for (int i = 0; next_selected(&i, selection, &entry);) {
        // A failed download does not stop the walk; a camera gone does.
        const bool got = get_counted(entry);
        saved += got;
        if (!got && !(entry.attrib & ATTR_DIRECTORY))
            unsaved++;
        if (walk_stops(&silence, total - saved, total, "downloaded"))
            return WALK_STOPPED;
    }
    if (settings.debug)
        std::puts("getlastls successful");
    return unsaved;
}

int camera_get_matching(char *const *globs, int count)
{
    if (cache_is_empty())
        return -1;
    WalkSilence silence = walk_begin();
    WalkEntry entry;
    int total = 0;
    for (int i = 0; walk_entry(i, &entry); i++)
        total += select_matches(entry.name, globs, count);
    if (total == 0) {
        out_error("mget: no file of the last listing matches\n");
        return -1;
    }
    int saved = 0;
    for (int i = 0; walk_entry(i, &entry); i++)
        if (select_matches(entry.name, globs, count)) {
            saved += get_counted(entry);
            if (walk_stops(&silence, total - saved, total, "downloaded"))
                return WALK_STOPPED;
        }
    return 0;
}

int camera_delete_all(int selection)
{
    if (cache_is_empty())
        return -1;
    const int total = count_selected(selection);
    int removed = 0;
    int stayed = 0;
    WalkSilence silence = walk_begin();
    WalkEntry entry;
    for (int i = 0; next_selected(&i, selection, &entry);) {
        if (walk_stops(&silence, total - removed, total, "deleted"))
            return WALK_STOPPED;
        char buf[CAMERA_PATH_MAX];
        out_now("Removing %s: ", camera_printable(entry.path, buf));
        if (entry.attrib & ATTR_PROTECTED) {
            std::puts("PROTECTED, file skipped");
            removed++;  // nothing to do for it
            continue;
        }
        // -1: the camera refused (a protected file the listing did not
        // show as such, a folder) or never answered, and the file may well
        // still be there: this must not read as a success.
        if (camera_delete(entry.path) < 0) {
            std::puts("ERROR");
            stayed++;
        } else {
            std::puts("successful");
            removed++;
        }
    }
    if (walk_stops(&silence, total - removed, total, "deleted"))
        return WALK_STOPPED;
    std::puts("delete terminated");
    return stayed;
}

int camera_chmod_all(int operation, int bit)
{
    if (cache_is_empty())
        return -1;
    const int total = listing_cache.count;
    int changed = 0;
    WalkSilence silence = walk_begin();
    WalkEntry entry;
    for (int i = 0; walk_entry(i, &entry); i++) {
        if (walk_stops(&silence, total - changed, total, "changed"))
            return WALK_STOPPED;
        char buf[CAMERA_PATH_MAX];
        out_now("chmod %s: ", camera_printable(entry.path, buf));
        // -1: the name is no longer cached, or the camera never answered
        // and the mark may well be unchanged.
        if (camera_chmod(entry.name, operation, static_cast<uint8_t>(bit)) == 0) {
            std::puts("successful");
            changed++;
        } else {
            std::puts("ERROR");
        }
    }
    if (walk_stops(&silence, total - changed, total, "changed"))
        return WALK_STOPPED;
    std::puts("chmodall terminated");
    return 0;
}

int camera_view_all(void)
{
    if (cache_is_empty())
        return -1;
    const int total = listing_cache.count;
    int shown = 0;  // a thumbnail the camera did not send was not shown
    WalkSilence silence = walk_begin();
    WalkEntry entry;
    for (int i = 0; walk_entry(i, &entry); i++) {
        if (walk_stops(&silence, total - shown, total, "shown"))
            return WALK_STOPPED;
        int answer = camera_view(entry.path);
        shown += answer != -1;
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
            get_file(entry.path);
            break;
        case 'n':
        case 'N':
            camera_chmod(entry.name, 1, ATTR_NEW);
            break;
        case 'o':
        case 'O':
            camera_chmod(entry.name, 0, ATTR_NEW);
            break;
        default:  // empty answer, anything else, or a failed thumbnail
            break;
        }
    }
    if (walk_stops(&silence, total - shown, total, "shown"))
        return WALK_STOPPED;
    return 0;
}

// Non-interactive modes: a one-level walk of the card's DCIM folder, each
// folder directly inside it entered in listing order and left again with
// "..".  Every listing prints itself and replaces the listing cache.  The
// error and empty-card ends exit directly, without the camera-off frames;
// only a return leaves that to the caller's close_and_exit.
#ifndef ORVIK_SHELL_BATCH_H
#define ORVIK_SHELL_BATCH_H

// Lists the DCIM folder and each folder in it ("---> %s\n" before each).
// Exits 1 on a failed listing ("Error listing %s\n") or a failed return
// ("Error performing cd .."), 0 with "CF seems empty" for an empty DCIM
// folder, 1 with perror("malloc") when the folder names cannot be kept.
void batch_list(void);

// The same walk, downloading the `selection` (a Selection of shell/bulk.h)
// of each folder into the current local directory; an empty folder prints
// "skipping empty directory".  Ends as batch_list does; a walk that ends
// well then prints the import's closing line (saveas_print_tally).
void batch_get(int selection);

// Asks "Are you sure? (y/N): " and exits 0 unless the first character read
// from stdin is 'y'.  Then deletes the unprotected files of each folder,
// removes each folder and at last "DCIM" from the card's top folder;
// returns that last removal's result (0, or -1 when the camera refused, as
// it does for a folder still holding a protected file).  An empty folder
// ends the process with "camera_delete_all error" and status 1; otherwise
// ends as batch_list does.
int batch_erase(void);

#endif

// Non-interactive modes: a one-level walk of the card's DCIM folder, each
// folder directly inside it entered in listing order and left again with
// "..".  Every listing prints itself and replaces the listing cache.  The
// error and empty-card ends leave through close_and_exit (the camera-off
// frames first); a return leaves that to the caller.  A line that went
// away ends the run with serial_line_lost's line, a camera that stopped
// answering (camera_unanswered_requests) with "The camera does not answer:
// the run stopped in %s" on stderr, both with status 1.
#ifndef ORVIK_SHELL_BATCH_H
#define ORVIK_SHELL_BATCH_H

// Lists the DCIM folder and each folder in it ("---> %s\n" before each).
// Exits 1 on a failed listing ("Error listing %s\n") or a failed return
// ("Error performing cd .."), 0 with "CF seems empty" for an empty DCIM
// folder, 1 with perror("malloc") when the folder names cannot be kept.
void batch_list(void);

// The same walk, downloading the `selection` (a Selection of shell/bulk.h)
// of each folder into the current local directory; an empty folder prints
// "skipping empty directory".  Ends as batch_list does, or returns the
// exit status: 0 when every selected file was saved (or there was none),
// 1 when any was not (an existing local file kept included, and the
// entries of a folder beyond the listing cache's CACHE_MAX, said on stderr
// as "%s: %d entries were left out: ..."), after the
// import's closing line (saveas_print_tally) and "%d files were not saved
// (named above)\n" on stderr.
int batch_get(int selection);

// Asks "Are you sure? (y/N): " and exits 0 unless the first character read
// from stdin is 'y'.  Then deletes the unprotected files of each folder,
// removes each folder and at last "DCIM" from the card's top folder.
// Returns the exit status: 0 when every file of the folders went but the
// protected ones (the removal of a folder still holding one is refused,
// which camera_rmdir names on stderr); 1 after "%d files were not erased (named above)\n" on stderr
// when the camera refused or left unanswered the delete of any other, or
// a folder held more entries than the listing cache.  An empty folder
// ends the process with "camera_delete_all error" and status 1; otherwise
// ends as batch_list does.
int batch_erase(void);

#endif

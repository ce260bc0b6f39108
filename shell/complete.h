// Tab completion at the prompt.
#ifndef ORVIK_SHELL_COMPLETE_H
#define ORVIK_SHELL_COMPLETE_H

#include <string>
#include <vector>

// Installs the completion for readline.  Words are separated by spaces
// only, as the command splitter does (a backslash belongs to a camera
// path).  Leaves readline's signal handling alone.  Call once before the
// first readline.
void complete_install(void);

// What the word that starts at `start` in `line` is.
enum CompleteKind {
    COMPLETE_NONE,          // nothing sensible to offer
    COMPLETE_COMMAND,       // the first word: command names
    COMPLETE_CAMERA_NAME,   // an argument of a file command: cached names
    COMPLETE_CAMERA_DIR,    // the same for ls/cd/dir/rmdir: folders first
    COMPLETE_LOCAL_FILE,    // the source of upload/put: local file names
    COMPLETE_LOCAL_DIR,     // the folder of lcd: local folder names
};
// The kind of the word that starts at byte `start` of `line`, judged by
// the words before it (the first of them names the command).
CompleteKind complete_kind(const char *line, int start);

// Command names starting with `text` (case-sensitive, as the dispatcher
// compares), in table order.
std::vector<std::string> complete_commands(const char *text);

// Names of the last listing starting with `text` ignoring case, in listing
// order; folders before files when `dirs_first`.  Names a command line
// cannot carry (a space or control bytes in them) are left out.
std::vector<std::string> complete_camera_names(const char *text, bool dirs_first);

#endif

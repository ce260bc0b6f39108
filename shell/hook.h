// The --exec command: another program handed each file as it is saved.
#ifndef ORVIK_SHELL_HOOK_H
#define ORVIK_SHELL_HOOK_H

// The command; nullptr (the default) runs nothing.
extern const char *hook_command;

// Runs `/bin/sh -c COMMAND sh SAVED CAMERA` (the saved local path as $1,
// the camera path as $2) with standard input from /dev/null and the other
// descriptors shared, and waits for it.  A command that cannot be started,
// ends with a nonzero status or by a signal gets one line on stderr
// naming the file; nothing else changes.  Returns 0 when it ended with
// status 0 (or there is no command), else -1.
int hook_run(const char *saved, const char *camera_path);

// `get` of `name` (camera_get_file), then, when the file was saved, the
// command on it (when it was written, not found there already) and the
// camera's downloaded mark (camera_mark_downloaded), in that order.
// Returns camera_get_file's result.
int get_file(const char *name);

#endif

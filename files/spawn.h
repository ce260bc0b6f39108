// Children that run another program: the thumbnail viewer and the --exec
// command.  Here rather than in the shell because the viewer (files/) and
// the --exec command (shell/) both start one, and calls only go downward.
#ifndef ORVIK_FILES_SPAWN_H
#define ORVIK_FILES_SPAWN_H

#include <sys/types.h>

// Forks a child that is to run another program.  Every signal waits while
// the child is made: until the child has dropped our handlers, a signal
// meant for it would run the termination handler there, which would switch
// off the camera that this process goes on using and remove its files.
// The child starts with every signal at its default action and none
// blocked, as a program started from a shell expects; the parent's mask is
// as before.  Returns as fork() does.
pid_t fork_plain_child(void);

#endif

// The command interpreter: splitting a typed line into tokens, running the
// command they name, and the help screen.
#ifndef ORVIK_SHELL_INTERP_H
#define ORVIK_SHELL_INTERP_H

constexpr int TOKEN_LIMIT = 32;
constexpr int TOKEN_SLOTS = TOKEN_LIMIT + 1;  // and the terminating nullptr

// Splits `text` at spaces (a tab is an ordinary character; there is no
// quoting) into at most `limit` tokens (a limit below 1 counts as 1), each
// an owned copy of at most 1023 characters: a longer word goes on as the
// next token.  A newline ends the line.  Fills tokens[0..n-1], sets
// tokens[n] to nullptr and returns n.  `tokens` needs limit + 1 slots.  A
// failed allocation ends the process with perror("malloc") and status 1.
int split_line(const char *text, char **tokens, int limit);

// Frees the tokens from slot 0 up to the first empty slot and empties
// those slots.
void free_tokens(char **tokens);

enum DispatchResult { DISPATCH_CONTINUE = 0, DISPATCH_END = 1 };

// Runs the command named by tokens[0] (compared exactly, case-sensitive)
// with the count - 1 arguments after it, and prints its outcome.  A wrong
// argument count prints "not enough arguments" (or the upload usage line)
// and runs nothing; an unknown name prints
// "unknown command '%s', try 'help'\n".  Returns DISPATCH_END for quit,
// exit and bye, which run nothing here, and DISPATCH_CONTINUE otherwise.
// `count` must be at least 1.
DispatchResult dispatch_command(char **tokens, int count);

// Prints the help screen, pausing twice for a character from stdin (the
// rest of a line typed at the first pause answers the second); when the
// screen ends, the rest of the line the last character came from is read
// and dropped, so nothing typed at a pause answers a later question.
void show_help(void);

// The index-th of the command names the dispatcher knows, in table order;
// nullptr for an index past the last.
const char *command_name(int index);

// What the arguments of a command name, for completion.
enum ArgumentKind {
    ARGUMENT_NONE,         // nothing that could be completed
    ARGUMENT_CAMERA_NAME,  // a name in the current camera directory
    ARGUMENT_CAMERA_DIR,   // the same, folders the more likely
    ARGUMENT_LOCAL_SOURCE, // the first argument is a local file
    ARGUMENT_LOCAL_DIR,    // a local folder
};

// The argument kind of the command named exactly `name`; ARGUMENT_NONE for
// a name the dispatcher does not know.
ArgumentKind command_argument_kind(const char *name);

// camera_open; a new connection (or an attempt at one) leaves nothing of
// the listing and makes the drive just read the current camera directory.
// Returns camera_open's result.
int open_camera(void);

#endif

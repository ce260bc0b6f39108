// The command interpreter: splitting a line, dispatching, help.
#ifndef ORVIK_SHELL_INTERP_H
#define ORVIK_SHELL_INTERP_H

constexpr int TOKEN_LIMIT = 32;
constexpr int TOKEN_SLOTS = TOKEN_LIMIT + 1;  // and the terminating nullptr

// Up to `limit` space-separated tokens of at most 1023 characters; a
// newline ends the line.  Slot n is set to nullptr.  Returns n.
int split_line(const char *text, char **tokens, int limit);
// Frees tokens from slot 0 up to the first empty slot.
void free_tokens(char **tokens);

enum DispatchResult { DISPATCH_CONTINUE = 0, DISPATCH_END = 1 };
int dispatch_command(char **tokens, int count);

void show_help(void);

// The names the dispatcher knows, in table order, nullptr-terminated (for
// completion).
extern const char *const command_names[];

#endif

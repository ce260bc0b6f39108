// The command line: options applied in order, the usage text, run modes.
#ifndef ORVIK_SHELL_OPTIONS_H
#define ORVIK_SHELL_OPTIONS_H

// The run-mode switches; the first one set, in this order, wins.
struct RunModes {
    bool list;     // -l
    bool get_all;  // -g
    bool get_new;  // -n
    bool erase;    // -E
    bool off;      // -U: connect, switch the camera off, end
};

// The 16-line usage text on stdout.
void usage(void);

// Applies the options of "d:DulgEhUas:Ln" and the long ones (--save-as=,
// --only=, --skip=, --exec=, into their modules) at once, in command-line
// order, into the settings, up to the first argument that is not an option (that
// one and all after it are ignored, whatever they look like).  -u, -h, unknown options and missing arguments end the
// process with status 1 (the last two after getopt's own diagnostic and the
// usage text); so do a --save-as pattern with an unknown token, and
// --only or --skip with -E or without -l, -g or -n (a line on stderr each).
// Returns the run modes.
RunModes parse_options(int argc, char **argv);

// The decimal number at the start of `text` (sign and leading blanks as
// strtol takes them), clamped to int; 0 when there is none.
int leading_number(const char *text);

#endif

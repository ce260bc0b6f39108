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
    const char *mount;  // --mount DIR: serve the card at DIR (nullptr: not)
};

// The 16-line usage text on stdout.
void usage(void);

// The long options that end the run or set the drawing, taken from the
// leading options before the short ones are read (the words that getopt
// would take as options or their arguments, up to the first other word or
// "--"); they are removed from argv, so getopt never sees them:
//   --help            the usage text and lines on the long options on
//                     stdout, exit status 0
//   --version         "orvik <version>", exit status 0
//   --list-ports      the serial ports (serial_print_ports), exit status 0;
//                     status 1 with a line on stderr when there are none
//   --images=MODE     term_images_choose(MODE); a mode it rejects ends the
//                     process with status 1 after a line on stderr
// The import options stay for parse_options; any other word starting with
// "--" (but "--" itself) ends the process with status 1 after "orvik:
// unrecognized option '--word'" on stderr and the usage text.  Returns the
// new argument count.
int take_long_options(int argc, char **argv);

// Applies the options of "d:DulgEhUas:Ln" and the long ones (--save-as=,
// --only=, --skip=, --exec=, into their modules) at once, in command-line
// order, into the settings, up to the first argument that is not an option
// (that one and all after it are ignored, whatever they look like).  -u,
// -h, unknown options and missing arguments end the process with status 1
// (the last two after getopt's own diagnostic and the usage text); so do a --save-as pattern with an
// unknown token, and --only or --skip with -E or without -l, -g or -n (a
// line on stderr each).  The first ignored argument is named in one line
// on stderr, with the -d command to use when it is a character device.
// --mount with -l, -g, -n, -E or -U ends the process with status 1 after a
// line on stderr.
// Returns the run modes.
RunModes parse_options(int argc, char **argv);

// The decimal number at the start of `text` (sign and leading blanks as
// strtol takes them), clamped to int; 0 when there is none.
int leading_number(const char *text);

#endif

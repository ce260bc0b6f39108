// How text reaches the terminal: result lines, progress rows, error
// lines.  stdout is line-buffered for the whole run, so a whole line
// leaves with its newline; everything else here says when a line that is
// not whole yet must be shown, and how stderr lines meet stdout's.
//
// The rules:
//  - A result line goes to stdout as it is.  Text that is not a whole line
//    yet ("Open %s: ", "Removing %s: ", a question) is shown at once, and
//    so is anything printed just before a wait, a child process or a
//    writer that bypasses stdio (the debug trace).
//  - A progress row (the dots of a synchronisation or a transfer, an 'X'
//    per repeat) is open from its first mark until it is ended, by a line
//    end of its own or by the text that completes it ("OK\n").
//  - A line on stderr comes after everything printed on stdout before it,
//    and an open progress row is ended first: an error never starts in the
//    middle of a row of dots.  A note about the transfer under way (a
//    packet's CRC, a late camera) is the exception: it leaves the row open,
//    and the row goes on after it.
//  - The program's own complaints on stderr start with "orvik: ".
// Which texts are promises that scripts and users read, and stay as they
// are, is listed in docs/messages.md.
//
// Here, in the lowest layer, because every layer prints: the link its
// trace and its line's troubles, the camera protocol its dots, the file
// operations their bars, the shell its results; calls only go downward.
// Not for the termination handler, which may not use stdio at all.
#ifndef ORVIK_SERIAL_OUTPUT_H
#define ORVIK_SERIAL_OUTPUT_H

// Text that waits for the rest of its line, or must be seen before a wait:
// printf-like, shown at once.  The progress row's state is unchanged.
void out_now(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Marks on the progress row, printf-like: shown at once; the row is open.
void out_row(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The row is open before its first mark (the bar's row under its scale).
void out_begin_row(void);

// Text that completes the open row, ending with its own "\n" (also when
// no row is open): printf-like; the row is closed.
void out_line(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Ends the open progress row with "\n"; nothing when none is open.
void out_end_row(void);

// A line on stderr (printf-like, the text ends with its "\n"): the open
// row ended first, stdout's text shown before it.
void out_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A line on stderr beside the row (printf-like): stdout's text shown
// before it, an open row left open.  For a note about one packet or one
// wait in the middle of a transfer, which does not end the transfer's row.
void out_note(const char *format, ...) __attribute__((format(printf, 1, 2)));

// out_error with "orvik: " before the text: the program's own complaint.
void out_complaint(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Everything stdio holds is written: before a child process (which would
// write it a second time) or a writer that goes to the descriptor itself.
void out_flush(void);

#endif

// Drawing a thumbnail inside the terminal, for when no image viewer can be
// started: sixel, kitty or iTerm2 graphics where the terminal has them,
// coloured Unicode blocks (or ASCII outside UTF-8 locales) otherwise.
#ifndef ORVIK_FILES_TERMIMAGE_H
#define ORVIK_FILES_TERMIMAGE_H

// Decodes the JPEG file `path` and draws it on descriptor `fd`, fitted
// into at most half the terminal's height and 60 columns (never wider than
// the terminal) with its aspect ratio kept, followed by a line end.  The
// terminal's abilities come from TERM and the other variables that
// terminals set, read from the environment.
//
// Returns 0 when the image was drawn; -1 with nothing written when `fd` is
// not a terminal, TERM is unset or "dumb", or the file cannot be read or
// is no clean JPEG image (decoder warnings count as damage).
int term_draw_jpeg(const char *path, int fd);

#endif

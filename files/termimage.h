// Drawing a thumbnail inside the terminal, for when no image viewer can be
// started: sixel, kitty or iTerm2 graphics where the terminal has them,
// coloured Unicode blocks (or ASCII outside UTF-8 locales) otherwise.
#ifndef ORVIK_FILES_TERMIMAGE_H
#define ORVIK_FILES_TERMIMAGE_H

// Decodes the JPEG file `path` and draws it on descriptor `fd`, fitted
// into at most half the terminal's height and 60 columns (never wider than
// the terminal) with its aspect ratio kept, followed by a line end.
//
// The drawing is the one term_images_choose set.  In "auto", the default,
// the terminal's abilities come from TERM and the other variables that
// terminals set; when those name no graphics protocol and standard input
// is the terminal `fd` draws on, the terminal itself is asked once per
// run (the kitty graphics query and the primary device attributes, whose
// attribute 4 means sixel), waiting at most 0.2 s for its answer with
// echo off; the answer is read up to its end, and when it has not ended
// in time whatever is pending on the input is discarded, so none of it is
// left for the next read.
//
// Returns 0 when the image was drawn; -1 with nothing written when `fd` is
// not a terminal, TERM is unset or "dumb", the drawing is "none", or the
// file cannot be read or is no clean JPEG image (decoder warnings count as
// damage).
int term_draw_jpeg(const char *path, int fd);

// Sets the drawing of term_draw_jpeg by name: "auto", "kitty", "sixel",
// "iterm", "symbols" (coloured blocks, or ASCII) or "none", and forgets an
// earlier answer of the terminal.  Returns 0, or -1 for another name (the
// drawing then stays as it was).
int term_images_choose(const char *mode);

#endif

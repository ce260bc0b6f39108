// The program's global settings, read by every subsystem.  Set by the
// options at start-up and by the interactive toggles; nothing else.
#ifndef ORVIK_SHELL_SETTINGS_H
#define ORVIK_SHELL_SETTINGS_H

struct Settings {
    int debug;          // -D, `debug`: hex trace of the line and extra lines
    int a50;            // -a: A50/Pro70 compatibility (paced writes, timeouts)
    int lowercase;      // -L: downloaded files get lower-case names
    int overwrite;      // `overwrite`: replace existing local files
    int speed;          // -s, `speed`: line speed in bits per second
    const char *device; // -d: serial device path
    int clock_offset;   // UTC-as-local minus local, seconds; computed once
    const char *dcim;   // base of the non-interactive walk
};

extern Settings settings;

#endif

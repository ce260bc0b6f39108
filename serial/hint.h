// What to tell a user whose serial device does not open or whose camera
// does not answer: the system's reason and the usual remedy.  Only ever
// printed on standard error; standard output keeps the protocol's lines.
#ifndef ORVIK_SERIAL_HINT_H
#define ORVIK_SERIAL_HINT_H

#include <cstddef>
#include <cstdio>

#include "serial/port.h"

// The serial ports of this machine, by name: `dev_dir`/ttyUSB*, ttyACM*
// and those ttyS* that `sys_tty_dir`/ttySn/device shows to be backed by a
// real port (the kernel makes ttyS0..31 whether or not a UART is there).
// USB adapters first, then ACM, then the built-in ports, each by number,
// as full paths joined by single spaces into `out` (cut to fit `size`).
// Returns how many were found; `out` is "" when none.
int serial_list_ports(const char *dev_dir, const char *sys_tty_dir, char *out, size_t size);

// What the system says of the port `name` (e.g. "ttyUSB0"): the product
// name of the USB device behind it and the driver that serves it, from
// `sys_tty_dir`/name/device, as "FT232R USB UART (ftdi_sio)", "(cdc_acm)"
// or "" when sysfs tells nothing.  Returns `out`.
const char *serial_describe_port(const char *sys_tty_dir, const char *name, char *out,
                                 size_t size);

// Writes serial_list_ports's ports on `out`, one a line: the path; after
// two spaces serial_describe_port's text when there is one; after two more
// the stable name under `dev_dir`/serial/by-id when udev made one (the
// name for scripts and udev rules: ttyUSB numbers change as adapters come
// and go); and "  no access for you (group G)" when this user may not
// open the port for reading and writing.
// Returns how many were written.
int serial_print_ports(const char *dev_dir, const char *sys_tty_dir, FILE *out);

// The one-line explanation (no line end) for a failed open of `path` with
// errno value `err`: the system's text, then for a missing device the
// ports that exist and "use -d", for a permission error the owning group
// and how to join it, for a busy device the processes holding it (found
// in /proc/<pid>/fd), excluding this process.  Returns `out`.
const char *serial_explain_open(const char *path, int err, char *out, size_t size);

// Writes serial_explain_open's line and a line end on standard error.
void serial_open_hint(const char *path, int err);

// The one-line explanation (no line end) for a camera that has not answered
// the synchronisation: what to check on `path`, then the other processes
// that have it open (found in /proc/<pid>/fd, this one excluded), and for
// a USB serial port ModemManager's probing and the udev variable
// ID_MM_DEVICE_IGNORE that stops it.  Returns `out`.
const char *serial_explain_silence(const char *path, char *out, size_t size);

// serial_explain_silence's line for a camera that has not answered the
// synchronisation for a while, written on standard error only when that is
// a terminal (a script reading the output gets nothing new).  Starts with a
// line end, since the dots of the synchronisation are still on their line.
void serial_silence_hint(const char *path);

// For a run that cannot go on (start-up, the batch modes): one line on
// standard error naming `path` and what the line met, e.g.
// "orvik: /dev/ttyUSB0: the line to the camera is gone (hang-up, the device
// removed or the camera's cable pulled)".  `state` is serial_line_state();
// nothing is printed for SERIAL_LINE_OK.
void serial_line_lost(const char *path, SerialLineState state);

// At the prompt, for a camera command that cannot run: the line for a
// lost line ("The line to the camera is gone: ..., then open or reopen"),
// or for a port closed by `close` ("The connection to the camera is
// closed: open opens it again").  On standard error; nothing for
// SERIAL_LINE_OK.
void serial_line_prompt_hint(SerialLineState state);

#endif

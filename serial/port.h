// The serial port: raw 8N1 line, speed changes, writes, buffered reads with
// a timeout, and the debug trace.  One port per process; its state (the
// descriptor, the applied settings, the read timeout and the read buffer)
// lives in port.cpp alone.
#ifndef ORVIK_SERIAL_PORT_H
#define ORVIK_SERIAL_PORT_H

#include <cstdint>

// The most bytes one refill of the read buffer takes from the port.
constexpr int SERIAL_READ_MAX = 1024;

// Opens `path` read/write, no controlling terminal, close-on-exec and
// non-blocking (no wait for a carrier; reads and writes never block, every
// wait is a poll bounded by its timeout or deadline), takes an
// exclusive lock on it (flock where the node supports advisory locks, and
// TIOCEXCL where the device allows it; only a flock held elsewhere fails),
// keeps the device's settings as found, applies raw 8-bit settings with
// CLOCAL at 9600 bits per second and discards pending input.  When `path`
// is gone and it last opened a USB adapter that is now plugged in under
// another name, that name is opened instead, after one line on stderr
// (serial/adapter.h).  Returns 0, or -1 after printing the reason; on
// failure no port is open (the descriptor is -1).
//   - cannot open (any reason, including another program's exclusive
//     mode or its lock): "Can't open the %s device\n" on stdout, and one
//     line on stderr with the reason and what to do (serial/hint.h)
//   - tcgetattr/tcsetattr: perror text on stderr
//   - tcflush fails:      perror("tcflush input"), still returns 0
int serial_open(const char *path);

// Restores the settings found at open, releases the exclusive use
// (TIOCNXCL), closes the port, empties the read buffer; the line state
// becomes SERIAL_LINE_CLOSED.  Harmless when no port is open.
void serial_close(void);

// Clears the terminal's exclusive mode (TIOCNXCL) of the open port and
// leaves the port open.  Async-signal-safe; harmless when no port is open.
void serial_release_exclusive(void);

// Gives the open device back the settings it had before serial_open,
// once what is queued for the line has left (waiting no longer than those
// bytes' time on the line and a little more).  The port stays open.
// Async-signal-safe; harmless when no port is open.
void serial_restore_settings(void);

// serial_restore_settings, then serial_release_exclusive: what every end
// of the process owes the device.  Runs by itself at exit() once a port
// was opened; a process ending otherwise (_exit) calls it first.
// Async-signal-safe.
void serial_end(void);

// The open port's descriptor, or -1.
int serial_descriptor(void);

// Changes output then input speed (bits per second: 9600, 19200, 38400,
// 57600, 115200; any other value counts as 115200) and applies it once the
// output already written has been sent (TCSADRAIN: it leaves at the old
// speed).
// Returns 0, or -1 after perror("tcsetattr") with the line unchanged.  In
// A50 compatibility mode a success pauses one second (the old cameras need
// it before the next byte).
int serial_set_speed(int speed);

// Writes all `count` bytes to `fd`, waiting for room in poll, by a deadline
// of the bytes' time on the line at the port's speed (with what the
// driver still holds for it) and half a second: a wedged adapter makes
// the write fail with ETIMEDOUT (the line state SERIAL_LINE_ERROR).
// Normal mode: continues partial writes
// (retrying EINTR) and traces each piece the system accepted as "WRITE".
// A50 compatibility mode: one write per byte with a 1 us pause after each,
// then one trace of the whole run (also for count 0).  Returns 0, or -1 at
// the first failed write.  Async-signal-safe once serial_signal_mode has
// been called (and, without the debug trace, always).
int serial_write(int fd, const uint8_t *bytes, int count);

// serial_write to the open port without trace or pacing (the
// synchronisation bursts, of which a lost one is simply followed by the
// next).  Returns 0, or -1 (at once when no port is open).
int serial_write_untraced(const uint8_t *bytes, int count);

// For the termination handler, before it writes: from now on this module
// makes only async-signal-safe calls (the trace no longer flushes stdout
// first; what stdout still buffers is the handler's to lose).  There is no
// way back: the handler ends the process.
void serial_signal_mode(void);

// The received bytes not yet handed out, after a refill when there are none:
// a wait of at most the read timeout, then one read of up to
// SERIAL_READ_MAX bytes (a read that finds nothing, because another reader
// of the port took the bytes, goes back to waiting for the time that
// remains).  A wait interrupted by a signal resumes with the time that
// remains.  Returns their number (at least 1) with *bytes pointing at
// them, or -1 when nothing arrived within the read timeout, on end of file
// or error, or at once when no port is open or its line was found gone
// (no system call is made then, so a caller asking again does not spin).
// In debug mode a timeout prints "READ TIMEOUT\n" on stdout.  They stay in the buffer until
// serial_consume hands them out, so a reader takes what it needs of a block
// at once and leaves the rest for the next call.
int serial_peek_bytes(const uint8_t **bytes);
// Hands out the first `count` of the bytes serial_peek_bytes showed (at most
// as many as there are).
void serial_consume(int count);

// What the port's last wait, read or write met.  A -1 from the calls above
// means "nothing within the read timeout" only while this is
// SERIAL_LINE_OK; the reason is kept so that the layers above can tell a
// silent camera from a line that has gone away.  Set back to
// SERIAL_LINE_OK by a successful serial_open; SERIAL_LINE_CLOSED before
// the first open and after serial_close (a line found gone is closed too,
// but stays SERIAL_LINE_GONE).
enum SerialLineState {
    SERIAL_LINE_OK,      // bytes moved, or the read timeout ran out
    SERIAL_LINE_GONE,    // end of file, hang-up, EIO or ENXIO: the device, or
                         // the other end of a pseudo-terminal, went away;
                         // its descriptor is closed at once (no restore:
                         // the device is not there to take it)
    SERIAL_LINE_ERROR,   // any other failure of a wait, read or write
    SERIAL_LINE_CLOSED,  // no port is open
};
SerialLineState serial_line_state(void);

// Read timeout for every refill (initially 1 s, 0 us).
void serial_set_timeout(int seconds, int microseconds);
void serial_set_timeout_seconds(int seconds);  // microseconds unchanged
// The read timeout in microseconds.
long long serial_timeout_us(void);

// Debug trace of a byte run (no-op unless the debug flag is on): header
// "%s: (%d bytes)\n" and 16-byte lines "%08x: " + "XX " fields + "- " +
// printable column on stderr, then one "\n" on stdout.  stdout is flushed
// first, and the trace itself is written with write(2), so it keeps its
// place among what was printed before it.
void serial_trace(const char *label, const uint8_t *bytes, int count);

#endif

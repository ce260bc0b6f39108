// The conditions after which the program cannot go on.  The layer that
// meets one prints its message (that is its report) and throws the
// condition; the shell alone catches it and decides how the process ends:
// whether the camera is switched off first, and the status.
//
// Thrown rather than returned: each arises deep inside an exchange (a
// frame that overflows the buffer, a camera leaving PC mode, a packet
// length with no CRC seed, an unknown message type, a download too big for
// memory), and from there on every frame sent and every line printed would
// be wrong.  Unwinding carries the condition past every caller at once,
// with nothing sent and nothing printed on the way; no layer in between
// holds anything that must be undone.
#ifndef ORVIK_SERIAL_FATAL_H
#define ORVIK_SERIAL_FATAL_H

enum FatalKind {
    FATAL_FRAME_OVERFLOW,  // a received frame does not fit the frame buffer
    FATAL_PC_MODE,         // the camera left PC mode
    FATAL_CRC_LENGTH,      // a packet to send has no CRC seed for its length
    FATAL_INTERNAL,        // a request of an unknown message type
    FATAL_NO_MEMORY,       // a download buffer could not be allocated
};

struct FatalCondition {
    FatalKind kind;
};

#endif

// The line speeds the camera and the port both know, fastest first: the
// one table of them.  The camera's speed request names a speed by a code of
// its own; the port by its termios constant.
#ifndef ORVIK_SERIAL_SPEED_H
#define ORVIK_SERIAL_SPEED_H

#include <cstddef>
#include <cstdint>
#include <termios.h>

struct LineSpeed {
    int bits_per_second;
    speed_t termios_speed;
    uint8_t camera_code;  // byte 2 of the speed-change request
};

constexpr LineSpeed LINE_SPEEDS[] = {
    {115200, B115200, 0x80}, {57600, B57600, 0x40}, {38400, B38400, 0x20},
    {19200, B19200, 0x08},   {9600, B9600, 0x02},
};
constexpr size_t LINE_SPEED_COUNT = sizeof LINE_SPEEDS / sizeof LINE_SPEEDS[0];

// The row of `bits_per_second`, or nullptr when it is none of the speeds.
constexpr const LineSpeed *serial_line_speed(int bits_per_second)
{
    for (const LineSpeed &s : LINE_SPEEDS)
        if (s.bits_per_second == bits_per_second)
            return &s;
    return nullptr;
}

// The next speed below `bits_per_second`, or 0 when there is none (9600,
// or not a speed of the table).
constexpr int serial_lower_speed(int bits_per_second)
{
    for (size_t i = 0; i + 1 < LINE_SPEED_COUNT; i++)
        if (LINE_SPEEDS[i].bits_per_second == bits_per_second)
            return LINE_SPEEDS[i + 1].bits_per_second;
    return 0;
}

#endif

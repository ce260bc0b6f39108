// Small helpers shared by the connection and command tests.
#ifndef ORVIK_TESTS_E2E_UTIL_H
#define ORVIK_TESTS_E2E_UTIL_H

#include <cctype>
#include <string>
#include <vector>

#include "harness.h"
#include "serial/codec.h"

// Hex of a log line or a frame, without spaces, lower case.
inline std::string hex_compact(const std::string &text)
{
    std::string out;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

inline std::string hex_of(const std::vector<uint8_t> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The framed link-control packet (EOT or ACK) with its sequence number.
inline std::string control_frame_hex(uint8_t seq, uint8_t type, uint8_t status)
{
    uint8_t pkt[6] = {seq, type, status, 0, 0, 0};
    uint16_t crc = serial_crc_run(static_cast<uint16_t>(serial_crc_initial(6)), pkt, 6);
    std::vector<uint8_t> frame(2 * (6 + 2) + 2);
    frame.resize(serial_encode_frame(pkt, 6, crc, frame.data()));
    return hex_of(frame);
}

// How many RX (from orvik) frames of the log equal `frame_hex`.
inline int count_rx(const Camsim &sim, const std::string &frame_hex)
{
    int n = 0;
    for (const std::string &line : log_lines(sim, "RX"))
        if (hex_compact(line) == frame_hex)
            n++;
    return n;
}

// NOTE lines of the log starting with `word`.
inline int count_notes(const Camsim &sim, const std::string &word)
{
    int n = 0;
    for (const std::string &line : log_lines(sim, "NOTE"))
        if (line.compare(0, word.size(), word) == 0)
            n++;
    return n;
}

// The two camera-off frames are the last frames orvik sent.  (The second
// one, EOT 0 with status 1, also occurs in the speed handshake.)
inline bool ends_with_camera_off(const Camsim &sim)
{
    std::vector<std::string> rx = log_lines(sim, "RX");
    return rx.size() >= 2 && hex_compact(rx[rx.size() - 2]) == "c00002552cc1" &&
           hex_compact(rx.back()) == "c000040100000024c6c1";
}

const std::string CAMERA_OFF_1 = "c00002552cc1";
const std::string PROMPT = "[Canon PowerShot S20] D:> ";

#endif

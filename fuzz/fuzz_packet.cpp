// The packet parser alone: the input is one unescaped frame as it would
// sit in the frame buffer.
#include <cstdint>
#include <cstring>
#include <vector>

#include "packet_props.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size >= SERIAL_FRAME_MAX)
        return 0;  // the frame reader never delivers more
    // An exact-size copy, so that any read past the frame is caught.
    std::vector<uint8_t> frame(data, data + size);
    const int n = static_cast<int>(size);
    parse_and_check(frame.data(), n);

    // Only the first 13 bytes decide the PC-mode watch.
    const bool prefix = size >= SERIAL_PC_MODE_PREFIX_LEN &&
        std::memcmp(frame.data(), serial_pc_mode_prefix, SERIAL_PC_MODE_PREFIX_LEN) == 0;
    fuzz_check(serial_is_pc_mode_frame(frame.data(), n) == prefix, "PC-mode watch");
    return 0;
}

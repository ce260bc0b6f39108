// The JPEG marker scan over arbitrary thumbnail data.
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "files/thumb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> buf(data, data + size);
    size_t start = 7777, end = 7777;
    const int rc = camera_find_jpeg(buf.data(), buf.size(), &start, &end);

    // Where the image must be: the first FF D8 at offset 2 or later, and
    // the first FF D9 whose FF comes after that D8.
    size_t want_start = SIZE_MAX, want_end = SIZE_MAX;
    for (size_t i = 2; i + 1 < size; ++i)
        if (buf[i] == 0xFF && buf[i + 1] == 0xD8) {
            want_start = i;
            break;
        }
    if (want_start != SIZE_MAX)
        for (size_t i = want_start + 3; i < size; ++i)
            if (buf[i] == 0xD9 && buf[i - 1] == 0xFF) {
                want_end = i + 1;
                break;
            }

    if (want_end == SIZE_MAX) {
        fuzz_check(rc == -1, "no image without both markers");
        return 0;
    }
    fuzz_check(rc == 0, "both markers give an image");
    fuzz_check(start == want_start && end == want_end, "first start marker to first end marker");
    fuzz_check(end - start >= 4 && end <= size, "image inside the data");
    return 0;
}

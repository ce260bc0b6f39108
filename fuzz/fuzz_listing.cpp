// The listing reply parser fed arbitrary joined reply bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "files/listing.h"
#include "serial/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first two bytes choose the clock offset, so that the widening of
    // the camera time is exercised with both signs; the rest is the reply.
    if (size < 2)
        return 0;
    const int offset = static_cast<int16_t>(le16(data)) * 60;
    std::vector<uint8_t> reply(data + 2, data + size);

    ListingReply out;
    std::memset(out.directory, 'Z', sizeof out.directory);
    const int rc = camera_parse_listing(reply.data(), reply.size(), offset, &out);
    fuzz_check(rc == 0 || rc == -1, "result is 0 or -1");
    if (rc != 0)
        return 0;

    fuzz_check(reply.size() >= 32, "an accepted reply holds the directory record");
    fuzz_check(reply[21] == 0x80, "an accepted reply starts with the directory record");
    fuzz_check(std::memchr(out.directory, 0, sizeof out.directory) != nullptr,
               "directory is terminated");
    // Each record takes at least 11 bytes (10 fixed, the name's zero).
    fuzz_check(out.entries.size() <= (reply.size() - 21) / 11, "no more entries than records");
    for (const ListingEntry &e : out.entries) {
        const void *end = std::memchr(e.name, 0, sizeof e.name);
        fuzz_check(end != nullptr, "entry name is terminated");
        fuzz_check(e.name[0] != 0, "the end record is not an entry");
        const int64_t raw = e.mtime - offset;
        fuzz_check(raw >= INT32_MIN && raw <= INT32_MAX, "mtime is a 32-bit camera time + offset");
    }
    return 0;
}

// Locating the JPEG image inside the camera's thumbnail data.
#include <gtest/gtest.h>

#include <vector>

#include "files/thumb.h"

namespace {

struct Found {
    int result;
    size_t start, end;
};

Found find(const std::vector<uint8_t> &data)
{
    Found f{-1, 99, 99};
    f.result = camera_find_jpeg(data.data(), data.size(), &f.start, &f.end);
    return f;
}

TEST(FindJpeg, StartIsSearchedFromOffsetTwo)
{
    Found f = find({0xFF, 0xD8, 0xFF, 0xD8, 0x01, 0xFF, 0xD9, 0x00});
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.start, 2u);
    EXPECT_EQ(f.end, 7u);

    // Offsets 0 and 1 alone are never taken.
    EXPECT_EQ(find({0xFF, 0xD8, 0x00, 0xFF, 0xD9}).result, -1);
}

TEST(FindJpeg, EndsAtTheFirstEndMarker)
{
    Found f = find({0, 0, 0, 0xFF, 0xD8, 0x10, 0xFF, 0xD9, 0x20, 0xFF, 0xD9, 0x30});
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.start, 3u);
    EXPECT_EQ(f.end, 8u);

    // The shortest image; the start marker's D8 never counts as the FF.
    f = find({0, 0, 0xFF, 0xD8, 0xFF, 0xD9});
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.start, 2u);
    EXPECT_EQ(f.end, 6u);
    EXPECT_EQ(find({0, 0, 0xFF, 0xD8, 0xD9}).result, -1);
}

TEST(FindJpeg, MissingMarkersFailWithinTheData)
{
    EXPECT_EQ(find({}).result, -1);
    EXPECT_EQ(find({0xFF}).result, -1);
    EXPECT_EQ(find({0, 0, 0, 0, 0xFF}).result, -1);          // FF at the very end
    EXPECT_EQ(find({0, 0, 0xFF, 0xD8, 1, 2, 3}).result, -1);  // no end marker
    EXPECT_EQ(find({0, 0, 0xFF, 0xD8, 1, 0xFF}).result, -1);
    Found f = find({0, 0, 0xFF, 0xD9, 0xFF, 0xD8});
    EXPECT_EQ(f.result, -1);  // an end marker before the start does not count
    EXPECT_EQ(f.start, 99u);  // outputs untouched on failure
}

}  // namespace

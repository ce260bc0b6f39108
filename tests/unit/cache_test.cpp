// The camera path rule, the basename and the cache lookups.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "files/cache.h"

namespace {

struct CacheTest : testing::Test {
    void SetUp() override
    {
        cache_clear();
        std::strcpy(listing_cache.cwd, "D:\\DCIM\\100CANON");
    }
    void TearDown() override { cache_clear(); }
    static void add(const char *name, uint8_t attrib = ATTR_NEW)
    {
        ListingEntry e{};
        e.attrib = attrib;
        std::strcpy(e.name, name);
        ASSERT_EQ(cache_append(&e), 0);
    }
    static std::string path(const char *name)
    {
        char out[CAMERA_PATH_MAX];
        camera_make_path(name, out);
        return out;
    }
};

TEST_F(CacheTest, PathRule)
{
    EXPECT_EQ(path("IMG_0001.JPG"), "D:\\DCIM\\100CANON\\IMG_0001.JPG");
    EXPECT_EQ(path("D:\\DCIM\\IMG_0002.JPG"), "D:\\DCIM\\IMG_0002.JPG");
    // Two characters are not yet a full path.
    EXPECT_EQ(path("D:"), "D:\\DCIM\\100CANON\\D:");
    EXPECT_EQ(path("E:x"), "E:x");
    EXPECT_EQ(path("SUB\\IMG_0001.JPG"), "D:\\DCIM\\100CANON\\SUB\\IMG_0001.JPG");
}

TEST_F(CacheTest, LongPathsAreCut)
{
    std::string name(2000, 'a');
    std::string joined = path(name.c_str());
    ASSERT_EQ(joined.size(), 1023u);
    EXPECT_EQ(joined.substr(0, 17), "D:\\DCIM\\100CANON\\");
    std::string full = "D:" + std::string(1500, 'b');
    EXPECT_EQ(path(full.c_str()).size(), 1023u);

    char out[CAMERA_PATH_MAX];
    camera_join_path(std::string(1023, 'c').c_str(), "x", out);
    EXPECT_EQ(std::strlen(out), 1023u);
    EXPECT_EQ(out[1022], 'c');
}

TEST_F(CacheTest, Basename)
{
    EXPECT_STREQ(camera_basename("D:\\DCIM\\IMG_0001.JPG"), "IMG_0001.JPG");
    EXPECT_STREQ(camera_basename("IMG_0001.JPG"), "IMG_0001.JPG");
    EXPECT_STREQ(camera_basename("DIR\\"), "");
}

TEST_F(CacheTest, LookupsExactAndCaseInsensitive)
{
    add("Img_0001.jpg");
    add("IMG_0001.JPG");
    add("OTHER.JPG");
    ASSERT_EQ(listing_cache.count, 3);
    EXPECT_EQ(cache_find_nocase("IMG_0001.JPG"), &listing_cache.entries[0]);
    EXPECT_EQ(cache_find_exact("IMG_0001.JPG"), &listing_cache.entries[1]);
    // The key is the part after the last backslash.
    EXPECT_EQ(cache_find_exact("SUB\\OTHER.JPG"), &listing_cache.entries[2]);
    EXPECT_EQ(cache_find_nocase("D:\\X\\other.jpg"), &listing_cache.entries[2]);
    EXPECT_EQ(cache_find_exact("other.jpg"), nullptr);
    EXPECT_EQ(cache_find_nocase("MISSING.JPG"), nullptr);
}

TEST_F(CacheTest, HoldsAtMost1024AndClearEmpties)
{
    ListingEntry e{};
    for (int i = 0; i < CACHE_MAX; i++) {
        std::snprintf(e.name, sizeof e.name, "F%04d.JPG", i);
        ASSERT_EQ(cache_append(&e), 0);
    }
    EXPECT_EQ(cache_append(&e), -1);
    EXPECT_EQ(listing_cache.count, CACHE_MAX);
    EXPECT_STREQ(listing_cache.entries[1023].name, "F1023.JPG");
    // Entries are copies: changing the source leaves the cache alone.
    std::strcpy(e.name, "CHANGED");
    EXPECT_STREQ(listing_cache.entries[0].name, "F0000.JPG");
    cache_clear();
    EXPECT_EQ(listing_cache.count, 0);
    EXPECT_EQ(cache_find_nocase("F0000.JPG"), nullptr);
}

}  // namespace

// The local copies behind a mounted card: the budget, least recently used
// first, and copies that no longer match the card.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "shell/mountcache.h"

namespace {

std::string read_all(int fd)
{
    std::string out;
    char buf[256];
    for (ssize_t n; (n = pread(fd, buf, sizeof buf, static_cast<off_t>(out.size()))) > 0;)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

int put(const std::string &key, const std::string &bytes, int64_t mtime = 1)
{
    return mount_cache_put(key, static_cast<uint32_t>(bytes.size()), mtime,
                           reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

struct MountCacheTest : testing::Test {
    std::string parent;
    void SetUp() override
    {
        char templ[] = "/tmp/orvik-cache-test.XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        parent = templ;
        ASSERT_EQ(mount_cache_open(parent.c_str(), 10), 0);
    }
    void TearDown() override
    {
        mount_cache_close();
        EXPECT_EQ(rmdir(parent.c_str()), 0) << "something was left in " << parent;
    }
};

TEST_F(MountCacheTest, LeastRecentlyUsedGoesFirstWithinTheBudget)
{
    close(put("A", "aaaa"));
    close(put("B", "bbbb"));
    close(mount_cache_get("A", 4, 1));  // A is now the more recent
    const int c = put("C", "cccc");     // 12 > 10: B goes
    EXPECT_EQ(read_all(c), "cccc");
    EXPECT_EQ(mount_cache_get("B", 4, 1), -1);
    EXPECT_EQ(read_all(mount_cache_get("A", 4, 1)), "aaaa");
    EXPECT_EQ(mount_cache_bytes(), 8);
    // A copy larger than the whole budget is still kept for its reader.
    EXPECT_EQ(read_all(put("D", "0123456789ABCDEF")), "0123456789ABCDEF");
    EXPECT_EQ(mount_cache_bytes(), 16);

    // Drafts do not count, and the end removes them with the copies.
    std::string draft;
    const int fd = mount_cache_draft(&draft);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "xyz", 3), 3);
    close(fd);
    EXPECT_EQ(mount_cache_bytes(), 16);
}

TEST_F(MountCacheTest, ACopyOfAnotherSizeOrTimeIsNeverServed)
{
    close(put("A", "old!", 5));
    EXPECT_EQ(mount_cache_get("A", 4, 6), -1);  // the card's file changed
    EXPECT_EQ(mount_cache_get("A", 4, 5), -1);  // and the stale copy is gone
    EXPECT_EQ(mount_cache_bytes(), 0);
    // A thumbnail's copy holds fewer bytes than the photo's listed size.
    const std::string jpeg = "\xff\xd8..\xff\xd9";
    close(mount_cache_put("T", 5000, 7, reinterpret_cast<const uint8_t *>(jpeg.data()), jpeg.size()));
    EXPECT_EQ(read_all(mount_cache_get("T", 5000, 7)), jpeg);
}

}  // namespace

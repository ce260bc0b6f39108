// Which words the prompt's tab completion offers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "files/cache.h"
#include "shell/complete.h"

namespace {

using Words = std::vector<std::string>;

struct CompleteTest : testing::Test {
    void SetUp() override
    {
        cache_clear();
        add("IMG_0001.JPG", ATTR_NEW);
        add("100CANON", ATTR_DIRECTORY);
        add("img_0002.jpg", 0);
        add("IMG 0003.JPG", ATTR_NEW);      // a space: cannot be typed
        add("IMG_\x1b[2J.JPG", ATTR_NEW);   // control bytes: never inserted
        add("INFO", ATTR_DIRECTORY);
    }
    void TearDown() override { cache_clear(); }
    static void add(const char *name, uint8_t attrib)
    {
        ListingEntry e{};
        e.attrib = attrib;
        std::strcpy(e.name, name);
        ASSERT_EQ(cache_append(&e), 0);
    }
    static CompleteKind kind(const char *line)
    {
        return complete_kind(line, static_cast<int>(std::strlen(line)));
    }
};

TEST_F(CompleteTest, KindFollowsTheCommandWord)
{
    EXPECT_EQ(kind(""), COMPLETE_COMMAND);
    EXPECT_EQ(kind("   "), COMPLETE_COMMAND);
    EXPECT_EQ(kind("get "), COMPLETE_CAMERA_NAME);
    EXPECT_EQ(kind("  unprotect  "), COMPLETE_CAMERA_NAME);
    EXPECT_EQ(kind("cd "), COMPLETE_CAMERA_DIR);
    EXPECT_EQ(kind("rmdir "), COMPLETE_CAMERA_DIR);
    EXPECT_EQ(kind("put "), COMPLETE_LOCAL_FILE);
    EXPECT_EQ(kind("upload "), COMPLETE_LOCAL_FILE);
    // The upload target is a camera path, not a local file.
    EXPECT_EQ(kind("put a.jpg "), COMPLETE_NONE);
    EXPECT_EQ(kind("lcd "), COMPLETE_LOCAL_DIR);
    EXPECT_EQ(kind("lcd a "), COMPLETE_NONE);
    // Each glob of mget is a name of the listing.
    EXPECT_EQ(kind("mget *.JPG IMG"), COMPLETE_CAMERA_NAME);
    EXPECT_EQ(kind("speed "), COMPLETE_NONE);
    // Names are compared exactly, as the dispatcher does.
    EXPECT_EQ(kind("GET "), COMPLETE_NONE);
    EXPECT_EQ(kind("getall "), COMPLETE_NONE);
    // Only the words before the cursor count: a word in progress is the
    // command itself.
    EXPECT_EQ(complete_kind("get IMG", 0), COMPLETE_COMMAND);
    EXPECT_EQ(complete_kind("get IMG", 4), COMPLETE_CAMERA_NAME);
}

TEST_F(CompleteTest, CommandNamesByPrefix)
{
    EXPECT_EQ(complete_commands("unpro"), (Words{"unprotect", "unprotectall"}));
    EXPECT_EQ(complete_commands("geta"), (Words{"getall", "getallold", "getallnew"}));
    EXPECT_EQ(complete_commands("deletea"), (Words{"deleteall"}));
    EXPECT_TRUE(complete_commands("GET").empty());
    EXPECT_TRUE(complete_commands("xyz").empty());
    EXPECT_EQ(complete_commands("").size(), 51u);
}

TEST_F(CompleteTest, CameraNamesIgnoreCaseAndSkipUntypeableNames)
{
    EXPECT_EQ(complete_camera_names("img_", false), (Words{"IMG_0001.JPG", "img_0002.jpg"}));
    EXPECT_EQ(complete_camera_names("IMG_0002", false), (Words{"img_0002.jpg"}));
    EXPECT_EQ(complete_camera_names("", false),
              (Words{"IMG_0001.JPG", "100CANON", "img_0002.jpg", "INFO"}));
    EXPECT_EQ(complete_camera_names("", true),
              (Words{"100CANON", "INFO", "IMG_0001.JPG", "img_0002.jpg"}));
    EXPECT_EQ(complete_camera_names("i", true), (Words{"INFO", "IMG_0001.JPG", "img_0002.jpg"}));
    EXPECT_TRUE(complete_camera_names("Z", false).empty());
    cache_clear();
    EXPECT_TRUE(complete_camera_names("", true).empty());
}

}  // namespace

// Tab completion at the prompt, typed on a terminal.
#include <gtest/gtest.h>

#include <string>

#include "e2e.h"

using namespace e2e;

namespace {

struct Completion : testing::Test {
    Camsim sim;
    std::string cwd;
    Session s;
    void SetUp() override
    {
        sim = camsim_start();
        ASSERT_FALSE(sim.tty.empty());
        make_folder(sim, "DCIM/100TEST", {"IMG_0001.JPG", "IMG_0002.JPG", "OTHER.JPG"});
        cwd = make_temp_dir();
        write_file(cwd + "/localonly.txt", "local\n");
        s = orvik_start({"-d", sim.tty}, cwd);
        ASSERT_TRUE(expect(s, "> "));
    }
    void TearDown() override
    {
        send_line(s, "quit");
        EXPECT_EQ(wait_exit(s), 0);
        camsim_stop(sim);
    }
    void list_folder()
    {
        send_line(s, "ls D:\\DCIM\\100TEST");
        ASSERT_TRUE(expect(s, "3 files"));
        ASSERT_TRUE(expect(s, "> "));
    }
};

// What the terminal shows of a completion is interleaved with bells and
// redraws, so each completion is checked by what the dispatcher then gets,
// and each list by the candidates readline prints.

TEST_F(Completion, CommandNames)
{
    // A unique prefix is completed: the dispatcher gets "unprotect", which
    // wants a name, rather than the unknown "unpro".
    send_raw(s, "unprotecta\t\r");
    ASSERT_TRUE(expect(s, "last ls is empty"));
    ASSERT_TRUE(expect(s, "> "));
    // "unpro" starts unprotect and unprotectall: the common part is filled
    // in, repeated tabs list both.
    send_raw(s, "unpro\t\r");
    ASSERT_TRUE(expect(s, "not enough arguments"));
    ASSERT_TRUE(expect(s, "> "));
    EXPECT_EQ(s.output.find("unknown command"), std::string::npos) << s.output;

    send_raw(s, "geta\t\t\t");
    ASSERT_TRUE(expect(s, "getall     getallnew  getallold"));
    send_raw(s, "\x15");  // kill the line
    send_raw(s, "deletea\t\r");
    ASSERT_TRUE(expect(s, "last ls is empty"));
    ASSERT_TRUE(expect(s, "> "));
}

TEST_F(Completion, NamesOfTheLastListing)
{
    list_folder();
    // Prefix matched ignoring case, replaced by the name as listed.
    send_raw(s, "get img_0001\t\r");
    ASSERT_TRUE(expect(s, "get successful"));
    EXPECT_EQ(read_file(cwd + "/IMG_0001.JPG"), photo_bytes("IMG_0001.JPG"));
    ASSERT_TRUE(expect(s, "> "));

    send_raw(s, "get IMG_00\t\t\t");
    ASSERT_TRUE(expect(s, "IMG_0001.JPG  IMG_0002.JPG"));
    send_raw(s, "2\t\r");
    ASSERT_TRUE(expect(s, "get successful"));
    EXPECT_TRUE(exists(cwd + "/IMG_0002.JPG"));
    ASSERT_TRUE(expect(s, "> "));

    // Folders come first for the commands that take one.
    make_folder(sim, "DCIM/100TEST/ZSUB", {});
    send_line(s, "ls");
    ASSERT_TRUE(expect(s, "4 files"));
    ASSERT_TRUE(expect(s, "> "));
    send_raw(s, "cd \t\t");
    ASSERT_TRUE(expect(s, "ZSUB "));
    ASSERT_TRUE(expect(s, "IMG_0001.JPG  "));
    ASSERT_TRUE(expect(s, "IMG_0002.JPG  "));
    ASSERT_TRUE(expect(s, "OTHER.JPG"));
    send_raw(s, "\x15\r");
    ASSERT_TRUE(expect(s, "> "));
}

TEST_F(Completion, LocalFileNamesOnlyForTheUploadSource)
{
    list_folder();
    size_t before = s.output.size();
    // A camera name is never completed from the local directory.
    send_raw(s, "get loc\t\r");
    ASSERT_TRUE(expect(s, "get error"));
    ASSERT_TRUE(expect(s, "> "));
    EXPECT_EQ(s.output.find("localonly", before), std::string::npos) << s.output.substr(before);

    send_raw(s, "put loc\t\r");
    ASSERT_TRUE(expect(s, "upload successful"));
    ASSERT_TRUE(expect(s, "> "));
}

TEST_F(Completion, LcdOffersLocalFoldersOnly)
{
    fs::create_directory(cwd + "/localdir");
    // localonly.txt starts the same way but is no folder: the folder's
    // name is the only candidate, so a tab completes it.
    send_raw(s, "lcd loc\t\r");
    ASSERT_TRUE(expect(s, "Local directory now "));
    ASSERT_TRUE(expect(s, "/localdir\r\n"));
    ASSERT_TRUE(expect(s, "> "));
}

}  // namespace

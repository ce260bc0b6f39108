// Listing and managing the card's files through the real program and the
// emulated camera.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e.h"

using namespace e2e;

namespace {

std::string card_time(const Rig &rig, const std::string &rel)
{
    return ctime_text(mtime_of(rig.sim.card + "/" + rel));
}

TEST(Listing, FolderLinesColumnsAndSummary)
{
    Rig rig;
    ASSERT_TRUE(rig.start());
    std::string out = rig.run("cd D:\\DCIM\\100CANON");
    std::string t = card_time(rig, "DCIM/100CANON/IMG_0001.JPG");
    std::string expected = "\n"
                           "--n-  IMG_0001.JPG          17k  " + t +
                           "--n-  IMG_0002.JPG           4k  " + t +
                           "--n-  IMG_0003.JPG         278k  " + t +
                           "--n-  IMG_0004.JPG           1k  " + t +
                           "--n-  README  .        78 bytes  " + t +
                           "-i--  SUB           <DIR>        " +
                           card_time(rig, "DCIM/100CANON/SUB") +
                           "        6 files      309739 bytes\n\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(rig.prompt_dir(), "D:\\DCIM\\100CANON");

    // Going up, and the drive root as typed.
    out = rig.run("cd ..");
    EXPECT_EQ(rig.prompt_dir(), "D:\\DCIM");
    EXPECT_TRUE(has_line(out, "-i--  100CANON      <DIR>        " +
                                  card_time(rig, "DCIM/100CANON").substr(0, 24)))
        << out;
    EXPECT_TRUE(has_line(out, "        4 files      256 bytes")) << out;  // the .CTG file counts
    rig.run("cd ..");
    EXPECT_EQ(rig.prompt_dir(), "D:");
    size_t sent = requests(rig.sim, 9).size();
    EXPECT_EQ(rig.run("cd .."), "ls error\n");
    EXPECT_EQ(requests(rig.sim, 9).size(), sent);  // nothing asked of the camera
    rig.run("cd D:\\DCIM");
    rig.run("cd D:");
    EXPECT_EQ(rig.prompt_dir(), "D:");
    EXPECT_EQ(requests(rig.sim, 9).back(), "request type=9 path=D:");

    // A catalogue file is never listed.
    rig.run("cd DCIM");
    sent = requests(rig.sim, 9).size();
    EXPECT_EQ(rig.run("cd CANONMSC.CTG"), "");
    EXPECT_EQ(rig.prompt_dir(), "D:\\DCIM");
    EXPECT_EQ(requests(rig.sim, 9).size(), sent);
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Listing, EmptyFolderLastLsAndFailedListing)
{
    Rig rig;
    ASSERT_TRUE(rig.start({}, {"-D"}));
    EXPECT_EQ(rig.run("lastls"), "last ls is empty\n");
    std::string out = rig.run("cd D:\\DCIM\\102CANON");
    EXPECT_NE(out.find("\n        0 files      0 bytes\n\n"), std::string::npos) << out;
    EXPECT_EQ(rig.run("lastls"), "last ls is empty\n");

    rig.run("cd D:\\DCIM\\101CANON");
    // A folder the camera cannot list keeps the previous listing.
    out = rig.run("cd NOSUCHDIR");
    EXPECT_TRUE(has_line(out, "ls D:\\DCIM\\101CANON\\NOSUCHDIR: refused by the camera, status 0x02"))
        << out;
    EXPECT_NE(out.find("ls error\n"), std::string::npos) << out;
    EXPECT_EQ(rig.prompt_dir(), "D:\\DCIM\\101CANON");
    out = rig.run("lastls");
    std::string t = card_time(rig, "DCIM/101CANON/IMG_0101.JPG");
    // Debug mode also dumps the line; only the listing's own lines count.
    EXPECT_TRUE(has_line(out, "--n-  IMG_0101.JPG          44k  " + t.substr(0, 24))) << out;
    EXPECT_TRUE(has_line(out, "--n-  IMG_0102.JPG           9k  " + t.substr(0, 24))) << out;
    EXPECT_TRUE(has_line(out, "last ls pathname was: D:\\DCIM\\101CANON")) << out;
    EXPECT_TRUE(has_line(out, "lastls successful")) << out;
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Listing, MoreEntriesThanTheCacheHolds)
{
    Rig rig;
    ASSERT_TRUE(rig.start());
    std::string dir = rig.sim.card + "/DCIM/BIG";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    for (int i = 0; i < 1030; i++) {
        char name[32];
        std::snprintf(name, sizeof name, "/F%04d.JPG", i);
        write_file(dir + name, std::string(static_cast<size_t>(i), 'x'));
    }
    std::string out = rig.run("cd D:\\DCIM\\BIG", 120000);
    EXPECT_EQ(count(out, "--n-  F"), 1030);
    EXPECT_EQ(count(out, "listing cache full, only the first 1024 entries are kept\n"), 1);
    EXPECT_TRUE(has_line(out, "        1030 files      529935 bytes")) << out.substr(out.size() - 200);
    out = rig.run("lastls");
    EXPECT_EQ(count(out, "--n-  F"), 1024);
    EXPECT_NE(out.find("F1023"), std::string::npos);
    EXPECT_EQ(out.find("F1024"), std::string::npos);
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Listing, ControlBytesInNamesAreShownAsQuestionMarks)
{
    Rig rig;
    ASSERT_TRUE(rig.start({"--fault", "hostile-name=x\x1b[2J\x7f.jpg"}));
    std::string out = rig.run("cd D:\\DCIM\\101CANON");
    EXPECT_NE(out.find("--n-  x?[2J?  .jpg  "), std::string::npos) << out;
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Listing, NamesWithASlashAreNeverWritten)
{
    Rig rig;
    ASSERT_TRUE(rig.start({"--fault", "hostile-name=a/b.jpg"}));
    rig.run("cd D:\\DCIM\\101CANON");
    size_t sent = requests(rig.sim, 1).size();
    std::string out = rig.run("get a/b.jpg");
    EXPECT_EQ(out, "refusing local file name 'a/b.jpg'\n"
                   "D:\\DCIM\\101CANON\\a/b.jpg: not saved: no usable local file name\n"
                   "get error\n");
    EXPECT_EQ(requests(rig.sim, 1).size(), sent);  // nothing was fetched
    // The bulk download takes the same way and saves the others.
    out = rig.run("getall", 120000);
    EXPECT_TRUE(has_line(out, "refusing local file name 'a/b.jpg'")) << out;
    EXPECT_EQ(read_file(rig.cwd + "/IMG_0101.JPG"),
              read_file(rig.sim.card + "/DCIM/101CANON/IMG_0101.JPG"));
    struct stat st;
    EXPECT_NE(lstat((rig.cwd + "/a").c_str(), &st), 0);
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Manage, DeleteDirectoriesAndAttributes)
{
    Rig rig;
    ASSERT_TRUE(rig.start());
    rig.run("cd D:\\DCIM\\100CANON");

    EXPECT_EQ(rig.run("mkdir NEWDIR"), "mkdir successful\n");
    struct stat st;
    EXPECT_EQ(stat((rig.sim.card + "/DCIM/100CANON/NEWDIR").c_str(), &st), 0);
    // A refusal shows the camera's status: exists, not empty.
    EXPECT_EQ(rig.run("mkdir NEWDIR"),
              "mkdir D:\\DCIM\\100CANON\\NEWDIR: refused by the camera, status 0x06\n"
              "mkdir error\n");
    EXPECT_EQ(rig.run("rmdir SUB"),
              "rmdir D:\\DCIM\\100CANON\\SUB: refused by the camera, status 0x07\nrmdir error\n");
    EXPECT_EQ(rig.run("rmdir NEWDIR"), "rmdir successful\n");
    EXPECT_NE(stat((rig.sim.card + "/DCIM/100CANON/NEWDIR").c_str(), &st), 0);

    EXPECT_EQ(rig.run("protect img_0001.jpg"), "");
    EXPECT_EQ(rig.run("old IMG_0002.JPG"), "");
    EXPECT_EQ(rig.run("protect NOTLISTED.JPG"),
              "NOTLISTED.JPG: not in the last listing of D:\\DCIM\\100CANON (ls shows the folder)\n");
    // The last listing shows the changes the camera took, as a new one does.
    std::string out = rig.run("lastls");
    EXPECT_EQ(out.substr(0, 6), "p-n-  ") << out;
    EXPECT_NE(out.find("----  IMG_0002.JPG"), std::string::npos) << out;
    out = rig.run("ls");
    EXPECT_NE(out.find("p-n-  IMG_0001.JPG"), std::string::npos) << out;
    EXPECT_NE(out.find("----  IMG_0002.JPG"), std::string::npos) << out;
    // A protected file, and one the card does not have, are not deleted.
    EXPECT_EQ(rig.run("rm IMG_0001.JPG"),
              "delete D:\\DCIM\\100CANON\\IMG_0001.JPG: refused by the camera, status 0x05\n"
              "delete error\n");
    EXPECT_EQ(stat((rig.sim.card + "/DCIM/100CANON/IMG_0001.JPG").c_str(), &st), 0);
    EXPECT_EQ(rig.run("rm NOPE.JPG"),
              "delete D:\\DCIM\\100CANON\\NOPE.JPG: refused by the camera, status 0x02\n"
              "delete error\n");
    rig.run("unprotect IMG_0001.JPG");
    rig.run("new IMG_0002.JPG");
    out = rig.run("ls");
    EXPECT_NE(out.find("--n-  IMG_0001.JPG"), std::string::npos) << out;
    EXPECT_NE(out.find("--n-  IMG_0002.JPG"), std::string::npos) << out;

    EXPECT_EQ(rig.run("rm IMG_0004.JPG"), "delete successful\n");
    EXPECT_NE(stat((rig.sim.card + "/DCIM/100CANON/IMG_0004.JPG").c_str(), &st), 0);
    EXPECT_EQ(rig.run("rm D:\\DCIM\\101CANON\\IMG_0102.JPG"), "delete successful\n");
    EXPECT_NE(stat((rig.sim.card + "/DCIM/101CANON/IMG_0102.JPG").c_str(), &st), 0);
    out = rig.run("ls");
    EXPECT_EQ(out.find("IMG_0004"), std::string::npos) << out;
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Manage, DeleteWhoseReplyIsLostGetsTheReplyAgain)
{
    // The camera acts on the request but its reply never arrives: a NACK
    // has the camera send the reply again, and the removal is not asked
    // for a second time.
    Rig rig;
    ASSERT_TRUE(rig.start({"--fault", "silent-reply@3"}));
    rig.run("cd D:\\DCIM\\100CANON");  // the identity and the drive name came first
    std::string out = rig.run("rm IMG_0001.JPG", 120000);
    EXPECT_TRUE(has_line(out, "delete successful")) << out;
    EXPECT_EQ(requests(rig.sim, 10).size(), 1u);
    out = rig.run("ls");  // the line still serves the next command
    EXPECT_TRUE(has_line(out, "        5 files      291824 bytes")) << out;
    EXPECT_EQ(rig.quit(), 0);
}

// With this seed the host's closing acknowledge of the first mkdir runs
// into the second mkdir's request, and the camera drops both: it repeats
// the first reply (with patience, unasked).  That reply must not pass for
// the second folder's, nor may the second request go out again.
void mkdir_on_noisy_line(const std::vector<std::string> &camsim_args)
{
    Rig rig;
    ASSERT_TRUE(rig.start(camsim_args));
    for (const std::string name : {"A1", "A2", "A3"}) {
        std::string out = rig.run("mkdir " + name, 120000);
        struct stat st {};
        const bool made = stat((rig.sim.card + "/" + name).c_str(), &st) == 0;
        EXPECT_EQ(has_line(out, "mkdir successful"), made) << name << ": " << out;
        if (name == "A2") {
            EXPECT_TRUE(has_line(out, "mkdir error")) << out;
        }
    }
    // Each request on the wire once, whether the camera read it or not:
    // the end of its path (backslash, name, zero) in what the camera heard.
    const std::vector<std::string> heard = log_lines(rig.sim, "RX");
    for (const std::string hex : {"5c 41 31 00", "5c 41 32 00", "5c 41 33 00"}) {
        const auto copies = std::count_if(heard.begin(), heard.end(), [&hex](const std::string &rx) {
            return rx.find(hex) != std::string::npos;
        });
        EXPECT_LE(copies, 1) << hex;
    }
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Manage, MkdirAfterALostAcknowledgeIsNotTakenForDone)
{
    mkdir_on_noisy_line({"--noise", "3e-4:11"});
}

TEST(Manage, MkdirAfterALostAcknowledgeIsNotSentTwice)
{
    mkdir_on_noisy_line({"--noise", "3e-4:11", "--patience", "10"});
}

}  // namespace

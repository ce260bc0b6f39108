// Downloads through the real program and the emulated camera: saved bytes,
// times, the downloaded mark, repeats, failures of the line and the disk.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "e2e.h"
#include "traced_run.h"

using namespace e2e;

namespace {

const char *const folder = "cd D:\\DCIM\\100CANON";

std::string card_file(const Rig &rig, const std::string &name)
{
    return read_file(rig.sim.card + "/DCIM/100CANON/" + name);
}

TEST(Get, SavesTheCardFileWithItsTimeAndClearsTheMark)
{
    Rig rig;
    ASSERT_TRUE(rig.start());
    rig.run(folder);
    std::string out = rig.run("get IMG_0001.JPG");
    auto lines = split_lines(out);
    ASSERT_GE(lines.size(), 6u) << out;
    EXPECT_EQ(lines[0], "Getting D:\\DCIM\\100CANON\\IMG_0001.JPG, 17915 bytes");
    EXPECT_EQ(lines[1], "0------------------25------------------50------------------75----------------100");
    EXPECT_EQ(lines[2], std::string(80, '.'));
    EXPECT_EQ(lines[3].rfind("Downloaded in ", 0), 0u) << out;
    EXPECT_EQ(lines[4], "");
    EXPECT_EQ(lines[5], "get successful");

    std::string local = rig.cwd + "/IMG_0001.JPG";
    EXPECT_EQ(read_file(local), card_file(rig, "IMG_0001.JPG"));
    EXPECT_EQ(mtime_of(local), mtime_of(rig.sim.card + "/DCIM/100CANON/IMG_0001.JPG"));
    struct stat st;
    ASSERT_EQ(stat(local.c_str(), &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
    EXPECT_EQ(local_names(rig.cwd).size(), 1u);  // no temporary file left

    out = rig.run("ls");
    EXPECT_NE(out.find("----  IMG_0001.JPG"), std::string::npos) << out;
    EXPECT_NE(out.find("--n-  IMG_0002.JPG"), std::string::npos) << out;
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Get, ExistingFileIsKeptWithoutATransferUnlessOverwriting)
{
    Rig rig;
    ASSERT_TRUE(rig.start());
    rig.run(folder);
    write_file(rig.cwd + "/IMG_0002.JPG", "mine");
    size_t sent = requests(rig.sim, 1).size();
    // The save could only be refused: nothing is fetched for it.
    EXPECT_EQ(rig.run("get IMG_0002.JPG"),
              std::string("===WARNING===> open: ") + std::strerror(EEXIST) +
                  "\nIMG_0002.JPG: not saved: it exists here and overwrite is off\nget error\n");
    EXPECT_EQ(requests(rig.sim, 1).size(), sent);
    EXPECT_EQ(read_file(rig.cwd + "/IMG_0002.JPG"), "mine");
    EXPECT_NE(rig.run("ls").find("--n-  IMG_0002.JPG"), std::string::npos);

    EXPECT_EQ(rig.run("overwrite"), "overwrite mode ON\n");
    std::string out = rig.run("get IMG_0002.JPG");
    EXPECT_TRUE(has_line(out, "get successful")) << out;
    EXPECT_EQ(read_file(rig.cwd + "/IMG_0002.JPG"), card_file(rig, "IMG_0002.JPG"));
    EXPECT_EQ(local_names(rig.cwd).size(), 1u);

    // Never through a link planted under the name, overwrite or not.
    write_file(rig.cwd + "/precious", "keep");
    ASSERT_EQ(symlink("precious", (rig.cwd + "/IMG_0004.JPG").c_str()), 0);
    out = rig.run("get IMG_0004.JPG");
    EXPECT_TRUE(has_line(out, "get error")) << out;
    EXPECT_EQ(read_file(rig.cwd + "/precious"), "keep");
    EXPECT_NE(rig.run("ls").find("--n-  IMG_0004.JPG"), std::string::npos);
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Get, FullPathOutsideTheListedFolderLeavesANamesakeAlone)
{
    Rig rig;
    ASSERT_TRUE(rig.start());
    make_folder(rig.sim, "DCIM/103TEST", {"IMG_0001.JPG"});
    rig.run("cd D:\\DCIM\\103TEST");
    size_t marks = requests(rig.sim, 13).size();
    std::string out = rig.run("get D:\\DCIM\\100CANON\\IMG_0001.JPG");
    EXPECT_TRUE(has_line(out, "get successful")) << out;
    EXPECT_EQ(read_file(rig.cwd + "/IMG_0001.JPG"), card_file(rig, "IMG_0001.JPG"));
    // The cache describes 103TEST: its IMG_0001.JPG is another file and
    // must not be marked downloaded.
    EXPECT_EQ(requests(rig.sim, 13).size(), marks);
    EXPECT_NE(rig.run("ls").find("--n-  IMG_0001.JPG"), std::string::npos);
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Get, LowerCaseMode)
{
    Rig rig;
    ASSERT_TRUE(rig.start({}, {"-L"}));
    rig.run(folder);
    std::string out = rig.run("get IMG_0004.JPG");
    EXPECT_TRUE(has_line(out, "get successful")) << out;
    EXPECT_EQ(read_file(rig.cwd + "/img_0004.jpg"), card_file(rig, "IMG_0004.JPG"));
    EXPECT_EQ(mtime_of(rig.cwd + "/img_0004.jpg"),
              mtime_of(rig.sim.card + "/DCIM/100CANON/IMG_0004.JPG"));
    EXPECT_EQ(local_names(rig.cwd), std::set<std::string>{"img_0004.jpg"});
    EXPECT_NE(rig.run("ls").find("----  IMG_0004.JPG"), std::string::npos);
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Get, DamagedPacketAndDamagedEotAreRepeated)
{
    // IMG_0002.JPG travels as three messages of three, three and one
    // packets; the fifth data packet lies in the middle message.
    Rig rig;
    ASSERT_TRUE(rig.start({"--message-size", "2000", "--fault", "crc-data@5", "--fault", "crc-eot@5"}));
    rig.run(folder);
    std::string out = rig.run("get IMG_0002.JPG");
    EXPECT_EQ(count(out, "X"), 1) << out;
    EXPECT_TRUE(has_line(out, "get successful")) << out;
    EXPECT_EQ(read_file(rig.cwd + "/IMG_0002.JPG"), card_file(rig, "IMG_0002.JPG"));

    // The next transfer's EOTs: 4 after the repeat above, the fifth is the
    // first of this one.
    out = rig.run("get IMG_0004.JPG");
    EXPECT_EQ(count(out, "X"), 1) << out;
    EXPECT_EQ(read_file(rig.cwd + "/IMG_0004.JPG"), card_file(rig, "IMG_0004.JPG"));
    EXPECT_EQ(rig.quit(), 0);
}

// The whole bar of a download with a repeat.  3000 bytes travel as three
// messages of 1050, 1050 and 900 bytes, in packets of 400 (after the
// header), 400 and the rest.  The second packet of the middle message is
// damaged: its bytes are still counted, so the dots go on to the end of
// that message (column 56: 2100/3000 is 0.69999999 in single precision,
// and times 80 that rounds to 56.0), then the X, and the repeat draws its
// part again from column 38 (1450 bytes): 56 + 42 dots.
TEST(Get, TheBarDrawsARepeatedMessageAgain)
{
    const std::string scale =
        "0------------------25------------------50------------------75----------------100\n";
    Rig rig;
    ASSERT_TRUE(rig.start({"--message-size", "1050", "--packet-size", "436", "--fault",
                           "crc-data@5", "--fault", "crc-data@13"}));
    std::string bytes(3000, 0);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<char>(i * 13 + i / 256);
    write_file(rig.sim.card + "/DCIM/100CANON/BAR.JPG", bytes);
    write_file(rig.sim.card + "/DCIM/100CANON/BAR2.JPG", bytes);
    rig.run(folder);

    std::string out = rig.run("get BAR.JPG");
    EXPECT_EQ(out.substr(0, out.find("Downloaded in")),
              "Getting D:\\DCIM\\100CANON\\BAR.JPG, 3000 bytes\n" + scale +
                  std::string(56, '.') + "X" + std::string(42, '.') + "\n");
    EXPECT_TRUE(has_line(out, "get successful")) << out;
    EXPECT_EQ(read_file(rig.cwd + "/BAR.JPG"), bytes);

    // Packet 13, the first of the next transfer, is its header: its total is
    // not trusted, the bar opens once the repeat brings a sound one, and the
    // X of the damaged message comes first on it.
    out = rig.run("get BAR2.JPG");
    EXPECT_EQ(out.substr(0, out.find("Downloaded in")),
              "Getting D:\\DCIM\\100CANON\\BAR2.JPG, 3000 bytes\n" + scale + "X" +
                  std::string(80, '.') + "\n");
    EXPECT_EQ(read_file(rig.cwd + "/BAR2.JPG"), bytes);
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Get, RefusedAndAbandonedTransfersSaveNothing)
{
    Rig rig;
    ASSERT_TRUE(rig.start({"--fault", "refuse@1", "--fault", "silent@2"}));
    rig.run(folder);
    EXPECT_EQ(rig.run("get IMG_0001.JPG"),
              "D:\\DCIM\\100CANON\\IMG_0001.JPG: not saved: refused by the camera, status 0x01\n"
              "get error\n");
    // The camera stops after the second data packet: a read timeout later
    // the transfer is given up, and the line still serves the next command.
    std::string out = rig.run("get IMG_0003.JPG", 120000);
    EXPECT_TRUE(has_line(out, "get error")) << out;
    EXPECT_TRUE(local_names(rig.cwd).empty());
    out = rig.run("ls");
    EXPECT_NE(out.find("--n-  IMG_0001.JPG"), std::string::npos) << out;
    EXPECT_NE(out.find("--n-  IMG_0003.JPG"), std::string::npos) << out;
    EXPECT_NE(out.find("        6 files      309739 bytes"), std::string::npos) << out;
    out = rig.run("get IMG_0002.JPG");
    EXPECT_TRUE(has_line(out, "get successful")) << out;
    EXPECT_EQ(read_file(rig.cwd + "/IMG_0002.JPG"), card_file(rig, "IMG_0002.JPG"));
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Get, FileOfAnotherSizeThanListedIsNotSaved)
{
    // The camera sends what its card holds now; the listing said otherwise.
    Rig rig;
    ASSERT_TRUE(rig.start());
    rig.run(folder);
    const std::string path = rig.sim.card + "/DCIM/100CANON/IMG_0002.JPG";
    write_file(path, read_file(path) + "more");
    std::string out = rig.run("get IMG_0002.JPG");
    EXPECT_TRUE(has_line(out, "D:\\DCIM\\100CANON\\IMG_0002.JPG: 4798 bytes received, "
                              "the listing says 4794")) << out;
    EXPECT_TRUE(has_line(out, "get error")) << out;
    EXPECT_TRUE(local_names(rig.cwd).empty());
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Get, CameraPathTooLongForTheRequest)
{
    Rig rig;
    ASSERT_TRUE(rig.start());
    rig.run(folder);
    size_t sent = requests(rig.sim, 1).size();
    std::string out = rig.run("get " + std::string(240, 'A') + ".JPG");
    EXPECT_EQ(out, "camera path too long\nD:\\DCIM\\100CANON\\" + std::string(240, 'A') +
                       ".JPG: not saved: the download failed\nget error\n");
    EXPECT_EQ(requests(rig.sim, 1).size(), sent);
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Get, DiskFailureLeavesNoFileAndTheMarkSet)
{
    if (!strace_available())
        GTEST_SKIP() << "strace not available";
    Camsim sim = camsim_start();
    ASSERT_FALSE(sim.tty.empty());
    std::string cwd = make_temp_dir() + "/dl";
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    // The first fsync of the save fails as on a full disk.
    RunResult r = traced_finish(
        traced_start({"-d", sim.tty}, "cd D:\\DCIM\\100CANON\nget IMG_0001.JPG\nls\nquit\n", cwd,
                     {"fsync", "error=ENOSPC", 1}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find(std::string("fsync: ") + std::strerror(ENOSPC)), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("get error\n"), std::string::npos) << r.out;
    EXPECT_TRUE(local_names(cwd).empty());
    // The listing after the failure still shows the file as new.
    size_t ls = r.out.rfind("IMG_0001.JPG");
    ASSERT_NE(ls, std::string::npos);
    EXPECT_EQ(r.out.substr(ls - 6, 6), "--n-  ");
    EXPECT_EQ(requests(sim, 13).size(), 0u);  // no set-attributes request
    camsim_stop(sim);
}

TEST(Get, FullFileSystemLeavesNoPartialFile)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    std::string base = make_temp_dir();
    std::string cwd = base + "/small";
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    if (mount("tmpfs", cwd.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "tmpfs mount refused: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{cwd};
    Rig rig;
    rig.sim = camsim_start();
    ASSERT_FALSE(rig.sim.tty.empty());
    rig.cwd = cwd;
    rig.s = orvik_start({"-d", rig.sim.tty}, cwd);
    ASSERT_TRUE(expect(rig.s, PROMPT_START + "D:> ", 60000));
    rig.run(folder);
    std::string out = rig.run("get IMG_0003.JPG", 120000);  // 285256 bytes
    EXPECT_TRUE(has_line(out, "get error")) << out;
    EXPECT_NE(rig.s.output.find(std::string("write: ") + std::strerror(ENOSPC)), std::string::npos);
    EXPECT_TRUE(local_names(cwd).empty());
    EXPECT_NE(rig.run("ls").find("--n-  IMG_0003.JPG"), std::string::npos);
    // A file that fits still goes through.
    out = rig.run("get IMG_0004.JPG");
    EXPECT_TRUE(has_line(out, "get successful")) << out;
    EXPECT_EQ(rig.quit(), 0);
}

}  // namespace

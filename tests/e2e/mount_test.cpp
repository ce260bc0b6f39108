// `--mount DIR`: the card as a folder, driven by the programs people use on
// folders (ls, stat, cat, cp, rsync, rm, mkdir, chmod, getfattr, df) over a
// real FUSE mount of the real orvik against the emulated camera.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "e2e.h"

using namespace e2e;

namespace {

struct Shell {
    int status;
    std::string out;  // stdout and stderr together
};

Shell sh(const std::string &command)
{
    Shell r{-1, ""};
    FILE *p = popen(("(" + command + ") 2>&1").c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

bool fuse_usable(void)
{
    const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    return sh("command -v fusermount3 rsync getfattr").status == 0;
}

std::string mode_of(const std::string &path)
{
    return sh("stat -c %a '" + path + "'").out;
}

struct MountTest : testing::Test {
    Camsim sim;
    Session s;
    std::string cwd, mnt;

    void SetUp() override
    {
        if (!fuse_usable())
            GTEST_SKIP() << "no usable /dev/fuse, fusermount3, rsync or getfattr here: "
                            "the mount tests need them";
        cwd = make_temp_dir();
        mnt = make_temp_dir();
    }

    // The emulator on a card of 100AAA {IMG_0001, IMG_0002} and 101BBB
    // {IMG_0003}, orvik serving it at mnt (on `device` when given).
    bool mount(const std::vector<std::string> &camsim_args = {}, const std::string &device = "")
    {
        sim = camsim_start(camsim_args);
        if (sim.tty.empty())
            return false;
        clear_dcim(sim);
        make_folder(sim, "DCIM/100AAA", {"IMG_0001.JPG", "IMG_0002.JPG"});
        make_folder(sim, "DCIM/101BBB", {"IMG_0003.JPG"});
        s = orvik_start({"-d", device.empty() ? sim.tty : device, "--mount", mnt}, cwd);
        return expect(s, "The card is at " + mnt, 60000);
    }
    std::string card(const std::string &rel) const { return sim.card + "/DCIM/" + rel; }
    std::string at(const std::string &rel) const { return mnt + "/DCIM/" + rel; }
    int downloads() const { return static_cast<int>(requests(sim, 1).size()); }

    void TearDown() override
    {
        if (s.pid > 0 && wait_exit(s, 1) == -1)
            sh("fusermount3 -u -z '" + mnt + "'");
        if (sim.pid > 0)
            camsim_stop(sim);
    }
};

TEST_F(MountTest, ListingReadingAndCopyingOut)
{
    ASSERT_TRUE(mount());
    // Names as the camera spells them, sizes and times from the listing:
    // nothing is transferred to list or stat.
    Shell ls = sh("ls -l '" + at("100AAA") + "'");
    EXPECT_EQ(ls.status, 0) << ls.out;
    EXPECT_NE(ls.out.find("-rw-r--r-- "), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find(std::to_string(photo_bytes("IMG_0001.JPG").size()) + " "),
              std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("IMG_0002.JPG"), std::string::npos);
    EXPECT_EQ(sh("ls -a '" + at("100AAA") + "'").out.find(".thumbnails"), std::string::npos);
    struct stat on_card;
    ASSERT_EQ(stat(card("100AAA/IMG_0001.JPG").c_str(), &on_card), 0);
    EXPECT_EQ(sh("stat -c '%s %Y %a' '" + mnt + "/dcim/100aaa/img_0001.jpg'").out,
              std::to_string(on_card.st_size) + " " + std::to_string(on_card.st_mtime) +
                  " 644\n");
    EXPECT_EQ(downloads(), 0);

    // Reading fetches the file once, and does not mark it downloaded.
    EXPECT_EQ(sh("cat '" + at("100aaa/IMG_0001.JPG") + "'").out, photo_bytes("IMG_0001.JPG"));
    EXPECT_EQ(sh("cp -p '" + at("100AAA/IMG_0001.JPG") + "' '" + cwd + "/one.jpg'").status, 0);
    EXPECT_EQ(read_file(cwd + "/one.jpg"), photo_bytes("IMG_0001.JPG"));
    EXPECT_EQ(sh("stat -c %Y '" + cwd + "/one.jpg'").out, std::to_string(on_card.st_mtime) + "\n");
    EXPECT_EQ(downloads(), 1);
    EXPECT_EQ(sh("getfattr --absolute-names --only-values -n user.orvik.new '" + at("100AAA/IMG_0001.JPG") + "'").out,
              "1");

    // rsync twice: the second run takes nothing from the camera.
    const std::string pictures = cwd + "/Pictures";
    Shell r1 = sh("rsync -a --ignore-existing '" + mnt + "/DCIM/' '" + pictures + "/'");
    EXPECT_EQ(r1.status, 0) << r1.out;
    EXPECT_EQ(read_file(pictures + "/101BBB/IMG_0003.JPG"), photo_bytes("IMG_0003.JPG"));
    EXPECT_EQ(read_file(pictures + "/100AAA/IMG_0002.JPG"), photo_bytes("IMG_0002.JPG"));
    const int after_first = downloads();
    EXPECT_EQ(after_first, 3);  // IMG_0001 came from the local copy
    Shell r2 = sh("rsync -a --ignore-existing '" + mnt + "/DCIM/' '" + pictures + "/'");
    EXPECT_EQ(r2.status, 0) << r2.out;
    EXPECT_EQ(downloads(), after_first);

    // The new flag: a script marks what it has copied.
    EXPECT_EQ(sh("setfattr -n user.orvik.new -v 0 '" + at("101BBB/IMG_0003.JPG") + "'").status, 0);
    EXPECT_EQ(sh("getfattr --absolute-names --only-values -n user.orvik.new '" + at("101BBB/IMG_0003.JPG") + "'").out,
              "0");
    EXPECT_NE(sh("setfattr -n user.orvik.new -v 7 '" + at("101BBB/IMG_0003.JPG") + "'").status, 0);

    // The thumbnails, by name, and the card's size.
    const std::string thumb = sh("cat '" + at("100AAA/.thumbnails/IMG_0002.JPG") + "'").out;
    ASSERT_GT(thumb.size(), 4u);
    EXPECT_EQ(thumb.substr(0, 2), "\xff\xd8");
    EXPECT_EQ(thumb.substr(thumb.size() - 2), "\xff\xd9");
    EXPECT_NE(sh("rm '" + at("100AAA/.thumbnails/IMG_0002.JPG") + "'").status, 0);
    Shell df = sh("df -k '" + mnt + "'");
    EXPECT_EQ(df.status, 0) << df.out;
    EXPECT_NE(df.out.find("orvik"), std::string::npos) << df.out;

    // An unmount ends the run like quit: status 0, the camera off.
    EXPECT_EQ(sh("fusermount3 -u '" + mnt + "'").status, 0);
    EXPECT_EQ(wait_exit(s), 0) << s.output;
    EXPECT_TRUE(camera_switched_off(sim));
}

}  // namespace

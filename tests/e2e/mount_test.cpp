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

std::string listed(const std::string &dir)
{
    return sh("ls '" + dir + "'").out;
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
        if (s.pid > 0)
            wait_exit(s, 1);
        // Still mounted when orvik did not end, or ended without unmounting.
        if (!mnt.empty() && sh("grep -c ' " + mnt + " ' /proc/mounts").out != "0\n")
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
    EXPECT_TRUE(sh("cat '" + at("100aaa/IMG_0001.JPG") + "'").out == photo_bytes("IMG_0001.JPG"));
    EXPECT_EQ(sh("cp -p '" + at("100AAA/IMG_0001.JPG") + "' '" + cwd + "/one.jpg'").status, 0);
    EXPECT_TRUE(read_file(cwd + "/one.jpg") == photo_bytes("IMG_0001.JPG"));
    EXPECT_EQ(sh("stat -c %Y '" + cwd + "/one.jpg'").out, std::to_string(on_card.st_mtime) + "\n");
    EXPECT_EQ(downloads(), 1);
    EXPECT_EQ(sh("getfattr --absolute-names --only-values -n user.orvik.new '" + at("100AAA/IMG_0001.JPG") + "'").out,
              "1");

    // rsync twice: the second run takes nothing from the camera.
    const std::string pictures = cwd + "/Pictures";
    Shell r1 = sh("rsync -a --ignore-existing '" + mnt + "/DCIM/' '" + pictures + "/'");
    EXPECT_EQ(r1.status, 0) << r1.out;
    EXPECT_TRUE(read_file(pictures + "/101BBB/IMG_0003.JPG") == photo_bytes("IMG_0003.JPG"));
    EXPECT_TRUE(read_file(pictures + "/100AAA/IMG_0002.JPG") == photo_bytes("IMG_0002.JPG"));
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

TEST_F(MountTest, ChangingTheCard)
{
    ASSERT_TRUE(mount());
    // A protected file cannot be removed; unprotected again it can.
    EXPECT_EQ(sh("chmod a-w '" + at("100AAA/IMG_0001.JPG") + "'").status, 0);
    EXPECT_EQ(mode_of(at("100AAA/IMG_0001.JPG")), "444\n");
    Shell rm = sh("rm -f '" + at("100AAA/IMG_0001.JPG") + "'");
    EXPECT_NE(rm.status, 0);
    EXPECT_NE(rm.out.find("Permission denied"), std::string::npos) << rm.out;
    EXPECT_TRUE(exists(card("100AAA/IMG_0001.JPG")));
    EXPECT_EQ(sh("chmod u+w '" + at("100AAA/IMG_0001.JPG") + "'").status, 0);
    EXPECT_EQ(mode_of(at("100AAA/IMG_0001.JPG")), "644\n");
    EXPECT_EQ(sh("rm '" + at("100AAA/IMG_0001.JPG") + "'").status, 0);
    EXPECT_FALSE(exists(card("100AAA/IMG_0001.JPG")));
    EXPECT_EQ(listed(at("100AAA")), "IMG_0002.JPG\n");

    // Folders: a folder with entries stays.
    EXPECT_EQ(sh("mkdir '" + at("102NEW") + "'").status, 0);
    EXPECT_TRUE(fs::is_directory(card("102NEW")));
    Shell full = sh("rmdir '" + at("101BBB") + "'");
    EXPECT_NE(full.status, 0);
    EXPECT_NE(full.out.find("Directory not empty"), std::string::npos) << full.out;
    EXPECT_EQ(sh("rmdir '" + at("102new") + "'").status, 0);
    EXPECT_FALSE(exists(card("102NEW")));

    // A file copied in is on the card byte for byte, and listed at once.
    const std::string photo = jpeg_like(5000, 7);
    write_file(cwd + "/in.jpg", photo);
    Shell cp = sh("cp '" + cwd + "/in.jpg' '" + at("101BBB/IN.JPG") + "'");
    EXPECT_EQ(cp.status, 0) << cp.out;
    EXPECT_TRUE(read_file(card("101BBB/IN.JPG")) == photo);
    EXPECT_EQ(sh("stat -c %s '" + at("101BBB/IN.JPG") + "'").out, "5000\n");
    // A file being written is listed before it reaches the card.
    Shell open = sh("exec 3>'" + at("101BBB/OPEN.JPG") + "'; printf abc >&3; ls '" + at("101BBB") +
                    "'; exec 3>&-");
    EXPECT_EQ(open.out, "IMG_0003.JPG\nIN.JPG\nOPEN.JPG\n");
    EXPECT_EQ(read_file(card("101BBB/OPEN.JPG")), "abc");
    // The upload has no way to send an empty file: emptying one fails
    // rather than leave the old bytes behind a success.
    Shell empty = sh("cp /dev/null '" + at("101BBB/IN.JPG") + "'");
    EXPECT_NE(empty.status, 0);
    EXPECT_NE(empty.out.find("Input/output error"), std::string::npos) << empty.out;
    EXPECT_TRUE(read_file(card("101BBB/IN.JPG")) == photo);
    // Rewritten whole, and moved: the protocol has no rename, so mv copies.
    EXPECT_EQ(sh("printf short > '" + at("101BBB/IN.JPG") + "'").status, 0);
    EXPECT_EQ(read_file(card("101BBB/IN.JPG")), "short");
    Shell mv = sh("mv '" + at("101BBB/IN.JPG") + "' '" + at("100AAA/MOVED.JPG") + "'");
    EXPECT_EQ(mv.status, 0) << mv.out;
    EXPECT_FALSE(exists(card("101BBB/IN.JPG")));
    EXPECT_EQ(read_file(card("100AAA/MOVED.JPG")), "short");

    // SIGTERM ends the serving: unmounted, the camera off, the signal's status.
    kill(s.pid, SIGTERM);
    EXPECT_EQ(wait_exit(s), SIGTERM) << s.output;
    EXPECT_NE(s.output.find("signal 15 trapped"), std::string::npos);
    EXPECT_TRUE(camera_switched_off(sim));
    EXPECT_EQ(sh("grep -c ' " + mnt + " ' /proc/mounts").out, "0\n");
}

// The line hangs up in the middle of a download and the camera comes back:
// the reader fails without a byte of the file, and the next request
// connects again.
TEST_F(MountTest, CutDownloadAndLostLine)
{
    const std::string link = make_temp_dir() + "/camera";
    ASSERT_TRUE(mount({"--link", link, "--return", "0.5", "--fault", "hangup@100000"}, link));
    const std::string big = jpeg_like(300000, 3);
    write_file(card("101BBB/BIG.JPG"), big);
    Shell cut = sh("cat '" + at("101BBB/BIG.JPG") + "' > '" + cwd + "/cut'");
    EXPECT_NE(cut.status, 0);
    EXPECT_NE(cut.out.find("Input/output error"), std::string::npos) << cut.out;
    EXPECT_TRUE(read_file(cwd + "/cut").empty());
    EXPECT_TRUE(expect(s, "line to the camera is gone"));
    read_more(s, 200);
    EXPECT_EQ(count(s.output, "line to the camera is gone"), 1) << s.output;

    // The camera is back: a request a few seconds on connects again.
    bool back = false;
    for (int tries = 0; tries < 30 && !back; tries++) {
        back = sh("cmp '" + at("101BBB/BIG.JPG") + "' '" + card("101BBB/BIG.JPG") + "'").status == 0;
        if (!back)
            sleep(1);
    }
    EXPECT_TRUE(back);
    EXPECT_TRUE(expect(s, "the camera is back"));

    EXPECT_EQ(sh("fusermount3 -u '" + mnt + "'").status, 0);
    EXPECT_EQ(wait_exit(s), 0) << s.output;
    EXPECT_TRUE(camera_switched_off(sim));
}

// A reader interrupted half way through a transfer (on a line paced as a
// real one, so that the transfer takes its time): the transfer ends in
// order through the engine, and the file is whole for the next reader.
TEST_F(MountTest, InterruptedReadLeavesTheLineInOrder)
{
    ASSERT_TRUE(mount({"--pace"}));
    const std::string big = jpeg_like(40000, 9);
    write_file(card("100AAA/BIG.JPG"), big);
    const int before = downloads();
    const pid_t reader = fork();
    if (reader == 0) {
        execlp("cat", "cat", at("100AAA/BIG.JPG").c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 3000 && downloads() == before; i++)
        usleep(10000);
    kill(reader, SIGINT);
    int status = 0;
    waitpid(reader, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));  // it was stopped in its read
    EXPECT_EQ(listed(at("101BBB")), "IMG_0003.JPG\n");
    EXPECT_EQ(sh("cmp '" + at("100AAA/BIG.JPG") + "' '" + card("100AAA/BIG.JPG") + "'").status, 0);
    EXPECT_EQ(downloads(), before + 1);
    // Ctrl-\ ends it as the other termination signals do: unmounted.
    kill(s.pid, SIGQUIT);
    EXPECT_EQ(wait_exit(s), SIGQUIT) << s.output;
    EXPECT_TRUE(camera_switched_off(sim));
    EXPECT_EQ(sh("grep -c ' " + mnt + " ' /proc/mounts").out, "0\n");
}

// What the camera refuses fails the program's call; an upload cut by a
// lost line fails the writer's close, and what came of it on the card is
// deleted once the camera is back.
TEST_F(MountTest, RefusalsAndFailedUpload)
{
    // Single requests: identity 1, drive 2, the delete 3.  The line hangs
    // up half way through the upload.
    const std::string link = make_temp_dir() + "/camera";
    ASSERT_TRUE(mount({"--link", link, "--return", "0.5", "--fault", "refuse-single@3", "--fault",
                       "hangup@150000", "--fault", "refuse@1"}, link));
    // A refused download fails the reader's read; the next reader gets the file.
    Shell cat = sh("cat '" + at("100AAA/IMG_0001.JPG") + "' > '" + cwd + "/refused'");
    EXPECT_NE(cat.status, 0);
    EXPECT_NE(cat.out.find("Input/output error"), std::string::npos) << cat.out;
    EXPECT_TRUE(read_file(cwd + "/refused").empty());
    EXPECT_TRUE(sh("cat '" + at("100AAA/IMG_0001.JPG") + "'").out == photo_bytes("IMG_0001.JPG"));

    Shell rm = sh("rm '" + at("100AAA/IMG_0002.JPG") + "'");
    EXPECT_NE(rm.status, 0);
    EXPECT_NE(rm.out.find("Input/output error"), std::string::npos) << rm.out;
    EXPECT_TRUE(exists(card("100AAA/IMG_0002.JPG")));
    EXPECT_EQ(listed(at("100AAA")), "IMG_0001.JPG\nIMG_0002.JPG\n");

    write_file(cwd + "/in.jpg", jpeg_like(300000, 5));
    Shell cp = sh("cp '" + cwd + "/in.jpg' '" + at("100AAA/IN.JPG") + "'");
    EXPECT_NE(cp.status, 0);
    EXPECT_NE(cp.out.find("Input/output error"), std::string::npos) << cp.out;
    bool back = false;
    for (int tries = 0; tries < 30 && !back; tries++) {
        back = sh("ls '" + at("100AAA") + "'").status == 0;
        if (!back)
            sleep(1);
    }
    EXPECT_TRUE(back);
    EXPECT_EQ(listed(at("100AAA")), "IMG_0001.JPG\nIMG_0002.JPG\n");
    EXPECT_FALSE(exists(card("100AAA/IN.JPG")));
    EXPECT_EQ(sh("fusermount3 -u '" + mnt + "'").status, 0);
    EXPECT_EQ(wait_exit(s), 0) << s.output;
}

// Whether `command` ends within `seconds`.  A reader stuck in a request
// that orvik never answers cannot be killed: orvik is, which ends the mount.
bool ends_within(const std::string &command, int seconds, pid_t server)
{
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", (command + " >/dev/null 2>&1").c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    for (int i = 0; i < seconds * 10; i++) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return true;
        usleep(100000);
    }
    kill(server, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
}

// A camera that stops answering, and is still switched off when the line
// comes back: requests fail, each connection made again gives up after a
// few seconds, and the mount can be ended.
TEST_F(MountTest, SilentCameraNeitherHangsNorKeepsTheMount)
{
    const std::string link = make_temp_dir() + "/camera";
    ASSERT_TRUE(mount({"--link", link, "--return", "0.5", "--fault", "deaf@3"}, link));
    EXPECT_NE(sh("ls '" + mnt + "/DCIM'").status, 0);
    EXPECT_NE(sh("ls '" + mnt + "/DCIM'").status, 0);
    EXPECT_TRUE(expect(s, "the camera does not answer"));
    // The adapter unplugged and plugged in again; the camera still silent.
    kill(sim.pid, SIGUSR2);
    for (int i = 0; i < 100 && count_notes(sim, "back on") == 0; i++)
        usleep(100000);
    for (int tries = 0; tries < 2; tries++) {
        sleep(4);  // a connection is tried again at most every few seconds
        ASSERT_TRUE(ends_within("ls '" + mnt + "/DCIM'", 30, s.pid));
    }
    EXPECT_TRUE(expect(s, "does not answer the synchronisation"));
    EXPECT_EQ(sh("fusermount3 -u '" + mnt + "'").status, 0);
    EXPECT_EQ(wait_exit(s), 0) << s.output;
}

// Nothing is sent to the camera when the mount cannot be made.
TEST(MountStart, NoFolderOrNoFuseDeviceSaysWhyInOneLine)
{
    const std::string dir = make_temp_dir();
    write_file(dir + "/file", "x");
    RunResult r = orvik_run({"-d", "/dev/null", "--mount", dir + "/file"}, "", dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "orvik: cannot mount the camera at " + dir + "/file: not a folder\n");
    r = orvik_run({"-d", "/dev/null", "-l", "--mount", dir}, "", dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
    // A private /dev without the FUSE device, where the system lets us make one.
    if (sh("unshare -m true").status != 0)
        GTEST_SKIP() << "no mount namespace here: the missing /dev/fuse is not tried";
    Shell none = sh("unshare -m sh -c 'mount -t tmpfs none /dev && exec " ORVIK_BIN
                    " -d /dev/null --mount " + dir + "'");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(split_lines(none.out).size(), 1u) << none.out;
    EXPECT_EQ(none.out.rfind("orvik: cannot mount the camera: /dev/fuse: No such file or directory", 0),
              0u) << none.out;
}

}  // namespace

// Thumbnails, the viewer and uploads, end to end: the real orvik against
// the emulator, checking the saved image, the viewer's command line, the
// bytes that land on the card and the requests that crossed the line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e.h"

using namespace e2e;

namespace {

constexpr int kUpload = 16;  // message type of an upload chunk

// Children of a process that still exist (zombies included).
std::string children_of(pid_t pid)
{
    std::string p = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    return read_file(p);
}

// Runs a view command and answers the viewer's question; with a viewer
// log, only once the stand-in has really started for the `shown`th time.
std::string run_answering(Rig &rig, const std::string &line, const std::string &answer,
                          const std::string &log = "", int shown = 0)
{
    size_t from = rig.s.mark;
    send_line(rig.s, line);
    EXPECT_TRUE(expect(rig.s, VIEWER_QUESTION));
    if (!log.empty())
        wait_for_viewer(log, shown);
    send_raw(rig.s, answer);
    EXPECT_TRUE(expect(rig.s, "\n" + PROMPT_START));
    return unix_lines(rig.s.output.substr(from));
}

TEST(Thumbnail, TgetSavesADecodableJpegAndReplacesAnExistingFile)
{
    Rig rig;
    ASSERT_TRUE(rig.start());
    rig.run("cd D:\\DCIM\\100CANON");
    write_file(rig.cwd + "/IMG_0002.JPG", "old contents");

    std::string out = rig.run("tget IMG_0002.JPG");
    EXPECT_NE(out.find("Getting D:\\DCIM\\100CANON\\IMG_0002.JPG, "), std::string::npos) << out;
    EXPECT_NE(out.find("\nDownloaded in "), std::string::npos) << out;
    EXPECT_TRUE(has_line(out, "tget successful")) << out;

    std::string saved = read_file(rig.cwd + "/IMG_0002.JPG");
    ASSERT_GE(saved.size(), 4u);
    EXPECT_EQ(saved.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(saved.substr(saved.size() - 2), "\xFF\xD9");
    std::string cmd = "djpeg -outfile /dev/null '" + rig.cwd + "/IMG_0002.JPG' 2>/dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << "the thumbnail does not decode";
    struct stat st;
    ASSERT_EQ(stat((rig.cwd + "/IMG_0002.JPG").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // A thumbnail sets no mark on the camera: the file is still new.
    out = rig.run("ls");
    EXPECT_NE(out.find("--n-  IMG_0002.JPG"), std::string::npos) << out;
    EXPECT_TRUE(requests(rig.sim, 13).empty());

    // A file that is no JPEG is refused by the camera.
    out = rig.run("tget README");
    EXPECT_TRUE(has_line(out, "tget error")) << out;
    EXPECT_EQ(rig.quit(), 0);
}

// `get` then `tget` of the same photo: the thumbnail would take the
// downloaded photo's name, and the camera already has the photo marked
// downloaded.  The photo stays; an older thumbnail is still replaced.
TEST(Thumbnail, TgetNeverReplacesTheDownloadedPhoto)
{
    Rig rig;
    ASSERT_TRUE(rig.start());
    rig.run("cd D:\\DCIM\\100CANON");
    const std::string card = read_file(rig.sim.card + "/DCIM/100CANON/IMG_0001.JPG");
    ASSERT_TRUE(has_line(rig.run("get IMG_0001.JPG"), "get successful"));
    size_t downloads = requests(rig.sim, 1).size();

    std::string out = rig.run("tget IMG_0001.JPG");
    EXPECT_EQ(out, "IMG_0001.JPG: not saved: it is the downloaded photo, never replaced by "
                   "its thumbnail\ntget error\n");
    EXPECT_EQ(requests(rig.sim, 1).size(), downloads);  // nothing fetched
    EXPECT_TRUE(read_file(rig.cwd + "/IMG_0001.JPG") == card);

    // A file of another size is taken for an older thumbnail.
    ASSERT_TRUE(has_line(rig.run("tget IMG_0002.JPG"), "tget successful"));
    const std::string first = read_file(rig.cwd + "/IMG_0002.JPG");
    write_file(rig.cwd + "/IMG_0002.JPG", "older thumbnail");
    ASSERT_TRUE(has_line(rig.run("tget IMG_0002.JPG"), "tget successful"));
    EXPECT_TRUE(read_file(rig.cwd + "/IMG_0002.JPG") == first);

    // From another folder the listing has no size to tell the photo by: a
    // file that is not this image's earlier thumbnail stays.
    rig.run("cd ..");
    out = rig.run("tget 100CANON\\IMG_0001.JPG");
    EXPECT_EQ(out.substr(out.size() - 11), "tget error\n") << out;
    EXPECT_NE(out.find("IMG_0001.JPG: not saved: it may be the downloaded photo"),
              std::string::npos) << out;
    EXPECT_TRUE(read_file(rig.cwd + "/IMG_0001.JPG") == card);
    ASSERT_TRUE(has_line(rig.run("tget 100CANON\\IMG_0002.JPG"), "tget successful"));
    EXPECT_TRUE(read_file(rig.cwd + "/IMG_0002.JPG") == first);
    EXPECT_EQ(rig.quit(), 0);
}

TEST(Thumbnail, ViewShowsTheImageAndReturnsTheAnswer)
{
    std::string bin = make_temp_dir();
    Rig rig;
    ASSERT_TRUE(rig.start({}, {}, {fake_viewer(bin)}));
    rig.run("cd D:\\DCIM\\100CANON");

    run_answering(rig, "view IMG_0001.JPG", "\r", bin + "/xv.log", 1);
    std::string log = read_file(bin + "/xv.log");
    EXPECT_EQ(log, "./orvik_REMOVE_ME -geometry +200+100\n");
    EXPECT_EQ(std::system(("djpeg -outfile /dev/null '" + rig.cwd +
                           "/orvik_REMOVE_ME' 2>/dev/null").c_str()), 0);
    run_answering(rig, "view IMG_0002.JPG", "q\r", bin + "/xv.log", 2);
    EXPECT_EQ(count(read_file(bin + "/xv.log"), "\n"), 2);
    // The viewers were stopped and reaped.
    EXPECT_EQ(children_of(rig.s.pid), "");

    EXPECT_EQ(rig.quit(), 0);
    EXPECT_NE(access((rig.cwd + "/orvik_REMOVE_ME").c_str(), F_OK), 0)
        << "the temporary thumbnail outlived the program";
}

TEST(Thumbnail, ViewerThatCannotStart)
{
    std::string empty = make_temp_dir();
    Rig rig;
    ASSERT_TRUE(rig.start({}, {}, {"PATH=" + empty}));
    rig.run("cd D:\\DCIM\\100CANON");
    // The child's complaint and the parent's question come in either order.
    const std::string &question = VIEWER_QUESTION;
    size_t from = rig.s.mark;
    send_line(rig.s, "view IMG_0001.JPG");
    ASSERT_TRUE(expect(rig.s, "exec: No such file or directory"));
    if (rig.s.output.find(question, from) == std::string::npos) {
        ASSERT_TRUE(expect(rig.s, question));
    }
    send_raw(rig.s, "\r");
    ASSERT_TRUE(expect(rig.s, "\n" + PROMPT_START));
    expect(rig.s, "> ", 5000);
    EXPECT_EQ(children_of(rig.s.pid), "");
    // The shell goes on as before.
    std::string out = rig.run("lastls");
    EXPECT_NE(out.find("IMG_0001.JPG"), std::string::npos) << out;
    EXPECT_EQ(rig.quit(), 0);
}

// What a view printed between the transfer line and the question; with a
// viewer log, answered only once the stand-in has really started.
std::string before_question(Rig &rig, const std::string &view_line,
                            const std::string &log = "")
{
    size_t from = rig.s.mark;
    send_line(rig.s, view_line);
    EXPECT_TRUE(expect(rig.s, VIEWER_QUESTION));
    std::string out = rig.s.output.substr(from, rig.s.mark - VIEWER_QUESTION.size() - from);
    size_t start = out.find("bytes/s\r\n");
    EXPECT_NE(start, std::string::npos) << out;
    if (!log.empty()) {
        EXPECT_EQ(wait_for_viewer(log, 1), 1) << "the viewer never started";
    }
    send_raw(rig.s, "\r");
    EXPECT_TRUE(expect(rig.s, "\n" + PROMPT_START));
    expect(rig.s, "> ", 5000);
    return start == std::string::npos ? "" : out.substr(start + 9);
}

// Columns a line takes on the screen: escape sequences and application
// program commands (ESC _ ... ESC \, such as the kitty graphics query)
// take none, and each UTF-8 character one.
size_t screen_width(const std::string &line)
{
    size_t width = 0;
    for (size_t i = 0; i < line.size(); i++) {
        if (line.compare(i, 2, "\33_") == 0) {
            size_t end = line.find("\33\\", i + 2);
            i = end == std::string::npos ? line.size() : end + 1;
        } else if (line[i] == '\33') {
            while (i < line.size() && !std::isalpha(static_cast<unsigned char>(line[i])))
                i++;
        } else if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) {
            width++;
        }
    }
    return width;
}

TEST(Thumbnail, DrawnInTheTerminalOnlyWhenNoViewerStarts)
{
    // Readline would wrap its prompt in bracketed-paste switches on this
    // terminal; the harness looks for the plain prompt.
    std::string empty = make_temp_dir();
    write_file(empty + "/inputrc", "set enable-bracketed-paste off\n");
    const std::vector<std::string> colour_term = {"TERM=xterm-256color", "LANG=C.UTF-8",
                                                  "INPUTRC=" + empty + "/inputrc"};
    Rig rig;
    std::vector<std::string> env = colour_term;
    env.push_back("PATH=" + empty);
    ASSERT_TRUE(rig.start({}, {}, env));
    rig.run("cd D:\\DCIM\\100CANON");
    std::string drawn = before_question(rig, "view IMG_0001.JPG");
    // The child's complaint, then the picture: colour escapes on every line,
    // within half the 24-row terminal and 60 columns.
    size_t exec_line = drawn.find("exec: No such file or directory\r\n");
    ASSERT_NE(exec_line, std::string::npos) << drawn;
    drawn.erase(exec_line, 33);
    // The terminal's name tells nothing of graphics, so it was asked; this
    // one does not answer, and gets blocks.
    EXPECT_EQ(drawn.rfind("\33_Gi=31,", 0), 0u) << drawn;
    EXPECT_NE(drawn.find("\33[c"), std::string::npos) << drawn;
    std::vector<std::string> lines = split_lines(unix_lines(drawn));
    EXPECT_GE(lines.size(), 4u) << drawn;
    EXPECT_LE(lines.size(), 12u) << drawn;
    for (const std::string &line : lines) {
        EXPECT_NE(line.find("\33[38;2;"), std::string::npos) << line;
        EXPECT_LE(screen_width(line), 60u) << line;
        EXPECT_GE(screen_width(line), 10u) << line;
    }
    EXPECT_EQ(rig.quit(), 0);

    // With a viewer running, the terminal shows no picture.
    std::string bin = make_temp_dir();
    Rig with_viewer;
    env = colour_term;
    env.push_back(fake_viewer(bin));
    ASSERT_TRUE(with_viewer.start({}, {}, env));
    with_viewer.run("cd D:\\DCIM\\100CANON");
    drawn = before_question(with_viewer, "view IMG_0001.JPG", bin + "/xv.log");
    EXPECT_EQ(drawn, "") << drawn;
    EXPECT_EQ(read_file(bin + "/xv.log"), "./orvik_REMOVE_ME -geometry +200+100\n");
    EXPECT_EQ(with_viewer.quit(), 0);
}

// Piped answers arrive before the viewer has started, or there is no
// viewer at all.  The SIGTERM that stops the viewer must not run orvik's
// termination handler in the child: that would switch the camera off under
// the session that goes on.
TEST(Thumbnail, AnswerBeforeTheViewerStartsLeavesTheCameraOn)
{
    for (bool with_viewer : {false, true}) {
        SCOPED_TRACE(with_viewer ? "xv stand-in" : "no xv");
        Camsim sim = camsim_start();
        ASSERT_FALSE(sim.tty.empty());
        std::string bin = make_temp_dir();
        RunResult r = orvik_run({"-d", sim.tty},
                                "cd D:\\DCIM\\100CANON\nview IMG_0002.JPG\nq\nls\nquit\n",
                                make_temp_dir(), 120000,
                                {with_viewer ? fake_viewer(bin) : "PATH=" + bin,
                                 "TERM=xterm-256color"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.out.find("signal"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\33["), std::string::npos) << "drawn on a pipe";
        EXPECT_EQ(r.err.find("waiting for ACK"), std::string::npos) << r.err;
        size_t asked = r.out.find("(q)uit (enter)nothing\n");
        ASSERT_NE(asked, std::string::npos) << r.out;
        EXPECT_NE(r.out.find("--n-  IMG_0004.JPG", asked), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("bye!\n", asked), std::string::npos) << r.out;
        camsim_stop(sim);
        // Only the end of the run switched the camera off.
        EXPECT_EQ(count_rx(sim, CAMERA_OFF_1), 1);
        EXPECT_TRUE(camera_switched_off(sim));
    }
}

TEST(Upload, ChunksLandOnTheCardAtTheirOffsets)
{
    Rig rig;
    ASSERT_TRUE(rig.start());
    rig.run("cd D:\\DCIM\\101CANON");

    // An empty file sends no request at all.
    write_file(rig.cwd + "/empty.jpg", "");
    std::string out = rig.run("put empty.jpg");
    EXPECT_NE(out.find("0------------------25"), std::string::npos) << out;
    EXPECT_NE(out.find("upload successful"), std::string::npos) << out;
    EXPECT_TRUE(requests(rig.sim, kUpload).empty());

    // 2000 bytes travel as 800, 800 and 400.
    std::string bytes;
    for (int i = 0; i < 2000; i++)
        bytes += static_cast<char>((i * 7 + 3) & 0xFF);
    write_file(rig.cwd + "/photo.jpg", bytes);
    out = rig.run("upload photo.jpg");
    EXPECT_TRUE(has_line(out, "upload successful")) << out;  // not run on from the bar
    EXPECT_EQ(count(out, "."), 80) << out;
    EXPECT_EQ(requests(rig.sim, kUpload).size(), 3u);
    EXPECT_EQ(read_file(rig.sim.card + "/DCIM/101CANON/photo.jpg"), bytes);

    // Two dots without a target are refused; with a target they are fine.
    write_file(rig.cwd + "/a.b.jpg", "xyz");
    out = rig.run("put a.b.jpg");
    EXPECT_TRUE(has_line(out, "sorry, only one dot allowed in target filename")) << out;
    EXPECT_TRUE(has_line(out, "upload error")) << out;
    out = rig.run("put a.b.jpg AB.JPG");
    EXPECT_NE(out.find("upload successful"), std::string::npos) << out;
    EXPECT_EQ(read_file(rig.sim.card + "/DCIM/101CANON/AB.JPG"), "xyz");

    // A full camera path is used whatever the current directory.
    out = rig.run("put a.b.jpg D:\\DCIM\\FULL.JPG");
    EXPECT_NE(out.find("upload successful"), std::string::npos) << out;
    EXPECT_EQ(read_file(rig.sim.card + "/DCIM/FULL.JPG"), "xyz");

    // A long target path leaves room in the one-packet request for a
    // short file only (12 + path + 1 + chunk bytes at most 1000).
    const std::string long_name = std::string(180, 'L') + ".JPG";  // path "D:\\" + 184 = 187
    out = rig.run("put a.b.jpg D:\\" + long_name);
    EXPECT_NE(out.find("upload successful"), std::string::npos) << out;
    EXPECT_EQ(read_file(rig.sim.card + "/" + long_name), "xyz");
    size_t sent = requests(rig.sim, kUpload).size();
    out = rig.run("put photo.jpg D:\\" + long_name);
    // Full 800-byte chunks fit a 187-character path, not a 188-character one.
    EXPECT_NE(out.find("upload successful"), std::string::npos) << out;
    write_file(rig.cwd + "/big.jpg", bytes);
    out = rig.run("put big.jpg D:\\M" + long_name);
    EXPECT_TRUE(has_line(out, "target path too long")) << out;
    EXPECT_TRUE(has_line(out, "upload error")) << out;
    EXPECT_EQ(requests(rig.sim, kUpload).size(), sent + 3);
    EXPECT_EQ(rig.run("disk"), "camera disk: D:\n");

    // Argument counts of put.
    out = rig.run("put");
    EXPECT_TRUE(has_line(out, "usage: put <source> [target]")) << out;
    out = rig.run("put a b c");
    EXPECT_TRUE(has_line(out, "usage: put <source> [target]")) << out;
    out = rig.run("put missing.jpg");
    EXPECT_NE(out.find("open: No such file or directory"), std::string::npos) << out;
    EXPECT_EQ(rig.quit(), 0);
}

// A camera that refuses a chunk: the upload stops there (a later chunk
// would leave a hole), fails, and says what the card holds.
TEST(Upload, RefusedChunkFailsAndSaysWhatIsOnTheCard)
{
    Rig rig;
    ASSERT_TRUE(rig.start({"--fault", "full@800"}));
    write_file(rig.cwd + "/up.txt", std::string(6000, 'u'));
    std::string out = rig.run("put up.txt D:\\NOSUCH\\UP.TXT");
    EXPECT_TRUE(has_line(out, "upload error")) << out;
    EXPECT_NE(out.find("upload D:\\NOSUCH\\UP.TXT: refused by the camera, status 0x02 at byte "
                       "0; nothing of it was stored\n"),
              std::string::npos) << out;
    EXPECT_EQ(requests(rig.sim, kUpload).size(), 1u);

    // A full card takes the first chunk only.
    out = rig.run("put up.txt D:\\DCIM\\UP.TXT");
    EXPECT_TRUE(has_line(out, "upload error")) << out;
    EXPECT_NE(out.find("upload D:\\DCIM\\UP.TXT: refused by the camera, status 0x0b at byte 800; "
                       "the card holds its first 800 of 6000 bytes\n"),
              std::string::npos) << out;
    EXPECT_EQ(out.find("successful"), std::string::npos) << out;
    EXPECT_EQ(requests(rig.sim, kUpload).size(), 3u);
    EXPECT_EQ(read_file(rig.sim.card + "/DCIM/UP.TXT"), std::string(800, 'u'));
    EXPECT_EQ(rig.quit(), 0);
}

}  // namespace

// A line that goes away (the emulator hangs up: a cable pulled, an adapter
// unplugged), a camera that stops answering on a port that stays, a camera
// an earlier run left at another speed, and an adapter that stalls.
#include <gtest/gtest.h>

#include <cstdlib>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "e2e.h"

using namespace e2e;

namespace {

const std::string GONE = "The line to the camera is gone: check the cable and that the camera "
                         "is on, then open or reopen";
const std::string CLOSED = "The connection to the camera is closed: open opens it again";
const std::string NOISY = "The serial line is noisy";

// Processor seconds of the children reaped so far.
double children_cpu()
{
    struct rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// No file of a download left behind half-written, under any name.
void expect_no_partial(const std::string &dir)
{
    for (const std::string &name : local_names(dir))
        EXPECT_EQ(name.find(".orvik-partial"), std::string::npos) << name;
}

TEST(LineLost, DuringTheSynchronisationEndsAtOnceWithOneLine)
{
    Camsim sim = camsim_start({"--fault", "sync@100000"});
    ASSERT_FALSE(sim.tty.empty());
    Session s = orvik_start({"-d", sim.tty}, sim.dir);
    ASSERT_TRUE(expect(s, "Sync: ."));
    const double cpu = children_cpu();
    kill(sim.pid, SIGUSR2);
    EXPECT_EQ(wait_exit(s, 10000), 1);
    EXPECT_LT(children_cpu() - cpu, 0.5);
    EXPECT_EQ(count(s.output, "orvik: " + sim.tty + ": the line to the camera is gone"), 1)
        << s.output;
    camsim_stop(sim);
}

// Unplugged half-way through getallnew: the files before stay whole and
// marked, the one cut off is neither saved nor marked, the walk stops, and
// every later camera command fails at once with the hint (after `close`,
// with the closed one) until the adapter is back and `open` connects again.
TEST(LineLost, InTheMiddleOfGetallnewAndAtThePrompt)
{
    const std::string state = make_temp_dir() + "/attributes";
    const std::string link = make_temp_dir() + "/camera";
    Rig rig;
    rig.sim = camsim_start({"--link", link, "--return", "0.5", "--state", state, "--fault",
                            "hangup@80000"});
    ASSERT_FALSE(rig.sim.tty.empty());
    rig.cwd = make_temp_dir();
    rig.s = orvik_start({"-d", link}, rig.cwd);  // the path that comes back
    ASSERT_TRUE(expect(rig.s, PROMPT_START + "D:> ", 60000));
    rig.run("cd D:\\DCIM\\100CANON");
    std::string out = rig.run("getallnew", 60000);
    EXPECT_NE(out.find("Getting D:\\DCIM\\100CANON\\IMG_0003.JPG"), std::string::npos) << out;
    EXPECT_EQ(out.find("IMG_0004.JPG"), std::string::npos) << out;
    EXPECT_EQ(count(out, GONE), 1) << out;
    EXPECT_EQ(out.find(NOISY), std::string::npos) << out;
    EXPECT_EQ(out.find("serial_get_packet"), std::string::npos) << out;
    EXPECT_EQ(local_names(rig.cwd), (std::set<std::string>{"IMG_0001.JPG", "IMG_0002.JPG"}));
    EXPECT_EQ(read_file(rig.cwd + "/IMG_0002.JPG"),
              read_file(rig.sim.card + "/DCIM/100CANON/IMG_0002.JPG"));
    EXPECT_EQ(read_file(state), "00 DCIM/100CANON/IMG_0001.JPG\n00 DCIM/100CANON/IMG_0002.JPG\n");

    for (const char *command : {"ls", "get IMG_0004.JPG", "id"})
        EXPECT_EQ(rig.run(command, 5000), GONE + "\n") << command;
    EXPECT_EQ(rig.run("close"), "Now the camera should be OFF\n");
    EXPECT_EQ(rig.run("ls", 5000), CLOSED + "\n");
    out = rig.run("open " + rig.cwd + "/no-such-device");
    EXPECT_NE(out.find("failure"), std::string::npos) << out;
    out = rig.run("open " + link);
    EXPECT_NE(out.find("Switching to 115200 bound .OK"), std::string::npos) << out;
    out = rig.run("get D:\\DCIM\\100CANON\\IMG_0003.JPG", 60000);
    EXPECT_NE(out.find("get successful"), std::string::npos) << out;
    EXPECT_EQ(read_file(rig.cwd + "/IMG_0003.JPG"),
              read_file(rig.sim.card + "/DCIM/100CANON/IMG_0003.JPG"));
    expect_no_partial(rig.cwd);
    EXPECT_EQ(rig.quit(), 0);
}

TEST(LineLost, InTheMiddleOfABatchGetEndsWithStatusOne)
{
    Camsim sim = camsim_start({"--fault", "hangup@60000"});
    ASSERT_FALSE(sim.tty.empty());
    const std::string cwd = make_temp_dir();
    RunResult r = orvik_run({"-d", sim.tty, "-n"}, "", cwd, 60000);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.err, "D:\\DCIM\\100CANON\\IMG_0003.JPG: not saved: the line to the camera "
                     "is gone\norvik: " + sim.tty +
                         ": the line to the camera is gone (hang-up, the device removed or its "
                         "cable pulled)\n");
    EXPECT_EQ(local_names(cwd), (std::set<std::string>{"IMG_0001.JPG", "IMG_0002.JPG"}));
    camsim_stop(sim);
}

TEST(LineLost, InTheMiddleOfAnUpload)
{
    Rig rig;
    ASSERT_TRUE(rig.start({"--fault", "hangup@40000"}));
    write_file(rig.cwd + "/BIG.JPG", jpeg_like(100000, 7));
    std::string out = rig.run("upload BIG.JPG", 60000);
    EXPECT_TRUE(has_line(out, "upload error")) << out;
    EXPECT_EQ(count(out, GONE), 1) << out;
    EXPECT_EQ(out.find(NOISY), std::string::npos) << out;
    // What is left on the card is said, and is no more than that.
    const std::string left = "upload D:\\BIG.JPG: the line to the camera is gone; the card holds "
                             "at most its first ";
    const size_t at = out.find(left);
    ASSERT_NE(at, std::string::npos) << out;
    const long most = std::strtol(out.c_str() + at + left.size(), nullptr, 10);
    EXPECT_NE(out.find(" of 100000 bytes\n", at), std::string::npos) << out;
    EXPECT_GT(most, 0);
    EXPECT_LE(static_cast<long>(read_file(rig.sim.card + "/BIG.JPG").size()), most);
    EXPECT_EQ(rig.quit(), 0);
}

// A camera that dies on a port that stays answers nothing at all: the
// walk stops after two such requests instead of trying every file.
TEST(DeafCamera, StopsGetallAndSaysWhatWasNotDone)
{
    Rig rig;
    ASSERT_TRUE(rig.start({"--fault", "deaf@5"}));  // the second download
    rig.run("cd D:\\DCIM\\100CANON");
    std::string out = rig.run("getall", 120000);
    EXPECT_TRUE(has_line(out, "The camera does not answer: 5 of 6 files not downloaded")) << out;
    EXPECT_EQ(count(out, "Getting "), 1) << out;
    EXPECT_EQ(out.find(NOISY), std::string::npos) << out;
    EXPECT_EQ(local_names(rig.cwd), std::set<std::string>{"IMG_0001.JPG"});
    EXPECT_EQ(rig.quit(), 0);
}

TEST(DeafCamera, StopsAnUpload)
{
    Rig rig;
    ASSERT_TRUE(rig.start({"--fault", "deaf@4"}));  // the second chunk
    write_file(rig.cwd + "/BIG.JPG", jpeg_like(50000, 3));
    std::string out = rig.run("upload BIG.JPG", 120000);
    EXPECT_NE(out.find("The camera does not answer: upload stopped at byte"), std::string::npos)
        << out;
    EXPECT_TRUE(has_line(out, "upload error")) << out;
    EXPECT_LE(requests(rig.sim, 16).size(), 2u);
    EXPECT_EQ(rig.quit(), 0);
}

TEST(DeafCamera, StopsTheAttributeAndViewerWalks)
{
    Rig rig;
    ASSERT_TRUE(rig.start({"--fault", "deaf@5"}));  // the second mark
    rig.run("cd D:\\DCIM\\100CANON");
    std::string out = rig.run("protectall", 120000);
    EXPECT_TRUE(has_line(out, "The camera does not answer: 5 of 6 files not changed")) << out;
    EXPECT_EQ(out.find("chmodall terminated"), std::string::npos) << out;
    out = rig.run("viewall", 120000);
    EXPECT_TRUE(has_line(out, "The camera does not answer: 6 of 6 files not shown")) << out;
    EXPECT_EQ(requests(rig.sim, 13).size(), 1u);  // a deaf camera notes nothing more
    EXPECT_EQ(count(out, VIEWER_QUESTION), 0) << out;
    EXPECT_EQ(rig.quit(), 0);
}

// The camera dies before the first thumbnail: none was shown, and the
// count says so, also for those the walk tried before it stopped.
TEST(DeafCamera, ViewallCountsTheThumbnailsNotShown)
{
    Rig rig;
    ASSERT_TRUE(rig.start({"--fault", "deaf@4"}));  // the first thumbnail
    rig.run("cd D:\\DCIM\\100CANON");
    std::string out = rig.run("viewall", 120000);
    EXPECT_TRUE(has_line(out, "The camera does not answer: 6 of 6 files not shown")) << out;
    EXPECT_EQ(count(out, VIEWER_QUESTION), 0) << out;
    EXPECT_EQ(rig.quit(), 0);
}

// Two requests went unanswered while the camera was busy; once it answers
// again, a walk asks it rather than stop on that earlier silence.
TEST(DeafCamera, AWalkAsksACameraThatAnswersAgain)
{
    Rig rig;
    ASSERT_TRUE(rig.start({"--fault", "late@4:50"}));  // the first id below
    rig.run("cd D:\\DCIM\\100CANON");
    for (int i = 0; i < 2; i++) {
        const std::string id = rig.run("id");
        ASSERT_NE(id.find("no reply from the camera"), std::string::npos) << id;
    }
    // The start-up's id, the first one here, and the second once the camera
    // is done with the first.
    for (int i = 0; i < 6000 && requests(rig.sim, 0).size() < 3; i++)
        usleep(10000);
    std::string out = rig.run("protectall", 120000);
    EXPECT_TRUE(has_line(out, "chmodall terminated")) << out;
    EXPECT_EQ(out.find("does not answer"), std::string::npos) << out;
    EXPECT_EQ(rig.quit(), 0);
}

TEST(DeafCamera, EndsABatchGetWithStatusOne)
{
    Camsim sim = camsim_start({"--fault", "deaf@5"});  // the second download
    ASSERT_FALSE(sim.tty.empty());
    const std::string cwd = make_temp_dir();
    RunResult r = orvik_run({"-d", sim.tty, "-n"}, "", cwd, 120000);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("The camera does not answer: the run stopped in 100CANON"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(local_names(cwd).empty());
    camsim_stop(sim);
}

// `orvik -l | head -1`: the reader goes away, and the camera is switched
// off all the same.
TEST(Signals, BrokenPipeSwitchesTheCameraOff)
{
    // The camera takes its time over the requests after the speed switch,
    // so the reader has gone before the listing is written.
    Camsim sim = camsim_start({"--fault", "late@2:1", "--fault", "late@3:1"});
    ASSERT_FALSE(sim.tty.empty());
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(ORVIK_BIN, ORVIK_BIN, "-d", sim.tty.c_str(), "-l", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    // Read until the connection is made, then go away as `head` does.
    std::string seen;
    char block[256];
    ssize_t n;
    while (seen.find("bound .OK") == std::string::npos &&
           (n = read(out[0], block, sizeof block)) > 0)
        seen.append(block, static_cast<size_t>(n));
    EXPECT_NE(seen.find("bound .OK"), std::string::npos) << seen;
    close(out[0]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == SIGPIPE) << status;
    EXPECT_TRUE(camera_switched_off(sim));
    camsim_stop(sim);
}

// A run killed outright leaves the camera connected at 115200, deaf to
// the next run's 9600 bits/s bursts until it is switched off at its speed.
TEST(Connect, FindsACameraLeftAtAnotherSpeed)
{
    Rig rig;
    ASSERT_TRUE(rig.start());
    kill(rig.s.pid, SIGKILL);
    wait_exit(rig.s);
    RunResult r = orvik_run({"-d", rig.sim.tty, "-U"}, "", rig.cwd, 30000);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Switching to 115200 bound .OK"), std::string::npos) << r.out;
    camsim_stop(rig.sim);
}

// The adapter holds the speed request back for a second: the port must
// not switch before the camera's acknowledge.
TEST(Connect, SpeedRequestWaitsForItsAcknowledge)
{
    Camsim sim = camsim_start({"--fault", "stall@1"});  // after the greeting's ACK
    ASSERT_FALSE(sim.tty.empty());
    RunResult r = orvik_run({"-d", sim.tty}, "id\n", sim.dir, 30000);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("camera ID: Canon PowerShot S20"), std::string::npos) << r.out;
    camsim_stop(sim);
}

}  // namespace

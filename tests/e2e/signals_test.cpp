// Termination signals in the middle of the work: during a download, a
// listing, a -g run and the save of a file.  Each leaves no partial local
// file, prints the signal line, switches the camera off with its two frames
// as the last thing sent, ends with the signal's number and leaves the
// camera's mark on the file alone.
//
// The emulator paces the line at 9600 bits per second, so a transfer lasts
// seconds and the signal lands inside it once its first bytes are seen.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <iterator>
#include <pty.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "e2e.h"
#include "traced_run.h"

using namespace e2e;

namespace {

std::string signal_line(int sig)
{
    return "\n--> signal " + std::to_string(sig) + " trapped, close the camera and exit\n";
}

bool wait_for(const std::function<bool()> &done, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool has_note(const Camsim &sim, const std::string &note)
{
    for (const std::string &line : log_lines(sim, "NOTE"))
        if (line == note)
            return true;
    return false;
}

// The emulator may still be sending when orvik has gone: it reads the
// camera-off frames once the packet on the line has left.
void expect_camera_switched_off(const Camsim &sim)
{
    EXPECT_TRUE(wait_for([&] { return camera_switched_off(sim); }, 20000));
}

// Emulator options for a slow line; orvik asks for 9600 with -s.
std::vector<std::string> paced(const std::string &state)
{
    return {"--pace", "--packet-size", "200", "--message-size", "1000", "--state", state};
}

std::string sig_name(const testing::TestParamInfo<int> &info)
{
    switch (info.param) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGQUIT: return "SIGQUIT";
    case SIGHUP: return "SIGHUP";
    default: return "signal" + std::to_string(info.param);
    }
}

struct SignalTest : testing::TestWithParam<int> {
    std::string state = make_temp_dir() + "/attributes";
};

using DuringDownload = SignalTest;
using DuringListing = SignalTest;
using DuringBatchGet = SignalTest;

TEST_P(DuringDownload, LeavesNoFileAndTheMarkSet)
{
    int sig = GetParam();
    Rig rig;
    ASSERT_TRUE(rig.start(paced(state), {"-s", "9600"}));
    rig.run("cd D:\\DCIM\\100CANON");
    send_line(rig.s, "get IMG_0001.JPG");  // 17915 bytes: some 19 s on this line
    ASSERT_TRUE(expect(rig.s, "Getting D:\\DCIM\\100CANON\\IMG_0001.JPG, 17915 bytes\r\n"));
    ASSERT_TRUE(expect(rig.s, "100\r\n"));
    ASSERT_TRUE(expect(rig.s, "."));
    kill(rig.s.pid, sig);
    EXPECT_EQ(wait_exit(rig.s), sig);
    std::string out = unix_lines(rig.s.output);
    EXPECT_NE(out.find(signal_line(sig)), std::string::npos) << out;
    EXPECT_EQ(out.find("Downloaded in"), std::string::npos) << out;
    EXPECT_TRUE(local_names(rig.cwd).empty());
    expect_camera_switched_off(rig.sim);
    EXPECT_TRUE(requests(rig.sim, 13).empty());
    EXPECT_EQ(read_file(state), "");  // every mark as it was
    camsim_stop(rig.sim);
}

TEST_P(DuringListing, EndsBeforeTheListingIsPrinted)
{
    int sig = GetParam();
    Rig rig;
    rig.sim = camsim_start(paced(state));
    ASSERT_FALSE(rig.sim.tty.empty());
    // 200 entries: some 5 s of listing on this line.
    ASSERT_EQ(mkdir((rig.sim.card + "/DCIM/BIG").c_str(), 0755), 0);
    for (int i = 0; i < 200; i++) {
        char name[32];
        std::snprintf(name, sizeof name, "/DCIM/BIG/F%04d.JPG", i);
        write_file(rig.sim.card + name, "x");
    }
    rig.cwd = make_temp_dir();
    rig.s = orvik_start({"-d", rig.sim.tty, "-s", "9600"}, rig.cwd);
    ASSERT_TRUE(expect(rig.s, PROMPT_START + "D:> ", 60000));
    size_t from = rig.s.output.size();
    send_line(rig.s, "cd D:\\DCIM\\BIG");
    ASSERT_TRUE(wait_for([&] { return has_note(rig.sim, "request type=9 path=D:\\DCIM\\BIG"); },
                         30000));
    kill(rig.s.pid, sig);
    EXPECT_EQ(wait_exit(rig.s), sig);
    std::string out = unix_lines(rig.s.output.substr(from));
    EXPECT_NE(out.find(signal_line(sig)), std::string::npos) << out;
    EXPECT_EQ(out.find(" files "), std::string::npos) << "the listing had ended: " << out;
    EXPECT_TRUE(local_names(rig.cwd).empty());
    expect_camera_switched_off(rig.sim);
    EXPECT_TRUE(requests(rig.sim, 13).empty());
    camsim_stop(rig.sim);
}

TEST_P(DuringBatchGet, KeepsTheFinishedFileAndLeavesNoPartOfTheNext)
{
    int sig = GetParam();
    Camsim sim = camsim_start(paced(state), false);
    ASSERT_FALSE(sim.tty.empty());
    std::string small(300, 's'), big(12000, 'b');
    ASSERT_EQ(mkdir((sim.card + "/DCIM/100AAA").c_str(), 0755), 0);
    write_file(sim.card + "/DCIM/100AAA/A.JPG", small);
    write_file(sim.card + "/DCIM/100AAA/B.JPG", big);
    std::string cwd = make_temp_dir();
    Session s = orvik_start({"-d", sim.tty, "-s", "9600", "-g"}, cwd);
    ASSERT_TRUE(expect(s, "Getting D:\\DCIM\\100AAA\\B.JPG, 12000 bytes\r\n", 60000));
    ASSERT_TRUE(expect(s, "100\r\n"));
    ASSERT_TRUE(expect(s, "."));
    kill(s.pid, sig);
    EXPECT_EQ(wait_exit(s), sig);
    std::string out = unix_lines(s.output);
    EXPECT_NE(out.find(signal_line(sig)), std::string::npos) << out;
    EXPECT_EQ(local_names(cwd), std::set<std::string>{"A.JPG"});
    EXPECT_EQ(read_file(cwd + "/A.JPG"), small);
    expect_camera_switched_off(sim);
    // A.JPG was marked downloaded, B.JPG kept its mark.
    EXPECT_EQ(read_file(state), "00 DCIM/100AAA/A.JPG\n");
    camsim_stop(sim);
}

// SIGHUP: the ssh session dropped.
INSTANTIATE_TEST_SUITE_P(Signals, DuringDownload,
                         testing::Values(SIGINT, SIGTERM, SIGQUIT, SIGHUP), sig_name);
INSTANTIATE_TEST_SUITE_P(Signals, DuringListing, testing::Values(SIGINT, SIGTERM), sig_name);
INSTANTIATE_TEST_SUITE_P(Signals, DuringBatchGet, testing::Values(SIGINT, SIGTERM), sig_name);

// The signal arrives right after one system call of the save itself
// (strace delivers it when the call is entered, the call still runs).
// Until the rename the file exists only under its temporary name, which
// must go; from the link on the complete file stays under its own name,
// still marked new since the camera was never told.
TEST(Signals, DuringTheSave)
{
    if (!strace_available())
        GTEST_SKIP() << "strace not available";
    struct Point {
        const char *syscall;
        int nth;
        bool saved;
        int sig;
    };
    const Point points[] = {
        {"openat", 1, false, SIGTERM},  // the temporary file was just created
        {"write", 1, false, SIGINT},    // its bytes written
        {"fsync", 1, false, SIGQUIT},   // and synced
        {"close", 1, false, SIGTERM},
        {"linkat", 1, true, SIGINT},    // linked under the final name
        {"unlink", 1, true, SIGTERM},   // the temporary name removed
        {"fsync", 2, true, SIGTERM},    // the directory synced
    };
    struct Started {
        Point point;
        Camsim sim;
        std::string state, cwd;
        TracedRun run;
    };
    std::vector<Started> runs;
    for (const Point &p : points) {
        OnePhoto card = one_photo_card();
        if (card.sim.tty.empty())
            continue;
        Started s{p, card.sim, card.state, card.cwd, {}};
        std::string action = std::string("signal=") + (p.sig == SIGINT    ? "SIGINT"
                                                       : p.sig == SIGQUIT ? "SIGQUIT"
                                                                          : "SIGTERM");
        s.run = traced_start({"-d", s.sim.tty}, "cd D:\\DCIM\\100AAA\nget A.JPG\nquit\n", s.cwd,
                             {p.syscall, action, p.nth});
        runs.push_back(s);
    }
    ASSERT_EQ(runs.size(), std::size(points));
    for (Started &s : runs) {
        SCOPED_TRACE(std::string(s.point.syscall) + "@" + std::to_string(s.point.nth));
        RunResult r = traced_finish(s.run);
        camsim_stop(s.sim);
        EXPECT_EQ(r.status, s.point.sig) << r.out << r.err;
        EXPECT_NE(r.out.find(signal_line(s.point.sig)), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("get successful"), std::string::npos) << r.out;
        if (s.point.saved) {
            EXPECT_EQ(local_names(s.cwd), std::set<std::string>{"A.JPG"});
            EXPECT_EQ(read_file(s.cwd + "/A.JPG"), photo_bytes("A.JPG"));
        } else {
            EXPECT_TRUE(local_names(s.cwd).empty());
        }
        EXPECT_TRUE(requests(s.sim, 13).empty());
        EXPECT_EQ(read_file(s.state), "");
        EXPECT_TRUE(camera_switched_off(s.sim));
    }
}

// The camera-off frames a termination signal sends take the same way as
// those of an orderly end: in A50 mode one byte per write with a pause after
// each, since the A50 loses bytes that follow each other closely, and in
// debug mode traced like every other run written.  The signal comes while
// orvik waits for the camera's answer to its first synchronisation burst on
// a line where nobody answers.
TEST(Signals, CameraOffFramesArePacedAndTracedInA50Mode)
{
    if (!strace_available())
        GTEST_SKIP() << "strace not available";
    int master, slave;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    std::string cwd = make_temp_dir();
    std::string log = cwd + ".strace";
    Tamper wait_then_signal{"?poll,ppoll", "signal=SIGTERM", 1,
                            "write,?nanosleep,clock_nanosleep", log};
    RunResult r =
        traced_finish(traced_start({"-a", "-D", "-d", name}, "", cwd, wait_then_signal));
    close(slave);
    close(master);
    EXPECT_EQ(r.status, SIGTERM) << r.out << r.err;
    EXPECT_NE(r.out.find(signal_line(SIGTERM)), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "WRITE: (6 bytes)\n"
                     "00000000: C0 00 02 55 2C C1                               - ...U,.\n"
                     "WRITE: (10 bytes)\n"
                     "00000000: C0 00 04 01 00 00 00 24 C6 C1                   - .......$..\n");

    // After the signal: the port's writes, each followed by a pause.  The
    // log spells every path and byte in hexadecimal.
    std::string port = "<";
    for (const char *c = name; *c != 0; c++) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(*c));
        port += hex;
    }
    port += ">, ";
    std::vector<std::string> after;
    bool signalled = false;
    for (const std::string &line : split_lines(read_file(log))) {
        if (line.find("--- SIGTERM") != std::string::npos)
            signalled = true;
        else if (signalled && (line.find("nanosleep(") != std::string::npos ||
                               line.find(port) != std::string::npos))
            after.push_back(line);
    }
    const char *const off[] = {"c0", "00", "02", "55", "2c", "c1", "c0", "00",
                               "04", "01", "00", "00", "00", "24", "c6", "c1"};
    ASSERT_GE(after.size(), 2 * std::size(off)) << read_file(log);
    for (size_t i = 0; i < std::size(off); i++) {
        EXPECT_NE(after[2 * i].find(port + "\"\\x" + off[i] + "\", 1) = 1"),
                  std::string::npos)
            << after[2 * i];
        EXPECT_NE(after[2 * i + 1].find("nanosleep("), std::string::npos) << after[2 * i + 1];
    }
}

}  // namespace

// The temporary name held by a symbolic link: both ways out (quit, and a
// signal, whose handler may not use stdio) warn and leave the link.
TEST(Signals, TemporaryNameHeldByALinkIsLeftWithAWarning)
{
    for (int sig : {0, SIGTERM}) {  // 0: the orderly end by quit
        Rig rig;
        ASSERT_TRUE(rig.start());
        const std::string link = rig.cwd + "/orvik_REMOVE_ME";
        ASSERT_EQ(symlink("elsewhere", link.c_str()), 0);
        size_t from = rig.s.output.size();
        if (sig == 0)
            send_line(rig.s, "quit");
        else
            kill(rig.s.pid, sig);
        EXPECT_EQ(wait_exit(rig.s), sig);
        std::string out = unix_lines(rig.s.output.substr(from));
        EXPECT_NE(out.find("WARNING, ./orvik_REMOVE_ME is a symbolic link\n"), std::string::npos)
            << out;
        struct stat st;
        EXPECT_EQ(lstat(link.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        camsim_stop(rig.sim);
    }
}

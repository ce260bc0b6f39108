// Bringing the link up against the emulated camera, also under faults.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e.h"
#include "traced_run.h"

using namespace e2e;

namespace {

// Starts orvik as the unprivileged user 65534 in `cwd` with standard input
// from `in`; stdout and stderr go to files beside cwd.
TracedRun start_unprivileged(const std::string &bin, const std::vector<std::string> &args, int in,
                             const std::string &cwd)
{
    TracedRun run;
    run.out_path = cwd + ".out";
    run.err_path = cwd + ".err";
    std::vector<std::string> argv = {bin};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> c_argv;
    for (std::string &a : argv)
        c_argv.push_back(a.data());
    c_argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(run.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(run.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        if (chdir(cwd.c_str()) != 0 || setgroups(0, nullptr) != 0 || setgid(65534) != 0 ||
            setuid(65534) != 0)
            _exit(126);
        execv(bin.c_str(), c_argv.data());
        _exit(127);
    }
    run.pid = pid;
    return run;
}

bool file_shows(const std::string &path, const std::string &text)
{
    for (int i = 0; i < 600; i++) {
        if (read_file(path).find(text) != std::string::npos)
            return true;
        usleep(50000);
    }
    return false;
}

// A terminal's exclusive mode outlives the descriptor on a pseudo-terminal
// whose camera side stays open; only root may open such a device.  An
// ordinary user must be able to run orvik again after any way it ended.
TEST(Connect, OrdinaryUserCanConnectAgainAfterEveryEnd)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run as another user";
    Camsim sim = camsim_start();
    ASSERT_FALSE(sim.tty.empty());
    ASSERT_EQ(chmod(sim.tty.c_str(), 0666), 0);
    const std::string opened = "Open " + sim.tty + ": OK\n";
    // The build tree may lie below a directory only its owner may enter
    // (a checkout in a mktemp -d folder): the other user runs a copy.
    const std::string bin_dir = make_temp_dir();
    const std::string bin = bin_dir + "/orvik";
    fs::copy_file(ORVIK_BIN, bin);
    ASSERT_EQ(chmod(bin_dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(bin.c_str(), 0755), 0);
    int null_in = open("/dev/null", O_RDONLY);
    ASSERT_GE(null_in, 0);

    // The orderly end of -U.
    RunResult r = traced_finish(start_unprivileged(bin, {"-U", "-d", sim.tty}, null_in, sim.dir));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(opened), std::string::npos) << r.out;

    // A termination signal at the prompt.
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    TracedRun run = start_unprivileged(bin, {"-d", sim.tty}, in[0], sim.dir);
    close(in[0]);
    EXPECT_TRUE(file_shows(run.out_path, "D:> ")) << read_file(run.out_path);
    kill(run.pid, SIGTERM);
    r = traced_finish(run);
    close(in[1]);
    EXPECT_EQ(r.status, SIGTERM) << r.out << r.err;
    EXPECT_NE(r.out.find(opened), std::string::npos) << r.out;

    r = traced_finish(start_unprivileged(bin, {"-U", "-d", sim.tty}, null_in, sim.dir));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(opened), std::string::npos) << r.out;
    close(null_in);
    camsim_stop(sim);
}

TEST(Connect, FourLinesPromptAndCameraOffAtQuit)
{
    Camsim sim = camsim_start();
    ASSERT_FALSE(sim.tty.empty());
    Session s = orvik_start({"-d", sim.tty}, sim.dir);
    ASSERT_TRUE(expect(s, "Orvik -- version " ORVIK_VERSION "\r\n\r\nOpen " + sim.tty + ": OK\r\nSync: "));
    ASSERT_TRUE(expect(s, "\r\n::Canon PowerShot S20 emulated::\r\n"
                          "Switching to 115200 bound .OK\r\n"));
    ASSERT_TRUE(expect(s, PROMPT_START + "D:> "));
    send_line(s, "quit");
    EXPECT_TRUE(expect(s, "bye!\r\n"));
    EXPECT_EQ(wait_exit(s), 0);
    EXPECT_EQ(count_rx(sim, CAMERA_OFF_1), 1);
    EXPECT_TRUE(camera_switched_off(sim));
    // The handshake numbering on a fresh link: ACK 0 for the greeting, EOT 0
    // after the speed frame, the first probe numbered 1.
    EXPECT_EQ(count_rx(sim, control_frame_hex(0, PKT_ACK, 0)), 1);
    EXPECT_GE(count_rx(sim, control_frame_hex(0, PKT_EOT, 1)), 1);
    EXPECT_EQ(count_rx(sim, control_frame_hex(1, PKT_EOT, 0)), 1);
    camsim_stop(sim);
}

TEST(Connect, CameraTextsCannotDriveTheTerminal)
{
    // The greeting and the identity are the camera's own texts; an escape
    // sequence in them must not reach the terminal, the prompt included.
    Camsim sim = camsim_start({"--greeting", "Hi\x1b[2J", "--id", "S20\x1b]0;x\x07"});
    ASSERT_FALSE(sim.tty.empty());
    RunResult r = orvik_run({"-d", sim.tty}, "id\n", sim.dir);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n::Hi?[2J::\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("camera ID: S20?]0;x?\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[S20?]0;x?] D:> "), std::string::npos) << r.out;
    camsim_stop(sim);
}

TEST(Connect, SwitchOffModeOnlyConnects)
{
    Camsim sim = camsim_start();
    RunResult r = orvik_run({"-U", "-d", sim.tty}, "", sim.dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Switching to 115200 bound .OK\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("> "), std::string::npos);
    EXPECT_TRUE(camera_switched_off(sim));
    camsim_stop(sim);
}

TEST(Connect, UnansweredSyncBurstsPrintDots)
{
    Camsim sim = camsim_start({"--fault", "sync@3"});
    Session s = orvik_start({"-d", sim.tty}, sim.dir);
    EXPECT_TRUE(expect(s, "Sync: ..\r\n::Canon PowerShot S20 emulated::\r\n"));
    ASSERT_TRUE(expect(s, PROMPT_START + "D:> "));
    send_line(s, "quit");
    EXPECT_EQ(wait_exit(s), 0);
    camsim_stop(sim);
}

// After ten seconds of silence the user learns what to check, once; the
// dots go on and a late answer still connects.
TEST(Connect, LongSilenceGetsOneHint)
{
    Camsim sim = camsim_start({"--fault", "sync@29"});
    Session s = orvik_start({"-d", sim.tty}, sim.dir);
    // The emulator keeps the terminal's side open, and is named as a
    // program that may take the camera's answers.
    const std::string hint = "\r\nNo answer from the camera yet: check that it is switched on and "
                             "set to PC mode, and that its cable is on " + sim.tty +
                             "; orvik-camsim (pid " + std::to_string(sim.pid) +
                             ") also has it open and may take the camera's answers: end that "
                             "program\r\n";
    ASSERT_TRUE(expect(s, "Sync: ", 10000));
    size_t dots = s.mark;
    ASSERT_TRUE(expect(s, hint, 30000));
    // 0.4 s per burst: some 25 dots came first.
    EXPECT_GE(s.mark - hint.size() - dots, 20u);
    EXPECT_TRUE(expect(s, ".\r\n::Canon PowerShot S20 emulated::\r\n"));
    ASSERT_TRUE(expect(s, PROMPT_START + "D:> "));
    EXPECT_EQ(s.output.find(hint, s.output.find(hint) + 1), std::string::npos);
    send_line(s, "quit");
    EXPECT_EQ(wait_exit(s), 0);
    camsim_stop(sim);
}

TEST(Connect, UnansweredProbesRepeatTheirNumber)
{
    Camsim sim = camsim_start({"--fault", "probe@2"});
    Session s = orvik_start({"-d", sim.tty}, sim.dir);
    EXPECT_TRUE(expect(s, "Switching to 115200 bound ...OK\r\n"));
    ASSERT_TRUE(expect(s, PROMPT_START + "D:> "));
    // All three probes carried number 1; none carried 2 or 3.
    EXPECT_EQ(count_rx(sim, control_frame_hex(1, PKT_EOT, 0)), 3);
    EXPECT_EQ(count_rx(sim, control_frame_hex(3, PKT_EOT, 0)), 0);
    send_line(s, "quit");
    EXPECT_EQ(wait_exit(s), 0);
    camsim_stop(sim);
}

TEST(Connect, TenUnansweredProbesAreAProtocolError)
{
    Camsim sim = camsim_start({"--fault", "probe@10"});
    Session s = orvik_start({"-d", sim.tty}, sim.dir);
    EXPECT_TRUE(expect(s, "Switching to 115200 bound ..........protocol error\r\n", 60000));
    EXPECT_EQ(wait_exit(s), 1);
    // The camera took the new speed request: it is switched off again.
    EXPECT_TRUE(camera_switched_off(sim));
    camsim_stop(sim);
}

TEST(Connect, RequestWithoutAnyReplyIsNotSentAgain)
{
    // Requests 1 and 2 are the identity and the drive name of the start-up.
    // The camera acknowledges the third and its reply is lost: after a read
    // timeout orvik says it waits longer and a NACK has the camera send the
    // reply again; the request, acknowledged, is never sent twice.
    Camsim sim = camsim_start({"--fault", "silent-reply@3"});
    Session s = orvik_start({"-d", sim.tty}, sim.dir);
    ASSERT_TRUE(expect(s, PROMPT_START + "D:> "));
    send_line(s, "id");
    EXPECT_TRUE(expect(s, "camera ID: Canon PowerShot S20\r\n", 60000));
    EXPECT_TRUE(expect(s, PROMPT_START + "D:> "));
    EXPECT_EQ(s.output.find("error waiting"), std::string::npos) << s.output;
    EXPECT_NE(s.output.find("waiting longer"), std::string::npos) << s.output;
    EXPECT_EQ(count_notes(sim, "request type=0"), 2);
    send_line(s, "quit");
    EXPECT_EQ(wait_exit(s), 0);
    camsim_stop(sim);
}

TEST(Connect, CameraLeavingPcModeEndsTheProgram)
{
    Camsim sim = camsim_start({"--fault", "pcmode@3"});
    Session s = orvik_start({"-d", sim.tty}, sim.dir);
    ASSERT_TRUE(expect(s, PROMPT_START + "D:> "));
    send_line(s, "disk");
    EXPECT_TRUE(expect(s, "*** your camera is no longer in PC mode, exit\r\n"));
    EXPECT_EQ(wait_exit(s), 1);
    EXPECT_EQ(count_rx(sim, CAMERA_OFF_1), 0);
    camsim_stop(sim);
}

}  // namespace

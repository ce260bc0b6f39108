// Bringing the link up against the emulated camera, also under faults.
#include <gtest/gtest.h>

#include "e2e_util.h"

namespace {

TEST(Connect, FourLinesPromptAndCameraOffAtQuit)
{
    Camsim sim = camsim_start();
    ASSERT_FALSE(sim.tty.empty());
    Session s = orvik_start({"-d", sim.tty}, sim.dir);
    ASSERT_TRUE(expect(s, "Orvik -- version 0.2.2\r\n\r\nOpen " + sim.tty + ": OK\r\nSync: "));
    ASSERT_TRUE(expect(s, "\r\n::Canon PowerShot S20 emulated::\r\n"
                          "Switching to 115200 bound .OK\r\n"));
    ASSERT_TRUE(expect(s, PROMPT));
    send_line(s, "quit");
    EXPECT_TRUE(expect(s, "bye!\r\n"));
    EXPECT_EQ(wait_exit(s), 0);
    EXPECT_EQ(count_rx(sim, CAMERA_OFF_1), 1);
    EXPECT_TRUE(ends_with_camera_off(sim));
    // The handshake numbering on a fresh link: ACK 0 for the greeting, EOT 0
    // after the speed frame, the first probe numbered 1.
    EXPECT_EQ(count_rx(sim, control_frame_hex(0, PKT_ACK, 0)), 1);
    EXPECT_GE(count_rx(sim, control_frame_hex(0, PKT_EOT, 1)), 1);
    EXPECT_EQ(count_rx(sim, control_frame_hex(1, PKT_EOT, 0)), 1);
    camsim_stop(sim);
}

TEST(Connect, SwitchOffModeOnlyConnects)
{
    Camsim sim = camsim_start();
    RunResult r = orvik_run({"-U", "-d", sim.tty}, "", sim.dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Switching to 115200 bound .OK\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("> "), std::string::npos);
    EXPECT_TRUE(ends_with_camera_off(sim));
    camsim_stop(sim);
}

TEST(Connect, UnansweredSyncBurstsPrintDots)
{
    Camsim sim = camsim_start({"--fault", "sync@3"});
    Session s = orvik_start({"-d", sim.tty}, sim.dir);
    EXPECT_TRUE(expect(s, "Sync: ..\r\n::Canon PowerShot S20 emulated::\r\n"));
    ASSERT_TRUE(expect(s, PROMPT));
    send_line(s, "quit");
    EXPECT_EQ(wait_exit(s), 0);
    camsim_stop(sim);
}

TEST(Connect, UnansweredProbesRepeatTheirNumber)
{
    Camsim sim = camsim_start({"--fault", "probe@2"});
    Session s = orvik_start({"-d", sim.tty}, sim.dir);
    EXPECT_TRUE(expect(s, "Switching to 115200 bound ...OK\r\n"));
    ASSERT_TRUE(expect(s, PROMPT));
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
    // A failed connection does not switch the camera off.
    EXPECT_EQ(count_rx(sim, CAMERA_OFF_1), 0);
    camsim_stop(sim);
}

TEST(Connect, RequestWithoutAnyReplyIsSentAgain)
{
    // Requests 1 and 2 are the identity and the drive name of the start-up.
    // The camera acknowledges the third and answers nothing: after a read
    // timeout the identity request goes again and is answered.
    Camsim sim = camsim_start({"--fault", "silent-reply@3"});
    Session s = orvik_start({"-d", sim.tty}, sim.dir);
    ASSERT_TRUE(expect(s, PROMPT));
    send_line(s, "id");
    EXPECT_TRUE(expect(s, "camera ID: Canon PowerShot S20\r\n", 60000));
    EXPECT_TRUE(expect(s, PROMPT));
    EXPECT_EQ(s.output.find("error waiting"), std::string::npos) << s.output;
    EXPECT_EQ(count_notes(sim, "request type=0"), 3);
    send_line(s, "quit");
    EXPECT_EQ(wait_exit(s), 0);
    camsim_stop(sim);
}

TEST(Connect, CameraLeavingPcModeEndsTheProgram)
{
    Camsim sim = camsim_start({"--fault", "pcmode@3"});
    Session s = orvik_start({"-d", sim.tty}, sim.dir);
    ASSERT_TRUE(expect(s, PROMPT));
    send_line(s, "disk");
    EXPECT_TRUE(expect(s, "*** your camera is no longer in PC mode, exit\r\n"));
    EXPECT_EQ(wait_exit(s), 1);
    EXPECT_EQ(count_rx(sim, CAMERA_OFF_1), 0);
    camsim_stop(sim);
}

}  // namespace

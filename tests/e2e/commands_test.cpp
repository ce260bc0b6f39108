// The interactive commands against the emulated camera, as a user at a
// terminal sees them.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstdint>
#include <ctime>
#include <sys/statvfs.h>

#include "e2e.h"

using namespace e2e;

namespace {

struct Connected {
    Camsim sim;
    Session s;
};

Connected connect(const std::vector<std::string> &camsim_args = {},
                  const std::vector<std::string> &orvik_args = {})
{
    Connected c;
    c.sim = camsim_start(camsim_args);
    std::vector<std::string> args = {"-d", c.sim.tty};
    args.insert(args.end(), orvik_args.begin(), orvik_args.end());
    c.s = orvik_start(args, c.sim.dir);
    EXPECT_TRUE(expect(c.s, PROMPT_START + "D:> "));
    return c;
}

void quit(Connected &c)
{
    send_line(c.s, "quit");
    EXPECT_TRUE(expect(c.s, "bye!\r\n"));
    EXPECT_EQ(wait_exit(c.s), 0);
    EXPECT_TRUE(camera_switched_off(c.sim));
    camsim_stop(c.sim);
}

// Runs one command and waits for the next prompt.
bool command(Connected &c, const std::string &line, const std::string &want,
             int timeout_ms = 30000)
{
    send_line(c.s, line);
    bool seen = expect(c.s, want, timeout_ms);
    return expect(c.s, PROMPT_START + "D:> ", timeout_ms) && seen;
}

TEST(Commands, IdentityDiskAndSpace)
{
    Connected c = connect({"--firmware", "1.2.3.4"});
    EXPECT_TRUE(command(c, "id", "camera ID: Canon PowerShot S20\r\nfirmware : 1.2.3.4\r\n"));
    EXPECT_TRUE(command(c, "disk", "camera disk: D:\r\n"));
    // The emulator reports the size of the card's file system.
    struct statvfs vfs {};
    ASSERT_EQ(statvfs(c.sim.card.c_str(), &vfs), 0);
    long long total = static_cast<long long>(vfs.f_blocks) * static_cast<long long>(vfs.f_frsize);
    int size = total > INT32_MAX ? INT32_MAX : static_cast<int>(total);
    send_line(c.s, "diskinfo D");
    EXPECT_TRUE(expect(c.s, "Disk size: " + std::to_string(size) + " bytes (" +
                                std::to_string(size / 1024) + " K)\r\navailable: "));
    EXPECT_TRUE(expect(c.s, " K)\r\n" + PROMPT_START + "D:> "));
    EXPECT_TRUE(command(c, "diskinfo E", "Disk info unavailable for E:\r\n"));
    EXPECT_TRUE(command(c, "diskinfo", "not enough arguments\r\n"));
    EXPECT_TRUE(command(c, "diskinfo D E", "not enough arguments\r\n"));
    // The letter travels as typed: the emulator knows "d" too.
    EXPECT_TRUE(command(c, "diskinfo d", "Disk size: "));
    quit(c);
}

TEST(Commands, PowerSources)
{
    Connected ac = connect({"--power", "ac"});
    EXPECT_TRUE(command(ac, "power", "The camera is using the AC adapter\r\n"));
    quit(ac);
    Connected high = connect({"--power", "high"});
    EXPECT_TRUE(command(high, "power",
                        "The camera is using the battery\r\nbattery level is HIGH\r\n"));
    quit(high);
    Connected low = connect({"--power", "low"});
    EXPECT_TRUE(command(low, "power",
                        "The camera is using the battery\r\nbattery level is LOW\r\n"));
    quit(low);
}

TEST(Commands, DateIsLocalWallClock)
{
    Connected c = connect();
    send_line(c.s, "date");
    ASSERT_TRUE(expect(c.s, "Camera date: "));
    ASSERT_TRUE(expect(c.s, "\r\n"));
    size_t end = c.s.mark - 2;
    size_t begin = c.s.output.rfind("Camera date: ", end) + 13;
    std::string text = c.s.output.substr(begin, end - begin);
    struct tm tm{};
    ASSERT_NE(strptime(text.c_str(), "%a %b %d %H:%M:%S %Y", &tm), nullptr) << text;
    tm.tm_isdst = -1;
    double diff = std::difftime(std::mktime(&tm), std::time(nullptr));
    EXPECT_LT(std::abs(diff), 180.0) << text;
    ASSERT_TRUE(expect(c.s, PROMPT_START + "D:> "));
    quit(c);
}

TEST(Commands, PingSpeedAndReconnection)
{
    Connected c = connect();
    send_line(c.s, "ping");
    for (int i = 0; i < 4; i++)
        EXPECT_TRUE(expect(c.s, "pong " + std::to_string(i) + ", "));
    ASSERT_TRUE(expect(c.s, PROMPT_START + "D:> "));

    EXPECT_TRUE(command(c, "speed", "Current serial speed: 115200\r\n"));
    EXPECT_TRUE(command(c, "speed 7", "Invalid speed 7\r\nTry 9600, 19200, 38400, 57600, 115200.\r\n"));
    int syncs = count_notes(c.sim, "sync");
    EXPECT_GE(syncs, 1);
    send_line(c.s, "speed 115200");
    ASSERT_TRUE(expect(c.s, PROMPT_START + "D:> "));
    EXPECT_EQ(count_notes(c.sim, "sync"), syncs);

    // A new speed means a full new connection.
    send_line(c.s, "speed 9600");
    EXPECT_TRUE(expect(c.s, "Open " + c.sim.tty + ": OK\r\nSync: "));
    EXPECT_TRUE(expect(c.s, "Switching to 9600 bound .OK\r\n"));
    ASSERT_TRUE(expect(c.s, PROMPT_START + "D:> "));
    EXPECT_EQ(count_notes(c.sim, "sync"), syncs + 1);
    EXPECT_TRUE(command(c, "speed", "Current serial speed: 9600\r\n"));
    EXPECT_TRUE(command(c, "id", "camera ID: Canon PowerShot S20\r\n"));
    quit(c);
}

TEST(Commands, CloseOpenReopen)
{
    Connected c = connect();
    EXPECT_TRUE(command(c, "close", "Now the camera should be OFF\r\n"));
    EXPECT_EQ(count_rx(c.sim, CAMERA_OFF_1), 1);
    // Closing again sends nothing.
    EXPECT_TRUE(command(c, "close", "Now the camera should be OFF\r\n"));
    EXPECT_EQ(count_rx(c.sim, CAMERA_OFF_1), 1);
    send_line(c.s, "open");
    EXPECT_TRUE(expect(c.s, "Open " + c.sim.tty + ": OK\r\n"));
    EXPECT_TRUE(expect(c.s, "Switching to 115200 bound .OK\r\n"));
    ASSERT_TRUE(expect(c.s, PROMPT_START + "D:> "));
    int syncs = count_notes(c.sim, "sync");
    // Open while connected does nothing.
    send_line(c.s, "open");
    ASSERT_TRUE(expect(c.s, PROMPT_START + "D:> "));
    EXPECT_EQ(count_notes(c.sim, "sync"), syncs);
    send_line(c.s, "reopen");
    EXPECT_TRUE(expect(c.s, "Switching to 115200 bound .OK\r\n"));
    ASSERT_TRUE(expect(c.s, PROMPT_START + "D:> "));
    EXPECT_EQ(count_notes(c.sim, "sync"), syncs + 1);
    EXPECT_EQ(count_rx(c.sim, CAMERA_OFF_1), 2);
    EXPECT_TRUE(command(c, "disk", "camera disk: D:\r\n"));
    quit(c);
}

TEST(Commands, TogglesAndDebugTrace)
{
    Connected c = connect();
    EXPECT_TRUE(command(c, "debug", "debug is on\r\n"));
    send_line(c.s, "disk");
    EXPECT_TRUE(expect(c.s, "WRITE: ("));
    EXPECT_TRUE(expect(c.s, "RECV: ("));
    EXPECT_TRUE(expect(c.s, "camera disk: D:\r\n"));
    ASSERT_TRUE(expect(c.s, PROMPT_START + "D:> "));
    EXPECT_TRUE(command(c, "debug", "debug is off\r\n"));
    EXPECT_TRUE(command(c, "overwrite", "overwrite mode ON\r\n"));
    EXPECT_TRUE(command(c, "overwrite", "overwrite mode OFF\r\n"));
    EXPECT_TRUE(command(c, "clear", "\33[H\33[2J"));
    quit(c);
}

TEST(Commands, UnknownNamesAndArgumentRules)
{
    Connected c = connect();
    EXPECT_TRUE(command(c, "frobnicate now", "unknown command 'frobnicate', try 'help'\r\n"));
    EXPECT_TRUE(command(c, "ID", "unknown command 'ID', try 'help'\r\n"));
    EXPECT_TRUE(command(c, "QUIT", "unknown command 'QUIT', try 'help'\r\n"));
    EXPECT_TRUE(command(c, "get a b", "not enough arguments\r\n"));
    EXPECT_TRUE(command(c, "put a b c", "usage: put <source> [target]\r\n"));
    EXPECT_TRUE(command(c, "upload", "usage: put <source> [target]\r\n"));
    // A line of spaces runs nothing.
    size_t before = c.s.output.size();
    send_line(c.s, "    ");
    ASSERT_TRUE(expect(c.s, PROMPT_START + "D:> "));
    EXPECT_EQ(c.s.output.find("unknown", before), std::string::npos);
    quit(c);
}

TEST(Commands, HelpPausesTwice)
{
    Connected c = connect();
    send_line(c.s, "help");
    ASSERT_TRUE(expect(c.s, "\r\norvik help\r\n\r\nhelp                     show this help screen\r\n"));
    ASSERT_TRUE(expect(c.s, "power                    show informations about power status\r\n"
                            "--- MORE ---\r\n"));
    send_line(c.s, "");
    ASSERT_TRUE(expect(c.s, "overwrite                switch on/off the overwrite mode"));
    ASSERT_TRUE(expect(c.s, "upload        <source> [dest]  upload a file (USB only)\r\n"
                            "--- MORE ---\r\n"));
    send_line(c.s, "");
    // The table's last, empty line, then the commands added since.
    EXPECT_TRUE(expect(c.s, "\r\n\r\nmget          <glob>...  get the files of the last listing "
                            "matching a glob\r\nlcd           [dir]      change (or show) the "
                            "local directory\r\n" + PROMPT_START + "D:> "));
    quit(c);
}

TEST(Commands, InterruptAtThePrompt)
{
    Connected c = connect();
    send_raw(c.s, "\x03");
    EXPECT_TRUE(expect(c.s, "--> signal 2 trapped, close the camera and exit\r\n"));
    // A second termination signal while the camera is being switched off
    // waits: the first one's work is not started again, and its number
    // stays the status.
    kill(c.s.pid, SIGTERM);
    EXPECT_EQ(wait_exit(c.s), 2);
    EXPECT_EQ(c.s.output.find("trapped", c.s.mark), std::string::npos) << c.s.output;
    EXPECT_TRUE(camera_switched_off(c.sim));
    camsim_stop(c.sim);
}

TEST(Commands, PipedInputEndsLikeQuit)
{
    Camsim sim = camsim_start();
    RunResult r = orvik_run({"-d", sim.tty}, "disk\nls\tDCIM\nhelp\n\n\nid\n", sim.dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("camera disk: D:\n"), std::string::npos) << r.out;
    // A tab in a piped line is not completed away: it stays in the token.
    EXPECT_NE(r.out.find("unknown command 'ls\tDCIM', try 'help'\n"), std::string::npos) << r.out;
    // The help pauses take their characters without swallowing the next
    // command.
    EXPECT_NE(r.out.find("camera ID: Canon PowerShot S20\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("bye!\n"), std::string::npos) << r.out;
    EXPECT_TRUE(camera_switched_off(sim));
    camsim_stop(sim);
}

}  // namespace

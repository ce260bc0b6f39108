// The orvik process before and around the connection: options, usage,
// start-up failures, the termination handler.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <unistd.h>

#include "harness.h"

using namespace e2e;

namespace {

const char *const usage_text =
    "orvik -- Canon PowerShot S10/S20/S100 digital camera software\n"
    "Version " ORVIK_VERSION "\n"
    "\n"
    "usage: orvik -[DugnlELh] -d <serialdevice>\n"
    "\n"
    "  -D                    enable debug mode\n"
    "  -d <serialdevice>     set the serial device, default /dev/cuaa0\n"
    "  -a                    enable A50/Pro70 compatibility mode\n"
    "  -s <serialspeed>      set the serial speed (9600 19200 38400 57600 115200)\n"
    "  -u                    USB mode, default is serial mode\n"
    "  -g                    non-interactive mode, get all images\n"
    "  -n                    non-interactive mode, get all new images\n"
    "  -l                    non-interactive mode, list all images\n"
    "  -E                    non-interactive mode, delete all images\n"
    "  -L                    write files using all lower-case characters\n"
    "  -h                    show this help screen\n";

const std::string banner = "Orvik -- version " ORVIK_VERSION "\n\n";

struct EntryTest : testing::Test {
    std::string dir = make_temp_dir();
    std::string missing = dir + "/no-such-device";
    RunResult run(const std::vector<std::string> &args)
    {
        return orvik_run(args, "", dir, 60000);
    }
};

TEST_F(EntryTest, UsageEndsWithStatusOne)
{
    RunResult r = run({"-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage_text);

    r = run({"-x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage_text);
    EXPECT_NE(r.err.find("invalid option"), std::string::npos) << r.err;

    r = run({"-d"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage_text);
    EXPECT_NE(r.err.find("requires an argument"), std::string::npos) << r.err;

    // Options act in order: a later bad option still ends the run, after
    // what the earlier ones printed.
    r = run({"-D", "-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string("DEBUG mode enabled\n") + usage_text);
}

TEST_F(EntryTest, UsbIsRejectedAtOnce)
{
    RunResult r = run({"-u"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "This binary lacks the USB support\n");

    r = run({"-D", "-u"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "DEBUG mode enabled\nThis binary lacks the USB support\n");

    r = run({"-u", "-D", "-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "This binary lacks the USB support\n");
}

// Option processing stops at the first argument that is not an option:
// the letters after a stray word are never taken as options.
TEST_F(EntryTest, OptionsEndAtTheFirstOtherArgument)
{
    const std::string open_fail =
        banner + "Open " + missing + ": Can't open the " + missing + " device\nfailure\n";
    // Standard error of the plain failed open: the device hint alone.
    const RunResult plain = run({"-d", missing});
    ASSERT_EQ(plain.err.rfind(missing + ": No such file or directory; ", 0), 0u) << plain.err;
    RunResult r = run({"-d", missing, "photos", "-u"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, open_fail);
    r = run({"-d", missing, "photos", "-x", "-h"});
    EXPECT_EQ(r.out, open_fail);
    // No diagnostic for the -x; one line names the ignored word.
    EXPECT_EQ(r.err, "orvik: ignoring 'photos' and what follows it: options come first\n" +
                         plain.err);
    // A device written where other serial tools take it: the command to use.
    r = run({"-d", missing, "/dev/null"});
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              "orvik: ignoring '/dev/null' and what follows it: options come first; to use it "
              "as the serial device: orvik -d /dev/null\n");

    // The parser's own diagnostic is unchanged.
    r = run({"-x"});
    EXPECT_EQ(r.err, std::string(ORVIK_BIN) + ": invalid option -- 'x'\n");
}

// The long options of every Unix tool, read before the short ones and
// never from the argument of -d.
TEST_F(EntryTest, LongOptions)
{
    RunResult r = run({"-D", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(usage_text, 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n  --list-ports "), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");

    r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "orvik " ORVIK_VERSION "\n");

    r = run({"--bogus"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage_text);
    EXPECT_EQ(r.err, "orvik: unrecognized option '--bogus'\n");
    r = run({"--images=pictures"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("'pictures'"), std::string::npos) << r.err;

    // "--help" here is the device, and after a stray word nothing is read.
    r = run({"-Dd", "--help", "-s", "--version"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Can't open the --help device"), std::string::npos) << r.out;
    r = run({"-d", missing, "--images=none", "x", "--help"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Can't open the " + missing), std::string::npos) << r.out;

    // This machine's ports, or the message that it has none.
    r = run({"--list-ports"});
    if (r.status == 0) {
        EXPECT_EQ(r.out.rfind("/dev/tty", 0), 0u) << r.out;
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("no serial port found"), std::string::npos) << r.err;
    }
}

TEST_F(EntryTest, MissingDevice)
{
    RunResult r = run({"-d", missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, banner + "Open " + missing + ": Can't open the " + missing +
                         " device\nfailure\n");
    // The reason, and what to do, on standard error.
    EXPECT_EQ(r.err.rfind(missing + ": No such file or directory; ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("use -d"), std::string::npos) << r.err;
}

TEST_F(EntryTest, SpeedOptionRules)
{
    const std::string open_fail =
        "Open " + missing + ": Can't open the " + missing + " device\nfailure\n";
    RunResult r = run({"-s", "0", "-d", missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Current serial speed: 115200\n" + banner + open_fail);

    // An invalid speed is reported and start-up goes on with the old one.
    r = run({"-s", "12345", "-s", "0", "-d", missing});
    EXPECT_EQ(r.out, "Invalid speed 12345\nTry 9600, 19200, 38400, 57600, 115200.\n"
                     "Current serial speed: 115200\n" +
                         banner + open_fail);

    // Text that does not start with a number counts as 0; the last valid
    // speed wins; a number followed by text is taken.
    r = run({"-s", "9600", "-s", "19200x", "-s", "fast", "-s", "7", "-s", "0", "-d", missing});
    EXPECT_EQ(r.out, "Current serial speed: 19200\n"
                     "Invalid speed 7\nTry 9600, 19200, 38400, 57600, 115200.\n"
                     "Current serial speed: 19200\n" +
                         banner + open_fail);
}

// A device that never answers: the sync loop waits for ever, so only a
// signal ends it, and the handler must still switch the camera off.
TEST_F(EntryTest, SignalDuringSync)
{
    int master, slave;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    Session s = orvik_start({"-d", name}, dir);
    ASSERT_TRUE(expect(s, "Sync: "));
    ASSERT_TRUE(expect(s, ".."));
    kill(s.pid, SIGTERM);
    EXPECT_EQ(wait_exit(s), 15);
    EXPECT_NE(s.output.find("\r\n--> signal 15 trapped, close the camera and exit\r\n"),
              std::string::npos)
        << s.output;

    // What reached the line: synchronisation bursts, then the two frames.
    std::string line;
    fcntl(master, F_SETFL, O_NONBLOCK);
    char buf[4096];
    ssize_t n;
    while ((n = read(master, buf, sizeof buf)) > 0)
        line.append(buf, static_cast<size_t>(n));
    const std::string off("\xc0\x00\x02\x55\x2c\xc1\xc0\x00\x04\x01\x00\x00\x00\x24\xc6\xc1", 16);
    EXPECT_EQ(line.substr(0, 8), "UUUUUUUU");
    ASSERT_GE(line.size(), off.size());
    EXPECT_EQ(line.substr(line.size() - off.size()), off);
    close(master);
    close(slave);
}

}  // namespace

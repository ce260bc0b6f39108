// The explanations given when the serial device does not open.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "serial/adapter.h"
#include "serial/hint.h"

namespace {

namespace fs = std::filesystem;

struct Scratch {
    fs::path dir;
    Scratch()
    {
        char pattern[] = "/tmp/orvik-hint.XXXXXX";
        dir = mkdtemp(pattern);
    }
    ~Scratch() { fs::remove_all(dir); }
    std::string touch(const std::string &rel)
    {
        fs::create_directories((dir / rel).parent_path());
        std::ofstream(dir / rel).put('x');
        return (dir / rel).string();
    }
};

std::string explain(const std::string &path, int err)
{
    char line[2048];
    return serial_explain_open(path.c_str(), err, line, sizeof line);
}

TEST(SerialHint, ListsRealPortsAdaptersFirst)
{
    Scratch s;
    for (const char *name : {"ttyS0", "ttyS1", "ttyS10", "ttyUSB1", "ttyUSB0", "ttyACM0",
                             "ttyS2x", "ttyS", "tty0", "console"})
        s.touch(std::string("dev/") + name);
    // Only ttyS1 and ttyS10 have a port behind them.
    s.touch("sys/ttyS1/device");
    s.touch("sys/ttyS10/device");
    fs::create_directories(s.dir / "sys/ttyS0");
    std::string dev = (s.dir / "dev").string();
    char out[512];
    EXPECT_EQ(serial_list_ports(dev.c_str(), (s.dir / "sys").c_str(), out, sizeof out), 5);
    EXPECT_EQ(std::string(out), dev + "/ttyUSB0 " + dev + "/ttyUSB1 " + dev + "/ttyACM0 " +
                                    dev + "/ttyS1 " + dev + "/ttyS10");

    fs::create_directories(s.dir / "empty");
    EXPECT_EQ(serial_list_ports((s.dir / "empty").c_str(), "/nonexistent", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
}

// --list-ports: what sysfs says of each port, as a USB adapter, an ACM
// device and a built-in port lay it out.
TEST(SerialHint, PrintsEachPortWithProductAndDriver)
{
    Scratch s;
    for (const char *name : {"ttyS1", "ttyUSB0", "ttyACM0"})
        s.touch(std::string("dev/") + name);
    fs::path usb = s.dir / "devices/usb1/1-1";
    fs::create_directories(usb / "1-1:1.0/ttyUSB0");
    std::ofstream(usb / "product") << "FT232R USB UART\n";
    fs::create_directories(s.dir / "drivers/ftdi_sio");
    fs::create_directory_symlink(s.dir / "drivers/ftdi_sio", usb / "1-1:1.0/ttyUSB0/driver");
    fs::create_directories(s.dir / "sys/ttyUSB0");
    fs::create_directory_symlink(usb / "1-1:1.0/ttyUSB0", s.dir / "sys/ttyUSB0/device");
    fs::create_directories(s.dir / "dev/serial/by-id");
    fs::create_symlink("../../ttyUSB0",
                       s.dir / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0");
    fs::create_directories(s.dir / "acm/driver_is_not_a_link");
    fs::create_directories(s.dir / "sys/ttyACM0");
    fs::create_directory_symlink(s.dir / "acm", s.dir / "sys/ttyACM0/device");
    s.touch("sys/ttyS1/device");

    std::string dev = (s.dir / "dev").string();
    std::string sys = (s.dir / "sys").string();
    FILE *out = std::tmpfile();
    EXPECT_EQ(serial_print_ports(dev.c_str(), sys.c_str(), out), 3);
    std::rewind(out);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;)
        text.push_back(static_cast<char>(c));
    std::fclose(out);
    EXPECT_EQ(text, dev + "/ttyUSB0  FT232R USB UART (ftdi_sio)  " + dev +
                        "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0\n" + dev +
                        "/ttyACM0\n" + dev + "/ttyS1\n");
}

TEST(SerialHint, PermissionNamesTheGroupToJoin)
{
    Scratch s;
    std::string device = s.touch("ttyUSB0");
    setgrent();
    const struct group *g;
    while ((g = getgrent()) != nullptr && g->gr_gid == 0) {
    }
    ASSERT_NE(g, nullptr) << "no group but root";
    std::string name = g->gr_name;
    ASSERT_EQ(chown(device.c_str(), static_cast<uid_t>(-1), g->gr_gid), 0);
    endgrent();
    EXPECT_EQ(explain(device, EACCES),
              device + ": Permission denied; it belongs to the group " + name +
                  ": join it with sudo usermod -aG " + name + " $USER, then log out and in again");
}

TEST(SerialHint, BusyNamesTheHolder)
{
    Scratch s;
    std::string device = s.touch("ttyUSB0");
    EXPECT_EQ(explain(device, EBUSY), device + ": Device or resource busy; another program "
                                               "holds it: end that program and try again");

    // Another process that has the device open is named with its id; this
    // process's own descriptors do not count.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        int fd = open(device.c_str(), O_RDONLY);
        char byte = fd >= 0 ? 'y' : 'n';
        if (write(ready[1], &byte, 1) == 1)
            pause();
        _exit(0);
    }
    int mine = open(device.c_str(), O_RDONLY);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'y');
    std::string comm;
    std::getline(std::ifstream("/proc/self/comm"), comm);
    EXPECT_EQ(explain(device, EBUSY),
              device + ": Device or resource busy; it is held by " + comm + " (pid " +
                  std::to_string(holder) + "): end that program and try again");
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(mine);
    close(ready[0]);
    close(ready[1]);
}

}  // namespace

// A re-plugged adapter is found again by its USB identity, whatever its
// new name; two adapters that cannot be told apart are not guessed at.
TEST(SerialAdapter, FoundAgainByVendorProductAndSerial)
{
    Scratch s;
    auto plug = [&](const std::string &tty, const std::string &serial) {
        fs::path usb = s.dir / "devices" / tty;
        fs::create_directories(usb / "1-1:1.0" / tty);
        std::ofstream(usb / "idVendor") << "0403\n";
        std::ofstream(usb / "idProduct") << "6001\n";
        std::ofstream(usb / "serial") << serial << "\n";
        fs::create_directories(s.dir / "sys" / tty);
        fs::create_directory_symlink(usb / "1-1:1.0" / tty, s.dir / "sys" / tty / "device");
    };
    plug("ttyUSB1", "A1");
    plug("ttyUSB2", "B2");
    s.touch("sys/ttyS0/device");
    const std::string sys = (s.dir / "sys").string();

    SerialAdapter a{};
    ASSERT_TRUE(serial_adapter_of(sys.c_str(), "ttyUSB1", &a));
    EXPECT_STREQ(a.vendor, "0403");
    EXPECT_STREQ(a.product, "6001");
    EXPECT_STREQ(a.serial, "A1");
    EXPECT_FALSE(serial_adapter_of(sys.c_str(), "ttyS0", &a));

    char path[256] = "";
    EXPECT_EQ(serial_find_adapter("/dev", sys.c_str(), &a, path, sizeof path), 1);
    EXPECT_STREQ(path, "/dev/ttyUSB1");
    plug("ttyACM0", "A1");
    EXPECT_EQ(serial_find_adapter("/dev", sys.c_str(), &a, path, sizeof path), 2);
}

// A camera that does not answer: on a USB adapter the prober that takes
// its answers on desktop systems is named, with the udev variable that
// keeps it away; a built-in port gets the plain advice.
TEST(SerialHint, SilenceOnAUsbAdapterNamesModemManager)
{
    Scratch s;
    char line[2048];
    const std::string usb = s.touch("ttyUSB0");
    const std::string said = serial_explain_silence(usb.c_str(), line, sizeof line);
    EXPECT_EQ(said.rfind("No answer from the camera yet: check that it is switched on and set to "
                         "PC mode, and that its cable is on " + usb + "; ModemManager ",
                         0),
              0u)
        << said;
    EXPECT_NE(said.find("ENV{ID_MM_DEVICE_IGNORE}=\"1\""), std::string::npos) << said;
    const std::string uart = s.touch("ttyS0");
    EXPECT_EQ(std::string(serial_explain_silence(uart.c_str(), line, sizeof line)),
              "No answer from the camera yet: check that it is switched on and set to PC mode, "
              "and that its cable is on " + uart);
}

// Two other readers of the port (a stray cat and a prober, say) are both
// named, and the advice speaks of them both.
TEST(SerialHint, TwoHoldersAreNamedTogether)
{
    Scratch s;
    const std::string device = s.touch("ttyS0");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holders[2];
    for (pid_t &h : holders) {
        h = fork();
        ASSERT_GE(h, 0);
        if (h == 0) {
            const char byte = open(device.c_str(), O_RDONLY) >= 0 ? 'y' : 'n';
            if (write(ready[1], &byte, 1) == 1)
                pause();
            _exit(0);
        }
    }
    char bytes[2] = {};
    ASSERT_EQ(read(ready[0], bytes, 1) + read(ready[0], bytes + 1, 1), 2);
    EXPECT_EQ(std::string(bytes, 2), "yy");
    char line[2048];
    const std::string silence = serial_explain_silence(device.c_str(), line, sizeof line);
    EXPECT_NE(silence.find(" also have it open and may take the camera's answers: end those "
                           "programs"),
              std::string::npos)
        << silence;
    const std::string busy = explain(device, EBUSY);
    EXPECT_NE(busy.find(": end those programs and try again"), std::string::npos) << busy;
    for (pid_t h : holders) {
        kill(h, SIGKILL);
        waitpid(h, nullptr, 0);
    }
    close(ready[0]);
    close(ready[1]);
}

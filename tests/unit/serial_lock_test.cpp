// serial_open where the advisory lock itself fails.  This binary defines its
// own flock, which the port code links against instead of the C library's,
// so each case chooses the error the system would report.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include <pty.h>
#include <sys/file.h>
#include <unistd.h>

#include "serial/port.h"
#include "serial_pty.h"

namespace {
int flock_errno = 0;  // 0: the lock is granted
}

extern "C" int flock(int, int)
{
    if (flock_errno == 0)
        return 0;
    errno = flock_errno;
    return -1;
}

namespace {

struct Opened {
    int rc;
    std::string out;
    std::string name;  // the terminal's path
};

Opened open_with_lock_error(int error)
{
    int master, slave;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return {-2, "", ""};
    flock_errno = error;
    Opened o{};
    o.name = name;
    o.out = capture([&] { o.rc = serial_open(name); }).out;
    if (o.rc == 0 && serial_descriptor() < 0)
        o.rc = -3;
    serial_close();
    flock_errno = 0;
    close(slave);
    close(master);
    return o;
}

// Device nodes on FreeBSD (EOPNOTSUPP), NFS (ENOLCK) and some drivers
// (EINVAL) cannot be locked at all; the port is still usable.
TEST(SerialLock, OnlyAHeldLockRefusesThePort)
{
    for (int error : {EOPNOTSUPP, ENOLCK, EINVAL}) {
        Opened o = open_with_lock_error(error);
        EXPECT_EQ(o.rc, 0) << "errno " << error;
        EXPECT_EQ(o.out, "") << "errno " << error;
    }
    Opened held = open_with_lock_error(EWOULDBLOCK);
    EXPECT_EQ(held.rc, -1);
    EXPECT_EQ(held.out, "Can't open the " + held.name + " device\n");
}

}  // namespace

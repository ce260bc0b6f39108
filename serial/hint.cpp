#include "serial/hint.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/adapter.h"
#include "serial/output.h"

namespace {

// The families of serial device names, in the order a user is most likely
// to want them: a camera of this age hangs on a USB adapter today.
const char *const FAMILIES[] = {"ttyUSB", "ttyACM", "ttyS"};
constexpr int FAMILY_COUNT = 3;
constexpr int MAX_PORTS = 64;

struct Port {
    int family;
    long number;
    char name[64];
};

// The family and number of a device name such as ttyUSB0; -1 when it is
// none of ours.
int family_of(const char *name, long *number)
{
    for (int f = 0; f < FAMILY_COUNT; f++) {
        size_t len = std::strlen(FAMILIES[f]);
        if (std::strncmp(name, FAMILIES[f], len) != 0 || name[len] == '\0')
            continue;
        char *end;
        *number = std::strtol(name + len, &end, 10);
        if (*end == '\0' && name[len] >= '0' && name[len] <= '9')
            return f;
    }
    return -1;
}

int port_order(const void *a, const void *b)
{
    const Port *p = static_cast<const Port *>(a), *q = static_cast<const Port *>(b);
    if (p->family != q->family)
        return p->family - q->family;
    return p->number < q->number ? -1 : p->number > q->number;
}

void append(char *out, size_t size, const char *text)
{
    size_t used = std::strlen(out);
    if (used < size)
        std::snprintf(out + used, size - used, "%s", text);
}

// The names of the processes other than this one that have `path` open,
// as "name (pid N)" joined by ", "; returns how many there are.
// Processes of other users are not readable without privileges and are
// silently passed over.
int find_holders(const char *path, char *out, size_t size)
{
    out[0] = '\0';
    struct stat target;
    if (stat(path, &target) != 0)
        return 0;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    long self = static_cast<long>(getpid());
    int found = 0;
    while (dirent *p = readdir(proc)) {
        char *end;
        long pid = std::strtol(p->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self)
            continue;
        char fd_dir[64];
        std::snprintf(fd_dir, sizeof fd_dir, "/proc/%ld/fd", pid);
        DIR *fds = opendir(fd_dir);
        if (fds == nullptr)
            continue;
        bool holds = false;
        while (dirent *f = readdir(fds)) {
            char link[384];
            struct stat st;
            std::snprintf(link, sizeof link, "%s/%s", fd_dir, f->d_name);
            if (f->d_name[0] != '.' && stat(link, &st) == 0 && st.st_dev == target.st_dev &&
                st.st_ino == target.st_ino) {
                holds = true;
                break;
            }
        }
        closedir(fds);
        if (!holds)
            continue;
        char comm_path[64], comm[64] = "?";
        std::snprintf(comm_path, sizeof comm_path, "/proc/%ld/comm", pid);
        if (FILE *c = std::fopen(comm_path, "re")) {
            if (std::fgets(comm, sizeof comm, c) != nullptr)
                comm[std::strcspn(comm, "\n")] = '\0';
            std::fclose(c);
        }
        char entry[128];
        std::snprintf(entry, sizeof entry, "%s%s (pid %ld)", found++ ? ", " : "", comm, pid);
        append(out, size, entry);
    }
    closedir(proc);
    return found;
}

}  // namespace

int serial_list_ports(const char *dev_dir, const char *sys_tty_dir, char *out, size_t size)
{
    Port ports[MAX_PORTS];
    int count = 0;
    if (size > 0)
        out[0] = '\0';
    DIR *dev = opendir(dev_dir);
    if (dev == nullptr)
        return 0;
    while (dirent *e = readdir(dev)) {
        long number = 0;
        int family = family_of(e->d_name, &number);
        if (family < 0 || count == MAX_PORTS || std::strlen(e->d_name) >= sizeof ports[0].name)
            continue;
        if (std::strcmp(FAMILIES[family], "ttyS") == 0) {
            char device_link[512];
            struct stat st;
            std::snprintf(device_link, sizeof device_link, "%s/%s/device", sys_tty_dir, e->d_name);
            if (lstat(device_link, &st) != 0)
                continue;
        }
        ports[count].family = family;
        ports[count].number = number;
        std::snprintf(ports[count].name, sizeof ports[count].name, "%s", e->d_name);
        count++;
    }
    closedir(dev);
    std::qsort(ports, static_cast<size_t>(count), sizeof ports[0], port_order);
    for (int i = 0; i < count; i++) {
        char path[600];
        std::snprintf(path, sizeof path, "%s%s/%s", i ? " " : "", dev_dir, ports[i].name);
        append(out, size, path);
    }
    return count;
}

namespace {

// What to do about a device that is not there: the serial ports that are.
void missing_advice(char *more, size_t size)
{
    char ports[512];
    if (serial_list_ports("/dev", "/sys/class/tty", ports, sizeof ports) > 0) {
        char first[512];
        std::snprintf(first, sizeof first, "%.*s", static_cast<int>(std::strcspn(ports, " ")),
                      ports);
        std::snprintf(more, size, "; serial ports here: %s; use -d, e.g. orvik -d %s", ports,
                      first);
    } else {
        std::snprintf(more, size,
                      "; no serial port found here (is the USB serial adapter plugged "
                      "in?); use -d <serialdevice>");
    }
}

// What to do about a device one may not open: join its group.
void access_advice(const char *path, char *more, size_t size)
{
    struct stat st;
    const struct group *g = stat(path, &st) == 0 ? getgrgid(st.st_gid) : nullptr;
    if (g != nullptr && st.st_gid != 0)
        std::snprintf(more, size,
                      "; it belongs to the group %s: join it with "
                      "sudo usermod -aG %s $USER, then log out and in again",
                      g->gr_name, g->gr_name);
    else
        std::snprintf(more, size, "; ask the administrator for access to it");
}

// What to do about a device other programs hold: end them.
void busy_advice(const char *path, char *more, size_t size)
{
    char holders[512];
    const int count = find_holders(path, holders, sizeof holders);
    if (count > 0)
        std::snprintf(more, size, "; it is held by %s: end %s and try again", holders,
                      count > 1 ? "those programs" : "that program");
    else
        std::snprintf(more, size, "; another program holds it: end that program and try again");
}

}  // namespace

const char *serial_explain_open(const char *path, int err, char *out, size_t size)
{
    std::snprintf(out, size, "%s: %s", path, std::strerror(err));
    char more[1280] = "";
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        missing_advice(more, sizeof more);
        break;
    case EACCES:
    case EPERM:
        access_advice(path, more, sizeof more);
        break;
    case EBUSY:
    case EWOULDBLOCK:
        busy_advice(path, more, sizeof more);
        break;
    default:
        break;
    }
    append(out, size, more);
    return out;
}

void serial_open_hint(const char *path, int err)
{
    char line[2048];
    out_error("%s\n", serial_explain_open(path, err, line, sizeof line));
}

const char *serial_explain_silence(const char *path, char *out, size_t size)
{
    std::snprintf(out, size,
                  "No answer from the camera yet: check that it is switched on and set to PC "
                  "mode, and that its cable is on %s",
                  path);
    // A second reader of the port takes the camera's answers before this
    // program sees them.
    char holders[512];
    const int count = find_holders(path, holders, sizeof holders);
    if (count > 0) {
        char more[700];
        std::snprintf(more, sizeof more,
                      "; %s also %s it open and may take the camera's answers: end %s", holders,
                      count > 1 ? "have" : "has", count > 1 ? "those programs" : "that program");
        append(out, size, more);
    }
    if (serial_port_on_usb(path))
        append(out, size,
               "; ModemManager probes a newly plugged USB serial adapter for about half a "
               "minute: a udev rule setting ENV{ID_MM_DEVICE_IGNORE}=\"1\" makes it leave the "
               "adapter alone (orvik(1), UNATTENDED USE)");
    return out;
}

void serial_silence_hint(const char *path)
{
    if (!isatty(STDERR_FILENO))
        return;
    char line[2048];
    // Beside the synchronisation's row of dots, which goes on after it.
    out_note("\n%s\n", serial_explain_silence(path, line, sizeof line));
}

namespace {

const char *line_trouble(SerialLineState state)
{
    if (state == SERIAL_LINE_GONE)
        return "the line to the camera is gone (hang-up, the device removed or its cable "
               "pulled)";
    if (state == SERIAL_LINE_ERROR)
        return "the serial line failed";
    return "the serial port is closed";
}

}  // namespace

const char *serial_describe_port(const char *sys_tty_dir, const char *name, char *out,
                                 size_t size)
{
    char path[600], product[128] = "", driver[128] = "";
    // A USB serial port's device is the adapter's interface (ACM) or a
    // port below it (usb-serial); the product string sits on the USB
    // device one or two levels up.
    static const char *const levels[] = {"..", "../.."};
    for (const char *up : levels) {
        std::snprintf(path, sizeof path, "%s/%s/device/%s/product", sys_tty_dir, name, up);
        serial_sysfs_attribute(path, product, sizeof product);
        if (product[0] != '\0')
            break;
    }
    std::snprintf(path, sizeof path, "%s/%s/device/driver", sys_tty_dir, name);
    char target[512];
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        const char *slash = std::strrchr(target, '/');
        std::snprintf(driver, sizeof driver, "%.120s", slash != nullptr ? slash + 1 : target);
    }
    if (product[0] != '\0' && driver[0] != '\0')
        std::snprintf(out, size, "%s (%s)", product, driver);
    else if (driver[0] != '\0')
        std::snprintf(out, size, "(%s)", driver);
    else
        std::snprintf(out, size, "%s", product);
    return out;
}

namespace {

// "  no access for you (group dialout)" when this user may not open `path`
// for reading and writing, "" when it may.
void access_note(const char *path, char *out, size_t size)
{
    out[0] = '\0';
    if (access(path, R_OK | W_OK) == 0)
        return;
    struct stat st;
    const struct group *g = stat(path, &st) == 0 ? getgrgid(st.st_gid) : nullptr;
    if (g != nullptr && st.st_gid != 0)
        std::snprintf(out, size, "  no access for you (group %s)", g->gr_name);
    else
        std::snprintf(out, size, "  no access for you");
}

}  // namespace

int serial_print_ports(const char *dev_dir, const char *sys_tty_dir, FILE *out)
{
    char ports[4096];
    int count = serial_list_ports(dev_dir, sys_tty_dir, ports, sizeof ports);
    size_t dev_len = std::strlen(dev_dir) + 1;
    // The names joined by single spaces; a device name holds none.
    for (char *path = std::strtok(ports, " "); path != nullptr; path = std::strtok(nullptr, " ")) {
        char about[300], by_id[600], no_access[200];
        serial_describe_port(sys_tty_dir, path + dev_len, about, sizeof about);
        serial_by_id_path(dev_dir, path + dev_len, by_id, sizeof by_id);
        access_note(path, no_access, sizeof no_access);
        std::fprintf(out, "%s%s%s%s%s%s\n", path, about[0] != '\0' ? "  " : "", about,
                     by_id[0] != '\0' ? "  " : "", by_id, no_access);
    }
    return count;
}

void serial_line_lost(const char *path, SerialLineState state)
{
    if (state == SERIAL_LINE_OK)
        return;
    out_complaint("%s: %s\n", path, line_trouble(state));
}

void serial_line_prompt_hint(SerialLineState state)
{
    if (state == SERIAL_LINE_CLOSED)
        out_error("The connection to the camera is closed: open opens it again\n");
    else if (state != SERIAL_LINE_OK)
        out_error("The line to the camera is gone: check the cable and that the camera is "
                  "on, then open or reopen\n");
}

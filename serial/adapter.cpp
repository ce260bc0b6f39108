#include "serial/adapter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <limits.h>
#include <unistd.h>

namespace {

// The port last opened, as the user named it, and the adapter behind it.
struct Remembered {
    char path[PATH_MAX];
    SerialAdapter adapter;
    bool on_usb;
};
Remembered remembered = {};

bool is_usb_port_name(const char *name)
{
    return std::strncmp(name, "ttyUSB", 6) == 0 || std::strncmp(name, "ttyACM", 6) == 0;
}

bool same_adapter(const SerialAdapter &a, const SerialAdapter &b)
{
    return std::strcmp(a.vendor, b.vendor) == 0 && std::strcmp(a.product, b.product) == 0 &&
           std::strcmp(a.serial, b.serial) == 0;
}

// The device name a path leads to: /dev/serial/by-id/usb-... and other
// links are followed; "" when the path does not resolve.
void device_name(const char *path, char *out, size_t size)
{
    char real[PATH_MAX];
    out[0] = '\0';
    if (realpath(path, real) == nullptr)
        return;
    const char *slash = std::strrchr(real, '/');
    std::snprintf(out, size, "%.255s", slash != nullptr ? slash + 1 : real);
}

}  // namespace

void serial_sysfs_attribute(const char *path, char *out, size_t size)
{
    out[0] = '\0';
    if (FILE *f = std::fopen(path, "re")) {
        if (std::fgets(out, static_cast<int>(size), f) != nullptr)
            out[std::strcspn(out, "\n")] = '\0';
        std::fclose(f);
    }
}

bool serial_adapter_of(const char *sys_tty_dir, const char *name, SerialAdapter *out)
{
    // A usb-serial port's device is a port below the adapter's interface,
    // an ACM port's the interface itself: the USB device is one or two
    // levels up.
    static const char *const levels[] = {"..", "../.."};
    for (const char *up : levels) {
        char path[600];
        SerialAdapter found;
        std::snprintf(path, sizeof path, "%s/%s/device/%s/idVendor", sys_tty_dir, name, up);
        serial_sysfs_attribute(path, found.vendor, sizeof found.vendor);
        if (found.vendor[0] == '\0')
            continue;
        std::snprintf(path, sizeof path, "%s/%s/device/%s/idProduct", sys_tty_dir, name, up);
        serial_sysfs_attribute(path, found.product, sizeof found.product);
        std::snprintf(path, sizeof path, "%s/%s/device/%s/serial", sys_tty_dir, name, up);
        serial_sysfs_attribute(path, found.serial, sizeof found.serial);
        *out = found;
        return true;
    }
    return false;
}

int serial_find_adapter(const char *dev_dir, const char *sys_tty_dir,
                        const SerialAdapter *adapter, char *path, size_t size)
{
    DIR *dir = opendir(sys_tty_dir);
    if (dir == nullptr)
        return 0;
    int matches = 0;
    char first[256] = "";
    while (dirent *e = readdir(dir)) {
        SerialAdapter a;
        if (!is_usb_port_name(e->d_name) || !serial_adapter_of(sys_tty_dir, e->d_name, &a) ||
            !same_adapter(a, *adapter))
            continue;
        if (matches++ == 0)
            std::snprintf(first, sizeof first, "%s", e->d_name);
    }
    closedir(dir);
    if (matches == 1)
        std::snprintf(path, size, "%s/%s", dev_dir, first);
    return matches;
}

const char *serial_by_id_path(const char *dev_dir, const char *name, char *out, size_t size)
{
    out[0] = '\0';
    char by_id[512];
    std::snprintf(by_id, sizeof by_id, "%s/serial/by-id", dev_dir);
    DIR *dir = opendir(by_id);
    if (dir == nullptr)
        return out;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        char link[800], target[256];
        std::snprintf(link, sizeof link, "%s/%s", by_id, e->d_name);
        device_name(link, target, sizeof target);
        if (std::strcmp(target, name) == 0) {
            std::snprintf(out, size, "%s", link);
            break;
        }
    }
    closedir(dir);
    return out;
}

bool serial_port_on_usb(const char *path)
{
    char name[256];
    device_name(path, name, sizeof name);
    return is_usb_port_name(name);
}

void serial_remember_adapter(const char *asked, const char *opened)
{
    char name[256];
    device_name(opened, name, sizeof name);
    std::snprintf(remembered.path, sizeof remembered.path, "%s", asked);
    remembered.on_usb = is_usb_port_name(name) &&
                        serial_adapter_of("/sys/class/tty", name, &remembered.adapter);
}

bool serial_adapter_moved(const char *path, char *out, size_t size)
{
    if (!remembered.on_usb || std::strcmp(path, remembered.path) != 0)
        return false;
    return serial_find_adapter("/dev", "/sys/class/tty", &remembered.adapter, out, size) == 1;
}

// USB serial adapters as the system knows them: which adapter is behind a
// port (vendor, product and serial number from sysfs), where that adapter
// is now, and its stable name under /dev/serial/by-id.  A re-plugged
// adapter may come back under another ttyUSB number (the old one is still
// held by a process, or another adapter took it); its identity does not
// change.
#ifndef ORVIK_SERIAL_ADAPTER_H
#define ORVIK_SERIAL_ADAPTER_H

#include <cstddef>

// The USB identity of an adapter: idVendor, idProduct and serial (the
// last may be empty: cheap adapters have none).
struct SerialAdapter {
    char vendor[8];
    char product[8];
    char serial[128];
};

// The first line of a small sysfs attribute file into `out`; "" when
// there is none.
void serial_sysfs_attribute(const char *path, char *out, size_t size);

// The adapter behind the port `name` (e.g. "ttyUSB0"), read from
// `sys_tty_dir`/name/device and the USB device one or two levels above it.
// False, *out unchanged, when the port is not on USB.
bool serial_adapter_of(const char *sys_tty_dir, const char *name, SerialAdapter *out);

// The USB serial ports (ttyUSB*, ttyACM*) under `sys_tty_dir` whose adapter
// is `adapter`.  When exactly one matches, its name joined to `dev_dir`
// goes into `path`.  Returns how many matched (two identical adapters
// without serial numbers cannot be told apart: 2, path untouched).
int serial_find_adapter(const char *dev_dir, const char *sys_tty_dir,
                        const SerialAdapter *adapter, char *path, size_t size);

// The name under `dev_dir`/serial/by-id that leads to the device `name`
// (e.g. "usb-FTDI_FT232R_USB_UART_A600xyz-if00-port0", as udev makes it),
// joined to that directory into `out`; "" when there is none.  Returns
// `out`.
const char *serial_by_id_path(const char *dev_dir, const char *name, char *out, size_t size);

// Whether the device `path` leads to (links followed) is a USB serial port
// (ttyUSB*, ttyACM*).
bool serial_port_on_usb(const char *path);

// After a successful open of `opened` asked for as `asked` (the same, or
// where the adapter moved to): remembers `asked` and the adapter behind
// `opened`, so that serial_adapter_moved can find it again.  A port not
// on USB is remembered as no adapter.
void serial_remember_adapter(const char *asked, const char *opened);

// When `path` is what serial_remember_adapter last remembered and its
// adapter is plugged in now under another name: that name, as a path in
// /dev, in `out` (returns true).  False otherwise.
bool serial_adapter_moved(const char *path, char *out, size_t size);

#endif

#!/bin/sh
# orvik on the kernel's own serial drivers: Debian's kernel boots in
# qemu-system-x86_64 (plain emulation) from a small initramfs holding
# busybox, orvik and the USB serial modules.  The guest's 8250 UART
# (/dev/ttyS1) and an FTDI adapter on xHCI (/dev/ttyUSB0, driver ftdi_sio)
# are wired to two orvik-camsim pseudo-terminals on this side; QEMU passes
# the driver's line speed on to them, so the emulator hears only what is
# sent at its own speed, as a camera would.  The QEMU monitor pulls the
# adapter and plugs it in again when the guest asks for it.
#
# usage: kernel_test.sh <build dir>
# The kernel package is fetched by name with apt-get download and kept,
# unpacked, in <build dir>/kernel-rig.
set -u
build=$(cd "${1:?build directory}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
cache=$build/kernel-rig
work=$(mktemp -d "${TMPDIR:-/tmp}/orvik-kernel.XXXXXX")
pids=""
# The emulators, QEMU and the monitor's reader end with the test.
trap 'kill $pids 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

fail() {
    echo "kernel rig: $*" >&2
    exit 1
}

# The kernel: the package linux-image-amd64 depends on, as apt names it.
fetch_kernel() {
    mkdir -p "$cache" || fail "cannot create $cache"
    deb=$(find "$cache" -maxdepth 1 -name 'linux-image-*.deb' | head -n 1)
    if [ -z "$deb" ]; then
        package=$(apt-cache depends linux-image-amd64 2>/dev/null |
            sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
        [ -n "$package" ] ||
            fail "apt knows no linux-image-amd64 package (run apt-get update): the guest cannot boot"
        (cd "$cache" && apt-get download "$package") >"$work/apt.log" 2>&1 ||
            { cat "$work/apt.log" >&2; fail "apt-get download $package failed: the guest cannot boot"; }
        deb=$(find "$cache" -maxdepth 1 -name 'linux-image-*.deb' | head -n 1)
    fi
    if [ ! -d "$cache/root/boot" ]; then
        rm -rf "$cache/root"
        dpkg-deb -x "$deb" "$cache/root" || fail "cannot unpack $deb"
    fi
    kernel=$(find "$cache/root/boot" -name 'vmlinuz-*' | head -n 1)
    [ -n "$kernel" ] || fail "no kernel image in $deb"
}

# A module of the unpacked kernel, decompressed where Debian compresses
# them (busybox insmod takes plain ELF).
add_module() {
    found=$(find "$cache/root/lib/modules" -name "$1.ko*" | head -n 1)
    [ -n "$found" ] || fail "the kernel has no module $1"
    case $found in
    *.xz) xz -dc "$found" >"$initrd/lib/modules/$1.ko" ;;
    *.zst) zstd -qdc "$found" >"$initrd/lib/modules/$1.ko" ;;
    *) cp "$found" "$initrd/lib/modules/$1.ko" ;;
    esac
}

build_initrd() {
    initrd=$work/initrd
    mkdir -p "$initrd/bin" "$initrd/lib/modules" "$initrd/proc" "$initrd/sys" "$initrd/dev" \
        "$initrd/tmp" "$initrd/card"
    busybox=$(command -v busybox) || fail "no busybox (busybox-static): the guest cannot boot"
    ldd "$busybox" >/dev/null 2>&1 && fail "$busybox is not static (install busybox-static)"
    cp "$busybox" "$initrd/bin/busybox"
    cp "$build/orvik" "$initrd/bin/orvik"
    # orvik's shared libraries, at the paths the loader looks for them.
    for lib in $(ldd "$build/orvik" | sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p'); do
        mkdir -p "$initrd$(dirname "$lib")"
        cp -L "$lib" "$initrd$lib"
    done
    for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
        add_module "$m"
    done
    cp -R "$card/." "$initrd/card/"
    cp "$here/kernel_guest.sh" "$initrd/guest.sh"
    cat >"$initrd/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
    insmod /lib/modules/$m.ko
done
sh /guest.sh
poweroff -f
EOF
    chmod +x "$initrd/init"
    (cd "$initrd" && find . | "$busybox" cpio -o -H newc 2>/dev/null | gzip -1) >"$work/initrd.gz" ||
        fail "cannot pack the initramfs"
}

# A card whose pictures hold every byte value, XON, XOFF, CR, LF and DEL
# among them, in runs the frames must escape and the drivers pass raw.
make_card() {
    card=$work/card
    mkdir -p "$card/DCIM/100CANON"
    LC_ALL=C awk 'BEGIN { for (r = 0; r < 40; r++) for (i = 0; i < 256; i++) printf "%c", i }' \
        >"$card/DCIM/100CANON/IMG_0001.JPG"
    LC_ALL=C awk 'BEGIN { for (r = 0; r < 400; r++) printf "%c%c%c%c%c%c", 17, 19, 13, 10, 127, 3 }' \
        >"$card/DCIM/100CANON/IMG_0002.JPG"
}

# One emulated camera on a pseudo-terminal, whose path goes into $tty.
start_camera() {
    "$build/camsim/orvik-camsim" --card "$card" --pace --log "$work/$1.log" >"$work/$1.out" 2>&1 &
    pids="$pids $!"
    i=0
    while [ "$(head -n 1 "$work/$1.out" 2>/dev/null)" = "" ]; do
        i=$((i + 1))
        [ $i -lt 100 ] || fail "orvik-camsim did not start"
        sleep 0.1
    done
    tty=$(head -n 1 "$work/$1.out")
}

monitor() {
    echo "$*" >"$work/mon.in"
}

command -v qemu-system-x86_64 >/dev/null ||
    fail "no qemu-system-x86_64 (install qemu-system-x86): the guest cannot boot"
fetch_kernel
make_card
build_initrd
start_camera uart
uart_tty=$tty
start_camera usb
usb_tty=$tty
mkfifo "$work/mon.in" "$work/mon.out" || fail "mkfifo"
: >"$work/console"
# An FTDI chip carries its serial number in its EEPROM; QEMU's would name
# the USB port, which changes as the adapter is plugged in again.
adapter="usb-serial,id=adapter,chardev=usbcam,bus=xhci.0,serial=A600CAM1"
# No KVM: nested in a virtual machine it hangs at boot; plain emulation
# boots this kernel in about ten seconds.
qemu-system-x86_64 -machine q35,accel=tcg -m 256 -nodefaults -display none -no-reboot \
    -kernel "$kernel" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 rdinit=/init" \
    -chardev file,id=console,path="$work/console" -serial chardev:console \
    -chardev serial,id=uartcam,path="$uart_tty" -serial chardev:uartcam \
    -chardev serial,id=usbcam,path="$usb_tty" \
    -device qemu-xhci,id=xhci -device "$adapter" \
    -chardev pipe,id=mon,path="$work/mon" -mon chardev=mon,mode=readline \
    >"$work/qemu.log" 2>&1 &
qemu=$!
pids="$pids $qemu"
cat "$work/mon.out" >"$work/monitor.log" &
pids="$pids $!"

# The guest asks for the adapter to be pulled or plugged in with a line
# "@@HOST pull" or "@@HOST plug" on its console, and waits for the device
# to go or come.
handled=0
seconds=0
while kill -0 "$qemu" 2>/dev/null; do
    asked=$(grep -c '^@@HOST' "$work/console")
    while [ "$handled" -lt "$asked" ]; do
        handled=$((handled + 1))
        case $(grep '^@@HOST' "$work/console" | sed -n "${handled}p") in
        *pull*) monitor "device_del adapter" ;;
        *plug*) monitor "device_add $adapter" ;;
        esac
    done
    grep -q '^@@DONE' "$work/console" && break
    sleep 0.2
    seconds=$((seconds + 1))
    [ $seconds -lt 2400 ] || { echo "kernel rig: the guest did not finish in 8 minutes" >&2; break; }
done
sleep 0.5
tr -d '\r' <"$work/console" | grep -v '^@@'
if ! grep -q '^@@DONE' "$work/console"; then
    cat "$work/qemu.log" >&2
    fail "the guest did not finish its tests"
fi
if tr -d '\r' <"$work/console" | grep -q '^not ok'; then
    for log in uart usb; do
        echo "--- orvik-camsim $log log (last lines)" >&2
        tail -n 20 "$work/$log.log" >&2
    done
    fail "some tests failed in the guest"
fi
tr -d '\r' <"$work/console" | grep -q '^ok ' || fail "the guest ran no test"
exit 0

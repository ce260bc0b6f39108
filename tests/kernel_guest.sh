# shellcheck shell=sh
# The tests inside the guest of kernel_test.sh (busybox sh).  The camera
# is at the far end of /dev/ttyS1 (the 8250 UART) and of /dev/ttyUSB0 (an
# FTDI adapter, ftdi_sio); /card holds what its card holds.  Each test
# prints "ok NAME" or "not ok NAME" and, when it fails, what orvik said.
# "@@HOST pull" and "@@HOST plug" ask the host to pull the adapter out and
# plug it in again; "@@DONE" ends the run (a guest that stops before it
# fails the test).

# A write to the commands of an orvik that has ended fails rather than
# ending this script.
trap '' PIPE

check() {
    name=$1
    shift
    if "$@"; then
        echo "ok $name"
    else
        echo "not ok $name"
    fi
}

# wait_until <seconds> <command...>: until the command succeeds.
wait_until() {
    n=$(($1 * 10))
    shift
    while [ $n -gt 0 ]; do
        "$@" && return 0
        sleep 0.1
        n=$((n - 1))
    done
    return 1
}

# wait_for_text <seconds> <pattern> <file>
wait_for_text() {
    n=$(($1 * 10))
    while [ $n -gt 0 ]; do
        grep -q "$2" "$3" 2>/dev/null && return 0
        sleep 0.1
        n=$((n - 1))
    done
    echo "  no \"$2\" in $3:"
    tail -n 8 "$3" | sed 's/^/  /'
    return 1
}

usb_ports() {
    ls /sys/bus/usb-serial/devices 2>/dev/null
}
adapter_in() {
    [ -n "$(usb_ports)" ] && [ -e "/dev/$(usb_ports)" ]
}
adapter_out() {
    [ -z "$(usb_ports)" ]
}
ended() {
    [ ! -d "/proc/$1" ]
}
# connections <n>: orvik has connected n times in this session and waits
# at the prompt (the identity and the drive asked for).
connections() {
    [ "$(grep -c 'Switching to 9600 bound .*OK' /tmp/session.log)" -ge "$1" ] &&
        [ "$(tail -c 4 /tmp/session.log)" = 'D:> ' ]
}

# The adapter's tty, once it is there: ttyUSB0, ttyUSB1 ...
adapter_now() {
    wait_until 30 adapter_in || return 1
    usb_ports
}

pull() {
    echo "@@HOST pull"
    wait_until 20 adapter_out
}

# A real adapter pulled out loses what it held; here QEMU and the host's
# pseudo-terminal keep what the camera sent meanwhile, and hand it to the
# adapter plugged in again.  It is read away until the line is quiet.
plug() {
    echo "@@HOST plug"
    plugged=$(adapter_now)
    stty -F "/dev/$plugged" raw -echo 9600 2>/dev/null
    while timeout 2 cat "/dev/$plugged" >/tmp/stale; [ -s /tmp/stale ]; do
        :
    done
}

# get_all <dir> <device> <speed>: every file of the card, byte for byte.
get_all() {
    mkdir -p "/tmp/$1"
    (cd "/tmp/$1" && timeout 200 orvik -d "$2" -s "$3" -g >"/tmp/$1.log" 2>&1)
    status=$?
    for f in /card/DCIM/100CANON/*; do
        cmp "$f" "/tmp/$1/${f##*/}" || status=x
    done
    [ "$status" = 0 ] && return 0
    echo "  status $status"
    tail -n 8 "/tmp/$1.log" | sed 's/^/  /'
    return 1
}

# A port left without CLOCAL (by a getty, a modem program, a udev rule):
# the camera's three-wire cable never raises the carrier.  The settings
# found are the port's again afterwards.
no_clocal() {
    stty -F /dev/ttyS1 -clocal || return 1
    timeout 60 orvik -d /dev/ttyS1 -s 115200 -l >/tmp/clocal.log 2>&1
    status=$?
    if [ $status != 0 ]; then
        echo "  status $status"
        tail -n 5 /tmp/clocal.log | sed 's/^/  /'
        return 1
    fi
    stty -F /dev/ttyS1 -a | grep -q -- '-clocal'
}

# -g with the adapter pulled half way through a file: status 1 in
# seconds, the file named, nothing left behind.
pulled_during_get() {
    mkdir -p /tmp/pulled
    cd /tmp/pulled || return 1
    orvik -d /dev/ttyUSB0 -s 9600 -g >/tmp/pulled.log 2>&1 &
    pid=$!
    cd /
    wait_for_text 60 'Getting' /tmp/pulled.log || return 1
    sleep 1
    pull
    wait_until 20 ended "$pid"
    wait $pid
    status=$?
    plug
    [ $status = 1 ] || { echo "  status $status"; tail -n 5 /tmp/pulled.log; return 1; }
    [ -z "$(ls /tmp/pulled)" ] || { echo "  left behind: $(ls /tmp/pulled)"; return 1; }
    grep -q 'IMG_0001.JPG' /tmp/pulled.log
}

# At the prompt: the adapter pulled during a download comes back under
# its old name, and reopen reaches the camera on it; pulled while orvik
# waits at the prompt (its descriptor still open), it comes back under
# another name, and reopen finds it there and says so.
interactive_replug() {
    mkfifo /tmp/commands
    mkdir -p /tmp/session
    (cd /tmp/session && exec orvik -d /dev/ttyUSB0 -s 9600 </tmp/commands >/tmp/session.log 2>&1) &
    pid=$!
    exec 3>/tmp/commands
    wait_for_text 60 'Switching to 9600 bound .*OK' /tmp/session.log || return 1
    printf '%s\n' 'get D:\DCIM\100CANON\IMG_0001.JPG' >&3
    wait_for_text 30 'Getting' /tmp/session.log || return 1
    sleep 1
    pull
    wait_for_text 20 'line to the camera is gone' /tmp/session.log || return 1
    plug
    ok=0
    [ "$plugged" = ttyUSB0 ] || { echo "  back as $plugged after a pull during get"; ok=1; }
    echo "reopen" >&3
    wait_until 60 connections 2 ||
        { echo "  reopen after the pull during get failed"; tail -n 5 /tmp/session.log; ok=1; }

    pull
    plug
    echo "reopen" >&3
    wait_until 60 connections 3 ||
        { echo "  reopen after the pull at the prompt failed (adapter back as $plugged)"; ok=1; }
    # The descriptor orvik held at the prompt kept ttyUSB0 taken.
    [ "$plugged" = ttyUSB1 ] || { echo "  back as $plugged after a pull at the prompt"; ok=1; }
    grep -q "/dev/ttyUSB0 is gone; the same USB adapter is now /dev/ttyUSB1: using it" \
        /tmp/session.log || { echo "  the new name was not said"; ok=1; }
    echo "quit" >&3
    exec 3>&-
    wait_until 20 ended "$pid"
    wait $pid || { echo "  quit: status $?"; ok=1; }
    [ $ok = 0 ] || cat -v /tmp/session.log | cut -c 1-160 | sed "s/^/  /"
    return $ok
}

list_ports() {
    mkdir -p /dev/serial/by-id
    ln -s ../../ttyUSB0 /dev/serial/by-id/usb-QEMU_rig-if00-port0
    orvik --list-ports >/tmp/ports 2>&1
    rm -r /dev/serial
    grep -q '^/dev/ttyUSB0  .*(ftdi_sio)  /dev/serial/by-id/usb-QEMU_rig-if00-port0$' /tmp/ports &&
        grep -q '^/dev/ttyS1' /tmp/ports && return 0
    sed 's/^/  /' /tmp/ports
    return 1
}

plugged=$(adapter_now)
check adapter-is-ttyUSB0 [ "$plugged" = ttyUSB0 ]
check list-ports list_ports
check uart-115200 get_all uart115200 /dev/ttyS1 115200
check uart-38400 get_all uart38400 /dev/ttyS1 38400
check usb-115200 get_all usb115200 /dev/ttyUSB0 115200
check usb-38400 get_all usb38400 /dev/ttyUSB0 38400
check uart-without-clocal no_clocal
check usb-pulled-during-get pulled_during_get
check usb-replug-and-reopen interactive_replug
echo "@@DONE"

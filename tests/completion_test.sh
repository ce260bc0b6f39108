#!/bin/sh
# The bash completion of orvik's command line: options (as the usage text
# lists them), speeds after -s, devices after -d.
# usage: completion_test.sh <completion file> <orvik binary>
set -u
exec bash -c '
. "$1" || exit 1
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
complete_line() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    _orvik
    echo "${COMPREPLY[*]}"
}
check() {
    want=$1
    shift
    got=$(complete_line "$@")
    [ "$got" = "$want" ] || fail "orvik completion of \"$*\": \"$got\", not \"$want\""
}

complete -p orvik | grep -q -- "-F _orvik orvik$" || fail "orvik has no completion"
options=$("$2" --help 2>/dev/null | sed -n "s/^  \(-[A-Za-z]\|--[a-z-]*=\?\)[ <].*/\1/p" | tr "\n" " ")
check "${options% }" orvik -
check "-L" orvik -L
check "--save-as= --skip=" orvik --s
check "9600 19200 38400 57600 115200" orvik -s ""
check "19200 115200" orvik -s 1
# Only character devices are offered; any other path is completed as a file.
for device in $(complete_line orvik -d ""); do
    [ -c "$device" ] || fail "-d offers $device, no character device"
done
check "/dev/null" orvik -d /dev/nul
# A path with spaces stays one word.
dir=$(mktemp -d)
mkdir "$dir/my camera"
COMP_WORDS=(orvik -d "$dir/my c")
COMP_CWORD=2
_orvik
[ "${#COMPREPLY[@]}" = 1 ] && [ "${COMPREPLY[0]}" = "$dir/my camera" ] ||
    fail "-d $dir/my c completes to ${#COMPREPLY[@]} words: ${COMPREPLY[*]}"
# --mount takes a folder.
touch "$dir/file"
check "$dir/my camera" orvik --mount "$dir/"
rm -rf "$dir"
check "" orvik -a x
# The drawing modes, as bash splits the word at "=" and as it is typed whole.
check "auto kitty sixel iterm symbols none" orvik --images =
check "kitty" orvik --images = k
check "--images=sixel --images=symbols" orvik --images=s
check "none" orvik --images n
[ "$failures" -eq 0 ] && echo "completion checks passed"
' completion_test "$1" "$2"

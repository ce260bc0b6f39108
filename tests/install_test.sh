#!/bin/sh
# Installs a built tree into a scratch root and checks that a packager gets
# both programs and both manual pages, and that the pages render cleanly.
# usage: install_test.sh <build dir> <source dir>
set -u
build=${1:?build directory}
src=${2:?source directory}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/orvik-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT INT TERM
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# The page may be installed as it is or compressed by a packaging step.
find_page() {
    for f in "$1" "$1.gz"; do
        if [ -f "$f" ]; then
            echo "$f"
            return 0
        fi
    done
    return 1
}

if ! DESTDIR="$tmp/root" cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log" >&2
    fail "cmake --install failed"
fi

for prog in orvik orvik-camsim; do
    bin="$tmp/root/usr/bin/$prog"
    if [ ! -f "$bin" ]; then
        fail "$prog not installed in /usr/bin"
    elif [ ! -x "$bin" ]; then
        fail "$prog installed without execute permission"
    fi
done

# The installed orvik must be the real program: its usage text names it.
if [ -x "$tmp/root/usr/bin/orvik" ]; then
    "$tmp/root/usr/bin/orvik" -h >"$tmp/usage.out" 2>&1 </dev/null
    rc=$?
    [ "$rc" -eq 1 ] || fail "installed orvik -h ended with status $rc, not 1"
    grep -q '^usage: orvik -\[DugnlELh\] -d <serialdevice>$' "$tmp/usage.out" ||
        fail "installed orvik -h does not print the usage line"
fi

man1="$tmp/root/usr/share/man/man1"
pages="orvik.1"
# The emulator's page is required as soon as the source tree has it.
[ -f "$src/docs/orvik-camsim.1" ] && pages="$pages orvik-camsim.1"
for page in $pages; do
    if ! installed=$(find_page "$man1/$page"); then
        fail "$page not installed in /usr/share/man/man1"
        continue
    fi
    case $installed in
        *.gz) gzip -dc "$installed" >"$tmp/$page" ;;
        *) cp "$installed" "$tmp/$page" ;;
    esac
    cmp -s "$tmp/$page" "$src/docs/$page" ||
        fail "installed $page differs from docs/$page"
done

# Rendering: man must print no warning at all, and every section a reader
# looks for must be there.
if command -v man >/dev/null 2>&1; then
    for page in $pages; do
        warnings=$(MANWIDTH=80 man --warnings -l "$src/docs/$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "docs/$page renders with warnings: $warnings"
    done
    MANWIDTH=80 man -l "$src/docs/orvik.1" 2>/dev/null | col -b >"$tmp/orvik.txt"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS COMMANDS FILES "EXIT STATUS" EXAMPLES "SEE ALSO"; do
        grep -q "^$section\$" "$tmp/orvik.txt" || fail "orvik(1) lacks the section $section"
    done

    # Every option of the usage text (and the unlisted -U) has its entry
    # under OPTIONS, and every command of the dispatcher appears under
    # COMMANDS, so the page cannot silently fall behind the program.
    sed -n '/^OPTIONS$/,/^COMMANDS$/p' "$tmp/orvik.txt" >"$tmp/options.txt"
    if [ -f "$tmp/usage.out" ]; then
        letters=$(sed -n 's/^  -\([A-Za-z]\) .*/\1/p' "$tmp/usage.out")
        [ -n "$letters" ] || fail "no options found in the usage text"
        for letter in $letters U; do
            grep -Eq "^ +-$letter( |\$)" "$tmp/options.txt" ||
                fail "orvik(1) OPTIONS lacks -$letter"
        done
    fi
    # Every name of every row of the command table: {{"ls", "dir", "cd"}, ...
    names=$(grep -o '^ *{{"[a-z", ]*}' "$src/shell/interp.cpp" | grep -o '"[a-z]*"' | tr -d '"')
    [ -n "$names" ] || fail "no command names found in shell/interp.cpp"
    # The entry tags are the lines right after each .TP of the COMMANDS
    # section; a name must be a word of one of them, not just of the prose.
    awk '/^\.SH /{on = ($2 == "COMMANDS")} on && tag {print} {tag = ($0 == ".TP")}' \
        "$src/docs/orvik.1" | sed 's/\\f[BIRP]//g; s/^\.[A-Z]* //; s/[",|()]/ /g' \
        >"$tmp/tags.txt"
    for name in $names; do
        grep -Eq "(^| )$name( |\$)" "$tmp/tags.txt" ||
            fail "orvik(1) COMMANDS has no entry for $name"
    done
else
    echo "man not available: rendering not checked" >&2
fi

# Every fault kind the emulator takes is named in its page.
if [ -x "$tmp/root/usr/bin/orvik-camsim" ] && [ -f "$src/docs/orvik-camsim.1" ]; then
    kinds=$("$tmp/root/usr/bin/orvik-camsim" --help | sed -n '/KIND is one of/,/;$/p' |
        sed 's/.*KIND is one of//; s/[,;]/ /g')
    [ -n "$kinds" ] || fail "no fault kinds found in orvik-camsim --help"
    for kind in $kinds; do
        sed 's/\\-/-/g' "$src/docs/orvik-camsim.1" | grep -Eq "^\.BR $kind( |\$)" ||
            fail "orvik-camsim(1) does not name the fault $kind"
    done
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures install check(s) failed" >&2
    exit 1
fi
echo "install checks passed"

#!/bin/sh
# Builds the Debian package with scripts/package (in a release build
# directory kept under the build tree, so later runs only relink), then
# checks its name, fields, Depends and contents, and runs the unpacked orvik.
# usage: package_test.sh <source dir> <release build dir> <version>
set -u
src=${1:?source directory}
release=${2:?release build directory}
version=${3:?version}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/orvik-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT INT TERM
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

if ! BUILD=$release "$src/scripts/package" "$tmp" >"$tmp/log" 2>&1; then
    cat "$tmp/log" >&2
    echo "FAIL: scripts/package failed" >&2
    exit 1
fi
deb=$(tail -n 1 "$tmp/log")
arch=$(dpkg --print-architecture)
[ "$deb" = "$tmp/orvik_${version}-1_${arch}.deb" ] || fail "last line is '$deb'"
[ -f "$deb" ] || { echo "FAIL: no package at $deb" >&2; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = orvik ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version-1" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
for lib in libc6 libreadline8 libjpeg62-turbo libchafa0; do
    echo "$depends" | grep -Eq "(^|, )$lib( |,|\$)" || fail "Depends lacks $lib: $depends"
done

dpkg-deb -c "$deb" | awk '{print $6}' >"$tmp/contents"
for path in ./usr/bin/orvik ./usr/bin/orvik-camsim \
    ./usr/share/man/man1/orvik.1.gz ./usr/share/man/man1/orvik-camsim.1.gz \
    ./usr/share/doc/orvik/copyright ./usr/share/doc/orvik/README.md \
    ./usr/share/bash-completion/completions/orvik; do
    grep -qx "$path" "$tmp/contents" || fail "package lacks $path"
done

mkdir "$tmp/root"
dpkg-deb -x "$deb" "$tmp/root"
gzip -t "$tmp/root/usr/share/man/man1/orvik.1.gz" || fail "orvik.1.gz is no gzip file"
"$tmp/root/usr/bin/orvik" -h >"$tmp/usage" 2>&1 </dev/null
rc=$?
[ "$rc" -eq 1 ] || fail "unpacked orvik -h ended with status $rc"
grep -qx "Version $version" "$tmp/usage" || fail "unpacked orvik -h: $(cat "$tmp/usage")"

if [ "$failures" -ne 0 ]; then
    echo "$failures package check(s) failed" >&2
    exit 1
fi
echo "package checks passed: $(basename "$deb")"

#!/bin/sh
# Builds the Debian package with scripts/package (in a release build
# directory kept under the build tree, so later runs only relink), then
# checks its name, fields, Depends and contents, that lintian finds no
# error or warning in it (nor an unneeded section), that its documents are
# compressed as Debian asks and its README speaks of the package, and
# rehearses with the unpacked programs and sample card as the installed
# README tells a package user to.
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
    ./usr/share/bash-completion/completions/orvik ./usr/share/doc/orvik/changelog.Debian.gz \
    ./usr/share/orvik/sample-card/DCIM/100CANON/IMG_0001.JPG; do
    grep -qx "$path" "$tmp/contents" || fail "package lacks $path"
done

mkdir "$tmp/root"
dpkg-deb -x "$deb" "$tmp/root"
gzip -t "$tmp/root/usr/share/man/man1/orvik.1.gz" || fail "orvik.1.gz is no gzip file"
"$tmp/root/usr/bin/orvik" -h >"$tmp/usage" 2>&1 </dev/null
rc=$?
[ "$rc" -eq 1 ] || fail "unpacked orvik -h ended with status $rc"
grep -qx "Version $version" "$tmp/usage" || fail "unpacked orvik -h: $(cat "$tmp/usage")"
[ "$("$tmp/root/usr/bin/orvik" --version </dev/null)" = "orvik $version" ] ||
    fail "unpacked orvik --version"

# Errors and warnings fail; of the pedantic and information tags, those
# about what the package ships.
if lintian --fail-on error,warning --pedantic -I "$deb" >"$tmp/lintian" 2>&1; then
    :
else
    fail "lintian: $(grep -v 'root privileges' "$tmp/lintian")"
fi
for tag in binary-has-unneeded-section \
    uncompressed-manual-page spelling-error-in-binary \
    package-contains-documentation-outside-usr-share-doc; do
    ! grep -q " $tag" "$tmp/lintian" || fail "lintian: $(grep " $tag" "$tmp/lintian")"
done
# Debian compresses the documents over 4 KB (the copyright file excepted).
big=$(find "$tmp/root/usr/share/doc/orvik" -type f -size +4096c ! -name '*.gz' ! -name copyright)
[ -z "$big" ] || fail "documents over 4 KB installed uncompressed: $big"
# The installed README is for the installed package: no source-tree steps,
# and every document it names is there.
readme=$tmp/root/usr/share/doc/orvik/README.md
! grep -Eq 'scripts/|build/|man -l|\]\(' "$readme" || fail "README.md speaks of the source tree"
grep -o '[a-z]*\.md\.gz' "$readme" >"$tmp/named"
while read -r doc; do
    [ -f "$tmp/root/usr/share/doc/orvik/$doc" ] || fail "README.md names $doc, not installed"
done <"$tmp/named"

# The rehearsal of the installed README and orvik-camsim(1), run from the
# unpacked tree with the same paths under it.
card=/usr/share/orvik/sample-card
diff -r "$src/camsim/sample-card" "$tmp/root$card" >/dev/null || fail "$card differs from the source's"
gzip -dc "$tmp/root/usr/share/man/man1/orvik-camsim.1.gz" >"$tmp/camsim.1"
for doc in "$tmp/root/usr/share/doc/orvik/README.md" "$tmp/camsim.1"; do
    sed 's/\\-/-/g' "$doc" | grep -q "cp -R $card /tmp/card" ||
        fail "$(basename "$doc") does not copy $card"
done
cp -R "$tmp/root$card" "$tmp/card"
"$tmp/root/usr/bin/orvik-camsim" --card "$tmp/card" --link "$tmp/camera" \
    >"$tmp/camsim.out" 2>&1 </dev/null &
sim=$!
i=0
while [ ! -e "$tmp/camera" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
(cd "$tmp" && "$tmp/root/usr/bin/orvik" -d "$tmp/camera" -l >"$tmp/list" 2>&1 </dev/null)
grep -q "IMG_0001.JPG" "$tmp/list" || fail "the rehearsal's listing: $(cat "$tmp/list")"
kill "$sim" 2>/dev/null
wait "$sim" 2>/dev/null

if [ "$failures" -ne 0 ]; then
    echo "$failures package check(s) failed" >&2
    exit 1
fi
echo "package checks passed: $(basename "$deb")"

#!/bin/sh
# Installs the build with --prefix and with DESTDIR, makes the Debian package,
# and runs the installed and the packaged program on the example file.
#   install_test.sh BUILD_DIR SOURCE_DIR VERSION
set -eu
build=$1 source=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
runs_example() {
    "$1" "$source/examples/parcels.mavek" | cmp -s - "$source/examples/parcels.report" || fail "$1 on the example"
}

cmake --install "$build" --prefix "$work/prefix" >/dev/null
runs_example "$work/prefix/bin/mavek-tally"
MANPATH=$work/prefix/share/man man -w mavek-tally | grep -qx "$work/prefix/share/man/man1/mavek-tally.1.gz" ||
    fail "man does not find the installed page"

DESTDIR=$work/stage cmake --install "$build" --prefix /usr/local >/dev/null
test -x "$work/stage/usr/local/bin/mavek-tally" || fail "DESTDIR ignored"
test -f "$work/stage/usr/local/share/man/man1/mavek-tally.1.gz" || fail "DESTDIR ignored for the manual"

(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null) || fail "cpack"
deb=$work/package/mavek-tally_${version}_$(dpkg --print-architecture).deb
test -f "$deb" || fail "no $deb"
test "$(dpkg-deb -f "$deb" Section)" = utils || fail "section"
dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>=' || fail "shared-library dependencies not computed"
dpkg-deb -f "$deb" Description | grep -q 'mavek file' || fail "description"
dpkg-deb -x "$deb" "$work/unpacked"
zgrep -q "mavek-tally $version" "$work/unpacked/usr/share/man/man1/mavek-tally.1.gz" || fail "manual without the version"
cmp -s "$source/LICENSE" "$work/unpacked/usr/share/doc/mavek-tally/copyright" || fail "copyright"
zgrep -q "^mavek-tally ($version)" "$work/unpacked/usr/share/doc/mavek-tally/changelog.gz" || fail "changelog"
runs_example "$work/unpacked/usr/bin/mavek-tally"
# Debian's own checks: no error, and every warning shown.
lintian --fail-on error --allow-root "$deb" || fail "lintian"

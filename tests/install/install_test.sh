#!/bin/sh
# Installs the build with --prefix and with DESTDIR, makes the Debian package,
# and runs the installed and the packaged program on the example file.
#   install_test.sh BUILD_DIR SOURCE_DIR VERSION
set -eu
build=$1 source=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
runs_example() {  # PROGRAM [EXAMPLES_FOLDER]
    "$1" "${2:-$source/examples}/parcels.mavek" | cmp -s - "${2:-$source/examples}/parcels.report" || fail "$1 on the example"
}

# Built as distributions build: PIE, full RELRO, BIND_NOW, a stack protector.
hardened() {
    readelf -hW "$1" | grep -q 'Type:[[:space:]]*DYN' || fail "$1 is not position-independent"
    readelf -lW "$1" | grep -q GNU_RELRO || fail "$1 has no RELRO"
    readelf -dW "$1" | grep -q 'BIND_NOW\|FLAGS.*NOW' || fail "$1 has no BIND_NOW"
    readelf -sW --dyn-syms "$1" | grep -q __stack_chk_fail || fail "$1 has no stack protector"
}

# A relative prefix, which cmake takes from the current folder.
(cd "$work" && cmake --install "$build" --prefix prefix >/dev/null)
runs_example "$work/prefix/bin/mavek-tally"
hardened "$work/prefix/bin/mavek-tally"
MANPATH=$work/prefix/share/man man -w mavek-tally | grep -qx "$work/prefix/share/man/man1/mavek-tally.1.gz" ||
    fail "man does not find the installed page"
# That manifest lists another prefix than the build's: uninstall refuses it and removes nothing.
if cmake --build "$build" --target uninstall >/dev/null 2>&1; then fail "uninstall took another prefix's manifest"; fi
test -x "$work/prefix/bin/mavek-tally" || fail "a refused uninstall removed files"
# Named by the same relative prefix, it is removed, with every folder that the install made.
(cd "$work" && cmake -DMANIFEST="$build/install_manifest.txt" -DPREFIX=prefix -P "$source/cmake/uninstall.cmake") \
    >/dev/null || fail "uninstall of a relative prefix"
test ! -e "$work/prefix" || fail "uninstall left $(find "$work/prefix")"

# Installed to the build's prefix, staged, and uninstalled again: nothing is left.
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
DESTDIR=$work/stage cmake --install "$build" >/dev/null
test -f "$work/stage$prefix/share/man/man1/mavek-tally.1.gz" || fail "DESTDIR ignored for the manual"
runs_example "$work/stage$prefix/bin/mavek-tally" "$work/stage$prefix/share/doc/mavek-tally/examples"
DESTDIR=$work/stage cmake --build "$build" --target uninstall >/dev/null || fail "uninstall"
test ! -e "$work/stage$prefix" || fail "uninstall left $(find "$work/stage$prefix")"
# The manual names the examples where this prefix puts them.
grep -qF "$(echo "$prefix/share/doc/mavek-tally/examples/" | sed 's/-/\\-/g')" "$build/man/mavek-tally.1" ||
    fail "the manual names another folder for the examples"

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
runs_example "$work/unpacked/usr/bin/mavek-tally" "$work/unpacked/usr/share/doc/mavek-tally/examples"
hardened "$work/unpacked/usr/bin/mavek-tally"
# Debian's own checks: no error and no warning. A package build has no lintian.
if command -v lintian >/dev/null; then
    lintian --fail-on error,warning --allow-root "$deb" || fail "lintian"
else
    echo "skipped: lintian is not installed, so the package is not checked by it"
fi

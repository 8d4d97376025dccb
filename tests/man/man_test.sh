#!/bin/sh
# The manual renders without a warning under groff and mandoc, has no
# template marker left, and its example is what the program prints for the
# example file it names.
#   man_test.sh PAGE SOURCE_DIR PROGRAM
set -eu
page=$1 source=$2 program=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
warnings=$(groff -man -ww -z "$page" 2>&1) && test -z "$warnings" || fail "groff: $warnings"
warnings=$(mandoc -Tlint -W warning "$page" 2>&1) && test -z "$warnings" || fail "mandoc: $warnings"
! grep -q '@[A-Z_]*@' "$page" || fail "a template marker is left in the page"
# The lines of the example after the command, up to the end of the block, unescaped.
sed -n '/^\$ mavek\\-tally examples\/parcels.mavek$/,/^\.EE$/p' "$page" | sed '1d;$d' | sed 's/\\-/-/g' >"${TMPDIR:-/tmp}/man-example.$$"
(cd "$source" && $program examples/parcels.mavek) | cmp -s - "${TMPDIR:-/tmp}/man-example.$$" ||
    { rm -f "${TMPDIR:-/tmp}/man-example.$$"; fail "the example's report is not what the program prints"; }
rm -f "${TMPDIR:-/tmp}/man-example.$$"

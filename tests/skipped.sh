#!/bin/sh
# SPDX-License-Identifier: MIT
# The last test of a run: lists, on the console of the ctest that runs it,
# each test of the run that was skipped, whole or in part, with its reason,
# for ctest itself shows "Skipped" and no more.
#
#   tests/skipped.sh LOG   LOG: the run's log, Testing/Temporary/LastTest.log.tmp
#
# A skip is a bats test's "# skip" line, or a whole test's "skipped:" or
# "release: no compiler …" line.
set -eu
[ $# = 1 ] || { echo "usage: skipped.sh LOG" >&2 && exit 2; }
found=$(awk '
    /^[0-9]+\/[0-9]+ Testing: / { test = $3; output = 0; next }
    /^<end of output>$/ { output = 0; next }
    /^Output:$/ { output = 1; next }
    !output || /^-+$/ { next }
    / # [Ss][Kk][Ii][Pp]/ && /^ok / {
        sub(/^ok [0-9]+ /, ""); sub(/ # [Ss][Kk][Ii][Pp] */, ": ")
        print "skipped: " test ": " $0; next
    }
    /^skipped: / { sub(/^skipped: /, ""); print "skipped: " test ": " $0; next }
    /^release: (no compiler|apt-get install)/ { print "skipped: " $0 }
' "$1")
[ -n "$found" ] || exit 0
echo "$found"
# shellcheck source=tests/console.sh
. "$(dirname "$0")/console.sh"
echo "$found" >>"$console"

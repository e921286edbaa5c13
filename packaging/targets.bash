# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2034 # its arrays are for the script that sources it
# The table of targets, for a bash script that sources this file: the Debian
# names in the table's order in the array targets, the GNU triple of each in
# the associative array triple.
declare -A triple
targets=()
while IFS='|' read -r _target _triple _; do
    triple[$_target]=$_triple
    targets+=("$_target")
done < <(grep -v '^#' "${BASH_SOURCE[0]%/*}/targets")

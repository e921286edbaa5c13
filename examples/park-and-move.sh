#!/bin/sh
# SPDX-License-Identifier: MIT
# The typical harness scenario: park a task with corenest on the first CPU a
# task may use here, move it with corehop to the last, show the kernel's view
# of its affinity before and after, then end the parker. Exits with corehop's
# status, or with corenest's when the parker could not pin itself. Where a
# task may use one CPU alone, it parks there, says so and exits 0.
#
#   park-and-move.sh [DIR]    DIR holds corehop, corenest and corehop-sweep;
#                             default: PATH
# Needs a POSIX sh, taskset (util-linux or busybox), and parking.sh beside
# it: the parking steps.
set -u

dir=${1:+$1/}
here=$(dirname "$0")
# shellcheck source=examples/parking.sh
. "$here/parking.sh"
# The CPUs a task may use here, such as 0-3,6: the online ones within this
# cgroup's cpuset, which corehop-sweep finds.
cpus=$("${dir}corehop-sweep" -l) || exit
first=${cpus%%[-,]*}
last=${cpus##*[-,]}

# End the parker on every path out of this script, signals included. The
# traps stand before it starts, and name it by $!, which the shell sets as it
# forks the parker, before it runs any trap.
trap 'kill -TERM ${!:-} 2>/dev/null; wait' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# The parker starts on every CPU a task may use, so that only its own pin can
# leave it on the first alone, whichever CPUs this shell runs on.
start_parker "$first" taskset -c "$cpus" "${dir}corenest"
# shellcheck disable=SC2154 # start_parker sets it
if ! wait_parked "$parker" "$first"; then
    if settled "$parker" "$first"; then
        # It said why on its own standard output.
        trap - EXIT
        wait "$parker"
        exit
    fi
    echo "corenest did not park within 10 seconds" >&2
    exit 1
fi

cpus_of "$parker"
printf 'parked: pid %s on CPUs %s\n' "$parker" "$cpus"
if [ "$first" = "$last" ]; then
    printf 'a task may use CPU %s alone here: no other CPU to move the parker to\n' "$first"
    exit 0
fi
"${dir}corehop" -c "$last" -p "$parker"
status=$?
cpus_of "$parker"
printf 'moved:  pid %s on CPUs %s\n' "$parker" "$cpus"
exit "$status"

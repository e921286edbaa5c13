#!/bin/sh
# SPDX-License-Identifier: MIT
# The typical harness scenario: park a task on CPU 0 with corenest, move it
# with corehop to the last online CPU, show the kernel's view of its affinity
# before and after, then end the parker. Exits with corehop's status, or with
# corenest's when the parker could not pin itself.
#
#   park-and-move.sh [DIR]    DIR holds corehop and corenest; default: PATH
set -u

dir=${1:+$1/}
online=$(cat /sys/devices/system/cpu/online) # such as 0-3,6
last=${online##*[-,]}

"${dir}corenest" -n 0 &
parker=$!
# End the parker on every path out of this script, signals included.
trap 'kill -TERM "$parker" 2>/dev/null; wait "$parker" 2>/dev/null' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

affinity() {
    sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' "/proc/$parker/status" 2>/dev/null
}

# corenest prints nothing once pinned. It has pinned itself when it runs as
# corenest (not the shell that starts it) and sleeps, which it does only
# after the pin: /proc/PID/stat then reads "PID (corenest) S ...".
tries=0
until grep -qs '^[0-9]* (corenest) S ' "/proc/$parker/stat" && [ "$(affinity)" = 0 ]; do
    if ! kill -0 "$parker" 2>/dev/null || grep -qs ' (corenest) Z ' "/proc/$parker/stat"; then
        # It said why on its own standard output.
        trap - EXIT
        wait "$parker"
        exit
    fi
    tries=$((tries + 1))
    if [ "$tries" -ge 500 ]; then
        echo "corenest did not park within 5 seconds" >&2
        exit 1
    fi
    sleep 0.01
done

echo "parked: pid $parker on CPUs $(affinity)"
"${dir}corehop" -c "$last" -p "$parker"
status=$?
echo "moved:  pid $parker on CPUs $(affinity)"
exit "$status"

#!/usr/bin/env bash
# The typical harness scenario: park a task on CPU 0 with corenest, move it
# with corehop to the last online CPU, show the kernel's view of its affinity
# before and after, then end the parker. Exits with corehop's status.
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

# corenest prints nothing once pinned: it has pinned itself when it sleeps
# in clock_nanosleep (system call 230 on x86-64).
for ((tries = 0; ; tries++)); do
    read -r call _ <"/proc/$parker/syscall" 2>/dev/null && [ "$call" = 230 ] && break
    if [ ! -d "/proc/$parker" ] || [ "$tries" -ge 500 ]; then
        echo "corenest did not park" >&2
        exit 1
    fi
    sleep 0.01
done

affinity() {
    sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' "/proc/$parker/status"
}

echo "parked: pid $parker on CPUs $(affinity)"
"${dir}corehop" -c "$last" -p "$parker"
status=$?
echo "moved:  pid $parker on CPUs $(affinity)"
exit "$status"

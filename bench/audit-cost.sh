#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The cost of corehop-sweep -i against the number of threads on the machine:
# its wall time (the median of ROUNDS runs) and its system calls, with the
# machine's own threads, then with THREADS more, and ten times as many; then
# the CPU time of an audit with a window of 10 seconds (-w 10), against one
# without, with the machine's own threads. The
# audit reads every thread's files only where a CPU is isolated: where none
# is, the last CPU stands in as isolated, through a stand-in of
# /sys/devices/system/cpu/isolated in a mount namespace of its own (root).
#
#   bench/audit-cost.sh [BIN] [THREADS] [ROUNDS]   defaults: build/bin, 1000, 7
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${1:-build/bin}
threads=${2:-1000}
rounds=${3:-7}

work=$(mktemp -d)
holders=()
trap 'kill "${holders[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

# A process of N threads that sleep until it is ended, each on a small stack.
cat >"$work/threads.c" <<'C'
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

static void *rest(void *unused) {
    (void)unused;
    for (;;)
        pause();
    return NULL;
}

int main(int argc, char *argv[]) {
    pthread_attr_t small;
    pthread_attr_init(&small);
    pthread_attr_setstacksize(&small, 64 * 1024);
    for (int i = 1; i < atoi(argv[1]); i++) {
        pthread_t thread;
        if (pthread_create(&thread, &small, rest, NULL) != 0)
            return 1;
    }
    rest(NULL);
}
C
cc -O2 -pthread -o "$work/threads" "$work/threads.c"

# the audit, where a CPU is isolated
if [ -z "$(tr -d '\n' </sys/devices/system/cpu/isolated)" ]; then
    [ "$(id -u)" = 0 ] || { echo "audit-cost: no CPU is isolated here, and a stand-in needs root" >&2 && exit 77; }
    online=$(cat /sys/devices/system/cpu/online)
    echo "${online##*[-,]}" >"$work/isolated"
    # shellcheck disable=SC2016 # expanded by the inner shell
    audit=(unshare -m sh -c 'mount --bind "$1" /sys/devices/system/cpu/isolated && bin=$2 && shift 2 &&
        exec "$bin" -i "$@"' sh "$work/isolated" "$bin/corehop-sweep")
else
    audit=("$bin/corehop-sweep" -i)
fi

threads_now() { find /proc/[0-9]*/task -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }

# median_ms: the median wall time of ROUNDS audits, in milliseconds.
median_ms() {
    local start end times=()
    for ((r = 0; r < rounds; r++)); do
        start=$(date +%s%N)
        "${audit[@]}" >/dev/null || true
        end=$(date +%s%N)
        times+=($(((end - start) / 1000)))
    done
    printf '%s\n' "${times[@]}" | sort -n | sed -n "$((rounds / 2 + 1))p" |
        awk '{ printf "%.1f", $1 / 1000 }'
}

calls() {
    strace -f -c -o "$work/calls" "${audit[@]}" >/dev/null 2>&1 || true
    awk '$NF == "total" { print $(NF - 2) }' "$work/calls"
}

# cpu_ms ARG...: the CPU time, user and system, of an audit with ARGs, in
# milliseconds.
cpu_ms() {
    local TIMEFORMAT='%3U %3S' times
    times=$({ time "${audit[@]}" "$@" >/dev/null 2>&1; } 2>&1) || true
    awk '{ printf "%.0f", ($1 + $2) * 1000 }' <<<"$times"
}

echo "corehop-sweep -i -w 10: $(cpu_ms -w 10) ms of CPU time; without the window, $(cpu_ms) ms"
echo "corehop-sweep -i; the median of $rounds runs"
printf '%-10s %12s %12s\n' threads 'ms a run' 'system calls'
for add in 0 "$threads" $((threads * 9)); do
    if [ "$add" -gt 0 ]; then
        "$work/threads" "$add" &
        holders+=($!)
        until [ "$(find "/proc/$!/task" -mindepth 1 -maxdepth 1 | wc -l)" -ge "$add" ]; do sleep 0.1; done
    fi
    printf '%-10s %12s %12s\n' "$(threads_now)" "$(median_ms)" "$(calls)"
done

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The cost of one move, side by side in one run, on the same sleeping task:
#   corehop -c 0 -p PID          (the default build, and the static build)
#   taskset -pc 0 PID            (util-linux)
#   floor -c 0 -p PID            (a minimal C program built here that makes the
#                                 same two calls and prints one line: the floor
#                                 for a dynamically linked process)
# It reports user-space instructions under callgrind (repeatable) and the wall
# time per run over loops of RUNS runs (the median of ROUNDS rounds), each as
# a ratio to corehop's. Then the cost of a check of corehop-sweep: the wall
# time of a sweep over its number of checks, against a run of corehop.
#
#   bench/move-cost.sh [RUNS] [ROUNDS]    defaults: 500 runs, 7 rounds
# It builds the default and static presets when their programs are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-500}
rounds=${2:-7}

for preset in default static; do
    dir=build
    [ "$preset" = static ] && dir=build-static
    [ -x "$dir/bin/corehop" ] || { cmake --preset "$preset" && cmake --build --preset "$preset"; } >/dev/null
done

work=$(mktemp -d)
sleep 600 &
task=$!
trap 'kill "$task" 2>/dev/null; rm -rf "$work"' EXIT

cat >"$work/floor.c" <<'C'
#define _GNU_SOURCE
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char *argv[]) {
    if (argc != 5)
        return 2;
    int cpu = atoi(argv[2]), pid = atoi(argv[4]);
    cpu_set_t want, got;
    CPU_ZERO(&want);
    CPU_SET(cpu, &want);
    CPU_ZERO(&got);
    if (sched_setaffinity(pid, sizeof want, &want) == -1 ||
        sched_getaffinity(pid, sizeof got, &got) == -1 || !CPU_EQUAL(&want, &got)) {
        printf("Fail:%d %d\n", pid, cpu);
        return 255;
    }
    printf("Pass:%d %d\n", pid, cpu);
    return 0;
}
C
cc -O2 -o "$work/floor" "$work/floor.c"

names=(corehop corehop-static taskset floor)
commands=("build/bin/corehop -c 0 -p $task" "build-static/bin/corehop -c 0 -p $task"
    "taskset -pc 0 $task" "$work/floor -c 0 -p $task")

instructions() {
    # shellcheck disable=SC2086 # the command's words
    valgrind --tool=callgrind --callgrind-out-file=/dev/null $1 2>&1 >/dev/null |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

# loop_ns COMMAND [COUNT]: nanoseconds for COUNT (default RUNS) runs of COMMAND.
loop_ns() {
    local start end
    start=$(date +%s%N)
    for ((i = 0; i < ${2:-runs}; i++)); do
        # shellcheck disable=SC2086
        $1 >/dev/null
    done
    end=$(date +%s%N)
    echo $((end - start))
}

declare -A ins wall
for n in "${!names[@]}"; do
    ins[$n]=$(instructions "${commands[$n]}")
done
# Rounds interleave the programs, so that a busy moment hits them alike.
declare -A samples
for ((r = 0; r < rounds; r++)); do
    for n in "${!names[@]}"; do
        samples[$n]+="$(loop_ns "${commands[$n]}") "
    done
done
for n in "${!names[@]}"; do
    # shellcheck disable=SC2086
    wall[$n]=$(printf '%s\n' ${samples[$n]} | sort -n | sed -n "$((rounds / 2 + 1))p")
done

echo "one move of a sleeping task to CPU 0; $runs runs a round, median of $rounds rounds"
printf '%-15s %13s %16s %10s %16s\n' program instructions 'vs corehop' 'us/run' 'vs corehop'
for n in "${!names[@]}"; do
    printf '%-15s %13d %16s %10.1f %16s\n' "${names[$n]}" "${ins[$n]}" \
        "$(awk -v a="${ins[$n]}" -v b="${ins[0]}" 'BEGIN { printf "%.2f", a / b }')" \
        "$(awk -v t="${wall[$n]}" -v r="$runs" 'BEGIN { printf "%.1f", t / r / 1000 }')" \
        "$(awk -v a="${wall[$n]}" -v b="${wall[0]}" 'BEGIN { printf "%.2f", a / b }')"
done
awk -v c="${ins[0]}" -v t="${ins[2]}" -v f="${ins[3]}" -v cw="${wall[0]}" -v tw="${wall[2]}" 'BEGIN {
    printf "corehop/taskset instructions %.2f (target <= 0.50)\n", c / t
    printf "corehop/floor instructions   %.2f (target <= 1.15)\n", c / f
    printf "corehop/taskset wall time    %.2f (target <= 1.00)\n", cw / tw
}'

# A sweep's checks, against runs of corehop, in interleaved rounds.
checks=$(build/bin/corehop-sweep | sed -n 's/^1\.\.//p')
sweeps=$((runs / checks))
check_ns=() run_ns=()
for ((r = 0; r < rounds; r++)); do
    check_ns+=($(($(loop_ns build/bin/corehop-sweep "$sweeps") / sweeps / checks)))
    run_ns+=($(($(loop_ns "${commands[0]}") / runs)))
done
median() { printf '%s\n' "$@" | sort -n | sed -n "$((rounds / 2 + 1))p"; }
check=$(median "${check_ns[@]}")
run=$(median "${run_ns[@]}")
awk -v c="$check" -v r="$run" -v n="$checks" 'BEGIN {
    printf "corehop-sweep: %d checks a sweep, %.1f us a check, %.1f us a run of corehop\n", n, c / 1000, r / 1000
    printf "corehop-sweep check/corehop run %.2f (target <= 1.10)\n", c / r
}'

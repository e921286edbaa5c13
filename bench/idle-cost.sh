#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The idle cost of a parked corenest, side by side with the same measure of
# `taskset -c 0 sleep infinity`: CPU time (clock ticks and nanoseconds on a
# CPU), voluntary context switches (wake-ups) and resident memory, over a span
# of SECONDS while both sit parked on CPU 0.
#
#   bench/idle-cost.sh [BIN] [SECONDS]    BIN defaults to build/bin, SECONDS to 10
set -euo pipefail

bin=${1:-build/bin}
span=${2:-10}

"$bin/corenest" -n 0 &
parker=$!
taskset -c 0 sleep infinity &
sleeper=$!
trap 'kill "$parker" "$sleeper" 2>/dev/null; wait 2>/dev/null' EXIT

# ticks PID: user plus system clock ticks (the fields after the command name).
ticks() {
    local stat
    stat=$(cat "/proc/$1/stat")
    read -r -a fields <<<"${stat##*) }"
    echo $((fields[11] + fields[12]))
}
on_cpu_ns() { read -r ns _ <"/proc/$1/schedstat" && echo "$ns"; }
status_field() { sed -n "s/^$2:[[:space:]]*\([0-9]*\).*/\1/p" "/proc/$1/status"; }

sleep 0.5 # both started and pinned
declare -A before
for pid in "$parker" "$sleeper"; do
    before[$pid]="$(ticks "$pid") $(on_cpu_ns "$pid") $(status_field "$pid" voluntary_ctxt_switches)"
done
sleep "$span"

printf 'over %s s parked on CPU 0 (CLK_TCK %s)\n' "$span" "$(getconf CLK_TCK)"
printf '%-30s %9s %12s %9s %9s\n' program 'CPU ticks' 'CPU ns' wake-ups 'RSS KiB'
for pid in "$parker" "$sleeper"; do
    read -r t0 ns0 v0 <<<"${before[$pid]}"
    name=corenest
    [ "$pid" = "$sleeper" ] && name='taskset -c 0 sleep infinity'
    printf '%-30s %9d %12d %9d %9d\n' "$name" $(($(ticks "$pid") - t0)) \
        $(($(on_cpu_ns "$pid") - ns0)) $(($(status_field "$pid" voluntary_ctxt_switches) - v0)) \
        "$(status_field "$pid" VmRSS)"
done

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The VM suite: boots Debian's own kernels of every architecture and series
# under QEMU (software emulation), one guest a case, each with a kernel shape
# this machine lacks, and runs the guest's checks of the released programs
# there (corehop-sweep's among them). Prints a line a boot as it ends and a
# summary; fails on any "not ok" line, on a guest that does not reach its
# last line, and on a time-out.
#
#   tests/vm/run.sh WORK [TARGET...]   the boots of the targets (default: all)
#   tests/vm/run.sh --list             the matrix: what boots, and each case
#   tests/vm/run.sh --kernels [TARGET...]   the kernels they boot, for
#                                      tests/vm/fetch-kernel.sh
#   tests/vm/run.sh --missing [TARGET...]   what the boots lack here, if anything
# WORK is a folder for initramfs images and console logs. The programs come
# from the release archives in $COREHOP_DIST, or else packaging/release.sh
# makes them in WORK. Kernels and busybox come from tests/vm/fetch-kernel.sh,
# the guests' machines from tests/vm/guests.sh. It exits 77 (skipped) where
# QEMU, a kernel or a target's compiler is missing, saying what to get.
# Every guest runs under software emulation, its CPUs on one host thread:
# two guests at a time, one a core, take less time so than with a thread a
# CPU.
set -euo pipefail

source=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tests/vm/guests.sh
source "$source/tests/vm/guests.sh"

# What each case shows (tests/vm/guest.sh holds its checks).
declare -A shows
while IFS='|' read -r name what; do shows[$name]=$what; done <<'EOF'
basic|the sweep on 2 CPUs; the example script
possible2100|the sweep with 2100 possible CPUs, so that every mask is read in more than 128 bytes; the example script
possible2048|the same on ppc64el, whose kernels are built for 2048 CPUs
possible1024|the sweep with 1024 possible CPUs, the most a 128-byte mask holds
possible1025|the sweep with 1025 possible CPUs, one past it
hotplug|the sweep -H on 4 CPUs: a CPU offline under the parker and back, never one a task or an interrupt is bound to alone, nor where the sweep lacks descriptors, sees another PID namespace's tasks or no interrupts (subset=pid); a task's forged name escaped; the CPU back after a SIGKILL of the sweep's process group, a guard killed or stopped; the sweep with CPU 1 offline; the example script
cgroupv1|the sweep -l and -H under cgroup v1's cpuset mounted noprefix: no CPU a cpuset holds goes offline, though a mount hides the cpuset
isolcpus|the sweep with CPU 1 isolated
nohz_full|the sweep with CPU 1 isolated and tickless
cpuset|the sweep in a cgroup v2 cpuset of CPU 0
partition|an isolated partition of every CPU, invalid, fails the audit though nothing else is isolated; the sweep outside and inside a cgroup v2 isolated partition of CPU 1
rt|SCHED_FIFO tasks and parkers moved both ways, their policy kept; a SCHED_DEADLINE task refused; the sweep; -H where SCHED_DEADLINE bandwidth or a read-only /sys keeps CPU 1 online
onecpu|the sweep on 1 CPU; the example script
crossword|the sweep with CPUs 63-65 brought online, across the mask's first two 64-bit words
isolation|the audit (-i) of isolcpus=2-3 nohz_full=2-3 irqaffinity=0-1 on 4 CPUs: it holds since 7.x, with a task bound to CPU 3 too; it fails naming a task that may use every CPU, the kernel threads of 6.1 and 5.10, 5.10's missing nohz_full, and init widened by an isolated partition; over a window (-w), a busy task alone on CPU 3 is quiet, two are not (the tick back), nor is the serial port's interrupt made to fire there; the lockup watchdog on every CPU and an invalid sibling partition fail
leaky|the audit of isolcpus=2-3 nohz_full=2-3 without irqaffinity=: new interrupts may use every CPU, and amd64's keyboard lands on the isolated ones
irqstray|the audit of isolcpus=1 nohz_full=1 irqaffinity=0,2-3 on arm64: the per-CPU timer and PMU stray nowhere, and the uart made to may use CPUs 1 and 3 lands on CPU 1 and is named, as is the RTC's alarm made to fire there over a window
ticking|the audit's window (-w) of isolcpus=2-3 irqaffinity=0-1, no nohz_full=: a busy CPU passes, its tick noted
timekeeping|the audit of nohz_full=0-2: the kernel keeps CPU 0 for timekeeping, and the audit names it
EOF

# The boots: the programs' target | the kernel, ARCH/SUITE[/FLAVOUR] | case |
# QEMU's -smp | memory in MiB | kernel arguments. None shows what another of
# its target and kernel shows already: hotplug runs all that basic would,
# possible2100 too, nohz_full all that isolcpus would.
boots=()
while IFS= read -r row; do
    [[ -z $row || $row == '#'* ]] || boots+=("$row")
done <<'EOF'
# 6.1 (Debian 12)
amd64|amd64/bookworm|possible2100|2|3072|possible_cpus=2100
amd64|amd64/bookworm|possible1024|2|768|possible_cpus=1024
amd64|amd64/bookworm|possible1025|2|768|possible_cpus=1025
amd64|amd64/bookworm|hotplug|4|256|
amd64|amd64/bookworm|nohz_full|2|256|nohz_full=1 isolcpus=domain,managed_irq,1
amd64|amd64/bookworm|cpuset|2|256|
amd64|amd64/bookworm|cgroupv1|4|256|
amd64|amd64/bookworm|onecpu|1|256|
amd64|amd64/bookworm|isolation|4|256|isolcpus=2-3 nohz_full=2-3 irqaffinity=0-1
amd64|amd64/bookworm|leaky|4|256|isolcpus=2-3 nohz_full=2-3
arm64|arm64/bookworm|hotplug|4|256|
arm64|arm64/bookworm|irqstray|4|256|isolcpus=1 nohz_full=1 irqaffinity=0,2-3
arm64|arm64/bookworm|onecpu|1|256|
ppc64el|ppc64el/bookworm|hotplug|4|512|
ppc64el|ppc64el/bookworm|onecpu|1|512|
ppc64el|ppc64el/bookworm|possible2048|2,maxcpus=2100|4096|
s390x|s390x/bookworm|hotplug|4|128|
s390x|s390x/bookworm|onecpu|1|128|
s390x|s390x/bookworm|crossword|66|256|maxcpus=2
i386|amd64/bookworm|possible2100|2|3072|possible_cpus=2100
armhf|arm64/bookworm|hotplug|4|256|
# 5.10 (Debian 11)
amd64|amd64/bullseye|hotplug|4|256|
amd64|amd64/bullseye|cpuset|2|256|
amd64|amd64/bullseye|isolcpus|2|256|isolcpus=1
amd64|amd64/bullseye|onecpu|1|256|
amd64|amd64/bullseye|possible1025|2|768|possible_cpus=1025
amd64|amd64/bullseye|isolation|4|256|isolcpus=2-3 nohz_full=2-3 irqaffinity=0-1
arm64|arm64/bullseye|isolation|4|256|isolcpus=2-3 nohz_full=2-3 irqaffinity=0-1
arm64|arm64/bullseye|irqstray|4|256|isolcpus=1 nohz_full=1 irqaffinity=0,2-3
amd64|amd64/bullseye|ticking|4|256|isolcpus=2-3 irqaffinity=0-1
arm64|arm64/bullseye|ticking|4|256|isolcpus=2-3 irqaffinity=0-1
# 6.12 (Debian 13); possible_cpus= no longer raises the possible CPUs of x86
amd64|amd64/trixie|hotplug|4|256|
amd64|amd64/trixie|cpuset|2|256|
amd64|amd64/trixie|partition|2|256|
amd64|amd64/trixie|isolcpus|2|256|isolcpus=1
amd64|amd64/trixie|onecpu|1|256|
arm64|arm64/trixie|hotplug|4|256|
ppc64el|ppc64el/trixie|possible2048|2,maxcpus=2100|4096|
riscv64|riscv64/trixie|hotplug|4|256|
# 7.x (Debian unstable, whatever it has that day)
amd64|amd64/sid|hotplug|4|256|
amd64|amd64/sid|cpuset|2|256|
amd64|amd64/sid|partition|2|256|
amd64|amd64/sid|isolcpus|2|256|isolcpus=1
amd64|amd64/sid|onecpu|1|256|
amd64|amd64/sid|isolation|4|256|isolcpus=2-3 nohz_full=2-3 irqaffinity=0-1
amd64|amd64/sid|leaky|4|256|isolcpus=2-3 nohz_full=2-3
amd64|amd64/sid|timekeeping|4|256|isolcpus=domain,1-2 nohz_full=0-2 irqaffinity=0,3
arm64|arm64/sid|isolation|4|256|isolcpus=2-3 nohz_full=2-3 irqaffinity=0-1
arm64|arm64/sid|leaky|4|256|isolcpus=2-3 nohz_full=2-3
arm64|arm64/sid|irqstray|4|256|isolcpus=1 nohz_full=1 irqaffinity=0,2-3
amd64|amd64/sid|ticking|4|256|isolcpus=2-3 irqaffinity=0-1
arm64|arm64/sid|ticking|4|256|isolcpus=2-3 irqaffinity=0-1
arm64|arm64/sid|hotplug|4|256|
ppc64el|ppc64el/sid|possible2048|2,maxcpus=2100|4096|
ppc64el|ppc64el/sid|hotplug|4|512|
s390x|s390x/sid|crossword|66|256|maxcpus=2
s390x|s390x/sid|basic|2|128|
riscv64|riscv64/sid|hotplug|4|256|
i386|amd64/sid|basic|2|256|
armhf|arm64/sid|basic|2|256|
# PREEMPT_RT (Debian unstable's rt flavour)
amd64|amd64/sid/rt|rt|2|256|
amd64|amd64/sid/rt|nohz_full|2|256|nohz_full=1 isolcpus=domain,managed_irq,1
amd64|amd64/sid/rt|hotplug|4|256|
arm64|arm64/sid/rt|rt|2|256|
EOF

# The targets of the release, and their GNU triples.
# shellcheck source=packaging/targets.bash
source "$source/packaging/targets.bash"

# select TARGET...: the numbers of the boots of those targets (every target
# where none is named), in $selected; fails on a target with no boot.
select_boots() {
    local wanted=" ${*:-${targets[*]}} " target i found
    selected=()
    for target in $wanted; do
        found=0
        for i in "${!boots[@]}"; do [ "${boots[i]%%|*}" != "$target" ] || found=1; done
        [ "$found" = 1 ] || { echo "no boots of target $target" >&2 && return 1; }
    done
    for i in "${!boots[@]}"; do
        [[ $wanted != *" ${boots[i]%%|*} "* ]] || selected+=("$i")
    done
}

# field N FIELD: a field of boot N: target kernel case smp memory args.
field() {
    local target kernel case smp memory args
    # shellcheck disable=SC2034 # read through ${!2}
    IFS='|' read -r target kernel case smp memory args <<<"${boots[$1]}"
    echo "${!2}"
}

# kernels_of: the kernels of the selected boots, once each.
kernels_of() {
    local i
    for i in "${selected[@]}"; do field "$i" kernel; done | awk '!seen[$0]++'
}

# missing: why the selected boots cannot run here, if anything, on one line.
missing() {
    local kernels
    mapfile -t kernels < <(kernels_of)
    guest_lacks "${kernels[@]}"
}

case ${1:-} in
--list)
    printf '%-9s %-16s %-32s %s\n' programs kernel "version (where fetched)" cases
    select_boots
    for kernel in $(kernels_of); do
        for target in "${targets[@]}"; do
            names=$(for i in "${selected[@]}"; do
                [ "$(field "$i" target)|$(field "$i" kernel)" != "$target|$kernel" ] || field "$i" case
            done | tr '\n' ' ')
            [ -z "$names" ] || printf '%-9s %-16s %-32s %s\n' "$target" "$kernel" \
                "$(cat "$guest_cache/$kernel/version" 2>/dev/null || echo -)" "$names"
        done
    done
    echo
    for name in "${!shows[@]}"; do printf '%-13s %s\n' "$name" "${shows[$name]}"; done | sort
    exit 0
    ;;
--kernels)
    shift
    select_boots "$@"
    kernels_of
    exit 0
    ;;
--missing)
    shift
    select_boots "$@"
    missing
    exit 0
    ;;
'' | -*)
    echo "usage: run.sh WORK [TARGET...] | run.sh --list | run.sh --kernels [TARGET...] | run.sh --missing [TARGET...]" >&2
    exit 2
    ;;
esac

work=$1
shift
select_boots "$@" || exit 2
mapfile -t chosen < <(for i in "${selected[@]}"; do field "$i" target; done | awk '!seen[$0]++')
set -- "${chosen[@]}"
mkdir -p "$work"
work=$(cd "$work" && pwd)

skip() {
    echo "skipped: $*"
    exit 77
}
why=$(missing)
[ -z "$why" ] || skip "$why"

# The released programs of the targets: made here where no release is given;
# a missing compiler skips, a broken build fails.
dist=${COREHOP_DIST:-$work/dist}
if [ -z "${COREHOP_DIST:-}" ]; then
    if ! "$source/packaging/release.sh" -o "$dist" -b "$work/release" "$@" >/dev/null 2>"$work/release.err"; then
        cat "$work/release.err" >&2
        ! grep -q '^release: no compiler for' "$work/release.err" || skip "no compiler for a target: see above"
        echo "VM suite: the release failed" >&2
        exit 1
    fi
fi
for target in "$@"; do
    [ -f "$(echo "$dist"/corehop-*-linux-"$target".tar.gz)" ] ||
        skip "no release archive for $target in $dist: run packaging/release.sh"
done

# initramfs TARGET ARCH: the target's released programs and example, the
# kernel architecture's busybox and the guest's init (and, for the real-time
# case, the policy helper, built here for the target), in
# WORK/TARGET-on-ARCH.cpio.gz.
initramfs() {
    local root=$work/root-$1-on-$2 i
    guest_tree "$root" "$2"
    guest_programs "$root" "$(echo "$dist"/corehop-*-linux-"$1".tar.gz)"
    for i in "${selected[@]}"; do
        if [ "$(field "$i" target)|$(field "$i" case)" = "$1|rt" ]; then
            "${triple[$1]}-g++" -std=c++20 -O2 -static -o "$root/bin/with_policy" \
                "$source/tests/helpers/with_policy.cpp"
            break
        fi
    done
    guest_pack "$root" "$work/$1-on-$2.cpio.gz"
}

# log N: the console log of boot N, with the serial console's CRs removed.
log() { echo "$work/$(field "$1" target)-$(field "$1" kernel | tr / -)-$(field "$1" case).log"; }

# label N: the target and the kernel's version, which head its lines.
label() { echo "$(field "$1" target) $(cat "$guest_cache/$(field "$1" kernel)/version")"; }

# boot N OF: boots boot N, then prints its check lines in WORK/N.results
# (and a "not ok" line where the guest did not finish: a panic, a hang, a
# time-out) and a line that it ended.
boot() {
    local target kernel name smp memory args arch start log results label
    IFS='|' read -r target kernel name smp memory args <<<"${boots[$1]}"
    arch=${kernel%%/*} log=$(log "$1") results=$work/$1.results label=$(label "$1")
    start=$(date +%s)
    guest_boot "$arch" "$kernel" "$smp" "$memory" "$work/$target-on-$arch.cpio.gz" 200 "case=$name $args" >"$log"
    {
        grep -E '^(not )?ok |^    # ' "$log" | sed "s|^|$label |"
        if ! grep -qx "vm-suite end: $name" "$log"; then
            echo "$label not ok $name: the guest did not finish; the last of its console:"
            tail -n 15 "$log" | sed "s|^|$label     |"
        fi
    } >"$results"
    printf '[%d/%d] %s on %s %s: %s, %d s\n' "$2" "${#selected[@]}" "$target" "${label#* }" "$name" \
        "$(awk '$3 == "ok" { n++ } $3 == "not" { bad++ } END {
            print (n + bad) " checks " (bad ? bad " failed" : "passed") }' "$results")" $(($(date +%s) - start))
}

start=$(date +%s)
mapfile -t images < <(for i in "${selected[@]}"; do
    echo "$(field "$i" target) $(field "$i" kernel | cut -d/ -f1)"
done | awk '!seen[$0]++')
for image in "${images[@]}"; do
    initramfs "${image% *}" "${image#* }"
done
# Two guests at a time, one a core, the next as soon as one ends; the
# longest first (by their memory and CPUs), so that the last two end together.
mapfile -t order < <(for i in "${selected[@]}"; do
    smp=$(field "$i" smp)
    echo "$(($(field "$i" memory) + 200 * ${smp%%,*})) $i"
done | sort -s -rn -k1,1 | cut -d' ' -f2)
running=0
n=0
for i in "${order[@]}"; do
    n=$((n + 1))
    if [ "$running" -ge 2 ]; then
        wait -n || true
        running=$((running - 1))
    fi
    boot "$i" "$n" &
    running=$((running + 1))
done
wait
for i in "${selected[@]}"; do cat "$work/$i.results"; done >"$work/results"
failed=0
if grep -q '^[^ ]* [^ ]* not ok ' "$work/results"; then
    failed=1
    # the failed checks, with what the guest said of them
    echo
    grep -E '^[^ ]* [^ ]* (not ok |    )' "$work/results"
fi
echo
# A line for each target on each kernel: its cases and checks.
awk '$3 == "ok" || $3 == "not" { key = $1 " on " $2; if (!(key in n)) order[++k] = key
        n[key]++; if ($3 == "not") bad[key]++; if (!seen[key, $3 == "ok" ? $4 : $5]++) cases[key]++ }
    END { for (i = 1; i <= k; i++) { key = order[i]
        printf "%-40s %2d cases %4d checks %s\n", key, cases[key], n[key], bad[key] ? bad[key] " failed" : "passed" } }' \
    "$work/results"
echo "VM suite: $* in $(($(date +%s) - start)) s: $([ "$failed" = 0 ] && echo passed || echo FAILED)"
exit "$failed"

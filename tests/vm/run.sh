#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The VM suite: boots Debian's own kernels of every architecture and series
# under QEMU (software emulation), one guest a case, each with a kernel shape
# this machine lacks, and runs the guest's checks of the released static
# programs and the example script there. Fails on any "not ok" line, on a
# guest that does not reach its last line, and on a time-out; exits 77
# (skipped) where QEMU, a kernel or a release archive is missing, saying how
# to get it.
#
#   tests/vm/run.sh WORK [TARGET...]   TARGET: the programs' architecture,
#                                      amd64 arm64 ppc64el s390x riscv64 i386
#                                      armhf (default: all)
#   tests/vm/run.sh --kernels [TARGET...]   the kernels they boot, for
#                                      tests/vm/fetch-kernel.sh
# WORK is a folder for initramfs images and console logs. The programs come
# from the release archives in $COREHOP_DIST, or else packaging/release.sh
# makes them in WORK. Kernels and busybox come from tests/vm/fetch-kernel.sh,
# in $COREHOP_VM_CACHE or ~/.cache/corehop-vm.
set -euo pipefail

source=$(cd "$(dirname "$0")/../.." && pwd)
cache=${COREHOP_VM_CACHE:-$HOME/.cache/corehop-vm}

# Each kernel architecture's machine: QEMU, its Debian package, its options,
# and the console device (none: the machine's own).
machines='amd64|qemu-system-x86_64|qemu-system-x86|-accel tcg|ttyS0
arm64|qemu-system-aarch64|qemu-system-arm|-M virt -cpu cortex-a57|ttyAMA0
ppc64el|qemu-system-ppc64|qemu-system-ppc|-M pseries,x-vof=on,cap-cfpc=broken,cap-sbbc=broken,cap-ibs=broken,cap-ccf-assist=off -nodefaults|hvc0
s390x|qemu-system-s390x|qemu-system-misc|-M s390-ccw-virtio -nodefaults|
riscv64|qemu-system-riscv64|qemu-system-misc|-M virt -nodefaults -bios default|ttyS0'

# The programs' architecture | the kernel, ARCH/SUITE | case | QEMU's -smp |
# memory in MiB | kernel arguments
cases='amd64|amd64/bookworm|possible2100|2|3072|possible_cpus=2100
amd64|amd64/bookworm|possible1024|2|768|possible_cpus=1024
amd64|amd64/bookworm|possible1025|2|768|possible_cpus=1025
amd64|amd64/bookworm|hotplug|4|256|
amd64|amd64/bookworm|isolcpus|2|256|isolcpus=1
amd64|amd64/bookworm|nohz_full|2|256|nohz_full=1 isolcpus=domain,managed_irq,1
amd64|amd64/bookworm|cpuset|2|256|
amd64|amd64/bookworm|onecpu|1|256|
amd64|amd64/bullseye|hotplug|4|256|
amd64|amd64/bullseye|cpuset|2|256|
amd64|amd64/bullseye|isolcpus|2|256|isolcpus=1
amd64|amd64/bullseye|onecpu|1|256|
amd64|amd64/bullseye|possible1025|2|768|possible_cpus=1025
amd64|amd64/trixie|hotplug|4|256|
amd64|amd64/trixie|cpuset|2|256|
amd64|amd64/trixie|isolcpus|2|256|isolcpus=1
amd64|amd64/trixie|onecpu|1|256|
arm64|arm64/bookworm|basic|2|256|
arm64|arm64/bookworm|hotplug|4|256|
arm64|arm64/bookworm|onecpu|1|256|
arm64|arm64/trixie|basic|2|256|
arm64|arm64/trixie|hotplug|4|256|
ppc64el|ppc64el/bookworm|basic|2|512|
ppc64el|ppc64el/bookworm|hotplug|4|512|
ppc64el|ppc64el/bookworm|onecpu|1|512|
ppc64el|ppc64el/bookworm|possible2048|2,maxcpus=2100|4096|
ppc64el|ppc64el/trixie|possible2048|2,maxcpus=2100|4096|
s390x|s390x/bookworm|basic|2|128|
s390x|s390x/bookworm|hotplug|4|128|
s390x|s390x/bookworm|onecpu|1|128|
s390x|s390x/bookworm|crossword|66|256|maxcpus=2
riscv64|riscv64/trixie|basic|2|256|
riscv64|riscv64/trixie|hotplug|4|256|
i386|amd64/bookworm|basic|2|256|
i386|amd64/bookworm|possible2100|2|3072|possible_cpus=2100
armhf|arm64/bookworm|basic|2|256|
armhf|arm64/bookworm|hotplug|4|256|'

if [ "${1:-}" = --kernels ]; then
    shift
    targets=${*:-$(cut -d'|' -f1 <<<"$cases" | sort -u)}
    for target in $targets; do grep "^$target|" <<<"$cases" | cut -d'|' -f2; done | sort -u
    exit 0
fi

work=${1:?usage: run.sh WORK [TARGET...] | run.sh --kernels [TARGET...]}
shift
[ $# -gt 0 ] || { mapfile -t targets < <(cut -d'|' -f1 <<<"$cases" | awk '!seen[$0]++') && set -- "${targets[@]}"; }
mkdir -p "$work"
work=$(cd "$work" && pwd)

skip() {
    echo "skipped: $*"
    exit 77
}

# machine ARCH FIELD: a field of the kernel architecture's machine (1 QEMU,
# 2 its package, 3 its options, 4 its console).
machine() { grep "^$1|" <<<"$machines" | cut -d'|' -f$(($2 + 1)); }

command -v cpio >/dev/null || skip "no cpio: apt-get install cpio"
for target in "$@"; do
    grep -q "^$target|" <<<"$cases" || { echo "no such target: $target" >&2 && exit 2; }
    while read -r kernel; do
        arch=${kernel%/*}
        command -v "$(machine "$arch" 1)" >/dev/null ||
            skip "no $(machine "$arch" 1): apt-get install $(machine "$arch" 2)"
        if [ ! -f "$cache/${kernel/\//-}/kernel" ] || [ ! -x "$cache/busybox-$arch" ]; then
            skip "no $kernel kernel or busybox in $cache: run tests/vm/fetch-kernel.sh $kernel"
        fi
    done < <(grep "^$target|" <<<"$cases" | cut -d'|' -f2 | sort -u)
done

# The released programs of the targets.
dist=${COREHOP_DIST:-$work/dist}
if [ -z "${COREHOP_DIST:-}" ]; then
    "$source/packaging/release.sh" -o "$dist" -b "$work/release" "$@" >/dev/null ||
        skip "no release of $*: see packaging/release.sh"
fi
for target in "$@"; do
    ls "$dist"/corehop-*-linux-"$target".tar.gz >/dev/null 2>&1 ||
        skip "no release archive for $target in $dist: run packaging/release.sh"
done

# initramfs TARGET ARCH: the target's released programs, the kernel
# architecture's busybox, the example script and the guest's init, in
# WORK/TARGET-on-ARCH.cpio.gz.
initramfs() {
    local root=$work/root-$1-on-$2
    rm -rf "$root"
    mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/tmp"
    tar -xzf "$(ls "$dist"/corehop-*-linux-"$1".tar.gz)" -C "$root/bin" --strip-components=2 \
        --wildcards '*/bin/corehop' '*/bin/corenest'
    cp "$source/examples/park-and-move.sh" "$root/bin/"
    cp "$cache/busybox-$2" "$root/bin/busybox"
    ln -s busybox "$root/bin/sh"
    cp "$source/tests/vm/guest.sh" "$root/init"
    (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$work/$1-on-$2.cpio.gz"
    rm -rf "$root"
}

# boot TARGET KERNEL CASE SMP MEMORY ARGS: one guest; its console in
# WORK/TARGET-KERNEL-CASE.log, with the serial console's CRs removed.
boot() {
    local arch=${2%/*} log=$work/$1-${2/\//-}-$3.log console options
    console=$(machine "$arch" 4)
    read -r -a options <<<"$(machine "$arch" 3)"
    { timeout 150 "$(machine "$arch" 1)" "${options[@]}" -smp "$4" -m "$5" \
        -kernel "$cache/${2/\//-}/kernel" -initrd "$work/$1-on-$arch.cpio.gz" \
        -append "${console:+console=$console }panic=-1 quiet case=$3 $6" \
        -display none -monitor none -serial stdio -no-reboot ||
        true; } </dev/null 2>&1 | tr -d '\r' >"$log"
}

# judge TARGET KERNEL CASE: prints the guest's check lines, and a "not ok"
# one where the last line is missing (a panic, a hang, a time-out).
judge() {
    local log=$work/$1-${2/\//-}-$3.log label
    label="$1 $(cat "$cache/${2/\//-}/version")"
    grep -E '^(not )?ok |^vm-suite end: ' "$log" | sed "s|^|$label |"
    if ! grep -qx "vm-suite end: $3" "$log"; then
        echo "$label not ok $3: the guest did not finish; the last of its console:"
        tail -n 15 "$log" | sed 's/^/    /'
    fi
}

failed=0
start=$(date +%s)
rows=$(for target in "$@"; do grep "^$target|" <<<"$cases"; done)
while IFS='|' read -r target arch; do
    initramfs "$target" "$arch"
done < <(cut -d'|' -f1,2 <<<"$rows" | sed 's|/.*||' | sort -u)
# Two guests at a time, one a core.
pids=()
while IFS='|' read -r target kernel name smp memory args; do
    boot "$target" "$kernel" "$name" "$smp" "$memory" "$args" &
    pids+=($!)
    if [ ${#pids[@]} -ge 2 ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
done <<<"$rows"
wait
while IFS='|' read -r target kernel name _; do
    judge "$target" "$kernel" "$name"
done <<<"$rows" | tee "$work/results"
if grep -q '^[^ ]* [^ ]* not ok ' "$work/results"; then failed=1; fi
# A line for each target on each kernel: its cases and checks.
awk '$3 == "ok" || $3 == "not" { key = $1 " on " $2; if (!(key in n)) order[++k] = key
        n[key]++; if ($3 == "not") bad[key]++; if (!seen[key, $3 == "ok" ? $4 : $5]++) cases[key]++ }
    END { for (i = 1; i <= k; i++) { key = order[i]
        printf "%-40s %2d cases %4d checks %s\n", key, cases[key], n[key], bad[key] ? bad[key] " failed" : "passed" } }' \
    "$work/results"
echo "VM suite: $* in $(($(date +%s) - start)) s: $([ "$failed" = 0 ] && echo passed || echo FAILED)"
exit "$failed"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The VM suite: boots real Debian cloud kernels under QEMU (software
# emulation), one guest a case, each with a kernel shape this machine lacks,
# and runs the guest's checks of corehop, corenest and the example script
# there. Fails on any "not ok" line, on a guest that does not reach its last
# line, and on a time-out; exits 77 (skipped) where QEMU, a cross compiler or
# a kernel is missing, saying how to get it.
#
#   tests/vm/run.sh WORK [ARCH...]    ARCH: amd64, arm64 (default: both)
# WORK is a folder for builds, initramfs images and console logs. Kernels come
# from tests/vm/fetch-kernel.sh, in $COREHOP_VM_CACHE or ~/.cache/corehop-vm.
set -euo pipefail

source=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:?usage: run.sh WORK [ARCH...]}
shift
[ $# -gt 0 ] || set -- amd64 arm64
cache=${COREHOP_VM_CACHE:-$HOME/.cache/corehop-vm}
mkdir -p "$work"
work=$(cd "$work" && pwd)

# arch | case | CPUs | memory in MiB | kernel arguments
cases='amd64|possible2100|2|3072|possible_cpus=2100
amd64|possible1024|2|768|possible_cpus=1024
amd64|possible1025|2|768|possible_cpus=1025
amd64|hotplug|4|256|
amd64|isolcpus|2|256|isolcpus=1
amd64|nohz_full|2|256|nohz_full=1 isolcpus=domain,managed_irq,1
amd64|cpuset|2|256|
amd64|onecpu|1|256|
arm64|basic|2|256|
arm64|hotplug|4|256|
arm64|onecpu|1|256|'

skip() {
    echo "skipped: $*"
    exit 77
}

for arch in "$@"; do
    case $arch in
    amd64) qemu=qemu-system-x86_64 compiler=g++ package=qemu-system-x86 ;;
    arm64) qemu=qemu-system-aarch64 compiler=aarch64-linux-gnu-g++ package=qemu-system-arm ;;
    *) echo "no such architecture: $arch" >&2 && exit 2 ;;
    esac
    command -v "$qemu" >/dev/null || skip "no $qemu: apt-get install $package"
    command -v "$compiler" >/dev/null || skip "no $compiler: apt-get install g++-aarch64-linux-gnu"
    command -v cpio >/dev/null || skip "no cpio: apt-get install cpio"
    [ -f "$cache/$arch/vmlinuz" ] || skip "no $arch kernel in $cache: run tests/vm/fetch-kernel.sh"
    [ "$arch" = amd64 ] || [ -x "$cache/$arch/busybox" ] ||
        skip "no $arch busybox in $cache: run tests/vm/fetch-kernel.sh"
    [ "$arch" != amd64 ] || [ -x /bin/busybox ] || skip "no busybox: apt-get install busybox-static"
done

# initramfs ARCH: the static programs, busybox, the example script and the
# guest's init, in WORK/ARCH.cpio.gz.
initramfs() {
    local arch=$1 build=$work/build-$1 root=$work/root-$1 toolchain=()
    [ "$arch" = arm64 ] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$source/cmake/aarch64-linux-gnu.cmake")
    cmake -S "$source" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCOREHOP_STATIC=ON \
        -DCOREHOP_TESTS=OFF "${toolchain[@]}" >/dev/null
    cmake --build "$build" -j 2 >/dev/null
    rm -rf "$root"
    mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/tmp"
    cp "$build/bin/corehop" "$build/bin/corenest" "$source/examples/park-and-move.sh" "$root/bin/"
    if [ "$arch" = amd64 ]; then cp /bin/busybox "$root/bin/"; else cp "$cache/$arch/busybox" "$root/bin/"; fi
    for applet in $(busybox --list); do
        [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
    done
    cp "$source/tests/vm/guest.sh" "$root/init"
    # The package of a cross build carries the programs' architecture.
    (cd "$build" && cpack -G DEB -B "$work/package-$arch" >/dev/null)
    local got
    got=$(dpkg-deb -f "$work/package-$arch"/corehop_*.deb Architecture)
    if [ "$got" = "$arch" ]; then echo "$arch ok package architecture"; else
        echo "$arch not ok package architecture: $got" && failed=1
    fi
    (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$work/$arch.cpio.gz"
}

# boot ARCH CASE CPUS MEMORY ARGS: one guest; its console in WORK/CASE.log.
boot() {
    local arch=$1 name=$2 log=$work/$1-$2.log machine
    case $arch in
    amd64) machine=(qemu-system-x86_64 -accel tcg -append "console=ttyS0 panic=-1 quiet case=$name $5") ;;
    arm64) machine=(qemu-system-aarch64 -M virt -cpu cortex-a57 -append "console=ttyAMA0 panic=-1 quiet case=$name $5") ;;
    esac
    # The serial console ends its lines with CR LF.
    { timeout 100 "${machine[@]}" -smp "$3" -m "$4" -kernel "$cache/$arch/vmlinuz" \
        -initrd "$work/$arch.cpio.gz" -display none -monitor none -serial stdio -no-reboot ||
        true; } </dev/null 2>&1 | tr -d '\r' >"$log"
}

# judge ARCH CASE: prints the guest's check lines; fails where one is "not
# ok" or where the last line is missing (a panic, a hang, a time-out).
judge() {
    local log=$work/$1-$2.log
    grep -E '^(not )?ok |^vm-suite end: ' "$log" | sed "s/^/$1 /"
    if grep -q '^not ok ' "$log"; then return 1; fi
    if ! grep -qx "vm-suite end: $2" "$log"; then
        echo "$1 not ok $2: the guest did not finish; the last of its console:"
        tail -n 15 "$log" | sed 's/^/    /'
        return 1
    fi
}

failed=0
start=$(date +%s)
for arch in "$@"; do
    initramfs "$arch"
    # Two guests at a time, one a core.
    pids=()
    while IFS='|' read -r case_arch name cpus memory args; do
        [ "$case_arch" = "$arch" ] || continue
        boot "$arch" "$name" "$cpus" "$memory" "$args" &
        pids+=($!)
        if [ ${#pids[@]} -ge 2 ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
    done <<<"$cases"
    wait
    while IFS='|' read -r case_arch name _; do
        [ "$case_arch" = "$arch" ] || continue
        judge "$arch" "$name" || failed=1
    done <<<"$cases"
done
echo "VM suite: $* in $(($(date +%s) - start)) s: $([ "$failed" = 0 ] && echo passed || echo FAILED)"
exit "$failed"

# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2034 # its tables are for the script that sources it
# The guests, for a bash script that sources this file (the VM suite, the
# LAVA test, the benchmarks): where their kernels and busybox are kept, each
# architecture's QEMU machine and console, an initramfs of busybox, the
# released programs and guest.sh as init, and a boot.
#
#   guest_cache                   the cache: $COREHOP_VM_CACHE, or ~/.cache/corehop-vm;
#                                 CACHE/KERNEL/kernel, CACHE/ARCH/busybox, CACHE/ROOT/
#   guest_lacks KERNEL...         why these kernels cannot boot here, on one line; nothing if they can
#   guest_tree DIR ARCH           DIR made anew: busybox of ARCH as /bin/sh, and guest.sh as /init
#   guest_programs DIR ARCHIVE    the release archive's programs and example scripts into DIR/bin
#   guest_pack DIR OUT            DIR as a cpio archive (gzipped where OUT ends in .gz), then removed
#   guest_boot ARCH KERNEL SMP MEMORY INITRD SECONDS ARGS
#                                 the guest's console, its CRs removed, on standard output
# guest.sh runs the case that "case=NAME" on the kernel command line names.

guest_source=$(cd "${BASH_SOURCE[0]%/*}/../.." && pwd)
guest_cache=${COREHOP_VM_CACHE:-$HOME/.cache/corehop-vm}

# The machine of each kernel architecture: QEMU | its Debian package | its
# options | the console (none: the machine's own).
declare -A guest_qemu guest_qemu_package guest_qemu_options guest_console
while IFS='|' read -r _arch _program _package _options _device; do
    guest_qemu[$_arch]=$_program guest_qemu_package[$_arch]=$_package
    guest_qemu_options[$_arch]=$_options guest_console[$_arch]=$_device
done <<'EOF'
amd64|qemu-system-x86_64|qemu-system-x86||ttyS0
arm64|qemu-system-aarch64|qemu-system-arm|-M virt -cpu cortex-a57|ttyAMA0
ppc64el|qemu-system-ppc64|qemu-system-ppc|-M pseries,x-vof=on,cap-cfpc=broken,cap-sbbc=broken,cap-ibs=broken,cap-ccf-assist=off -nodefaults|hvc0
s390x|qemu-system-s390x|qemu-system-misc|-M s390-ccw-virtio -nodefaults|
riscv64|qemu-system-riscv64|qemu-system-misc|-M virt -nodefaults -bios default|ttyS0
EOF

guest_lacks() {
    local kernel arch absent=()
    command -v cpio >/dev/null || { echo "no cpio: apt-get install cpio" && return; }
    for kernel in "$@"; do
        arch=${kernel%%/*}
        command -v "${guest_qemu[$arch]}" >/dev/null ||
            { echo "no ${guest_qemu[$arch]}: apt-get install ${guest_qemu_package[$arch]}" && return; }
        [ -f "$guest_cache/$kernel/kernel" ] && [ -x "$guest_cache/$arch/busybox" ] || absent+=("$kernel")
    done
    [ ${#absent[@]} = 0 ] ||
        echo "no ${absent[0]} kernel$([ ${#absent[@]} = 1 ] || echo " and $((${#absent[@]} - 1)) more") in $guest_cache: run tests/vm/fetch-kernel.sh \$(tests/vm/run.sh --kernels)"
}

guest_tree() {
    rm -rf "$1"
    mkdir -p "$1/proc" "$1/sys" "$1/dev" "$1/tmp" "$1/bin"
    cp "$guest_cache/$2/busybox" "$1/bin/busybox"
    ln -s busybox "$1/bin/sh"
    cp "$guest_source/tests/vm/guest.sh" "$1/init"
}

guest_programs() {
    tar -xzf "$2" -C "$1" --strip-components=1 --wildcards '*/bin/*' '*/examples/*.sh'
    mv "$1"/share/doc/corehop/examples/*.sh "$1/bin/"
    rm -r "$1/share"
}

guest_pack() {
    if [[ $2 == *.gz ]]; then
        (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$2"
    else
        (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$2"
    fi
    rm -rf "$1"
}

guest_boot() {
    local arch=${2%%/*} console options
    console=${guest_console[$arch]}
    read -r -a options <<<"${guest_qemu_options[$arch]}"
    { timeout "$6" "${guest_qemu[$arch]}" -accel tcg,thread=single "${options[@]}" -smp "$3" -m "$4" \
        -kernel "$guest_cache/$2/kernel" -initrd "$5" \
        -append "${console:+console=$console }panic=-1 quiet $7" \
        -display none -monitor none -serial stdio -no-reboot || true; } </dev/null 2>&1 | tr -d '\r'
}

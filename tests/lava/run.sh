#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The proof of the LAVA test definition in lava/: a real LAVA dispatcher
# (lava-run, with no server) boots Debian's amd64 and arm64 kernels under
# QEMU from an initramfs of busybox and the release, and runs the test
# definition as a lab would. Two jobs an architecture:
#   sweep     the programs fetched from the release over HTTP (busybox's
#             httpd in the guest) and checked against its SHA256SUMS, the
#             sweep with -H (kernel messages on the console), the definition
#             from the release's archive of it (from: url): every case
#             passes or skips, and the results are as many as the plan says;
#   stand-in  a corehop that prints a pass line and moves nothing, the
#             definition from this repository's last commit (from: git): no
#             move of the parker passes, one fails at least, and so does
#             sweep-status.
# And on amd64, with isolcpus=1 on the kernel command line:
#   audit     ISOLATION "true", the definition from the release's archive:
#             the audit's cases, isolcpus= in effect, a case of tasks and
#             one of interrupts on CPU 1, as many as the plan says.
# lava-run exits 0 whatever its test cases give: the results are read from
# its log. Prints a line a job as it ends.
#
#   tests/lava/run.sh WORK
#   tests/lava/run.sh --root   the dispatcher's root alone, made where missing
# The release comes from $COREHOP_DIST (else packaging/release.sh makes the
# two targets' in WORK); the kernels, busybox and the guest's init (its case
# "lava": a root shell on the console, the release served on its loopback)
# from tests/vm/guests.sh. The dispatcher runs in a Debian 12 root
# (tests/vm/debian-root.sh's lava: lava-dispatcher and QEMU, with
# lava-server's device templates, from which each device's dictionary is
# rendered), where LAVA's working folder, /var/lib/lava/dispatcher, is a
# tmpfs: the machine gets no service, no package and no LAVA state. Where the
# root cannot be made or something else is missing, it exits 77 (skipped),
# saying why.
set -euo pipefail

source=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tests/vm/guests.sh
source "$source/tests/vm/guests.sh"

# dispatcher_root: the dispatcher's root, made where missing; its folder.
templates=/usr/share/lava-server/device-types
dispatcher_root() {
    # shellcheck disable=SC2016 # mmdebstrap's hooks expand "$1": the root
    "$source/tests/vm/debian-root.sh" make lava bookworm lava-dispatcher,qemu-system-x86,qemu-system-arm,git \
        --customize-hook='chroot "$1" apt-get -q -o APT::Sandbox::User=root download lava-server' \
        --customize-hook='dpkg-deb --fsys-tarfile "$1"/lava-server_*.deb | tar -xf - -C "$1" '".$templates/base.jinja2 .$templates/qemu.jinja2" \
        --customize-hook='rm "$1"/lava-server_*.deb'
}
if [ "${1:-}" = --root ]; then
    dispatcher_root >/dev/null
    exit 0
fi
[ $# = 1 ] || { echo "usage: run.sh WORK | run.sh --root" >&2 && exit 2; }
mkdir -p "$1"
work=$(cd "$1" && pwd)

skip() {
    echo "skipped: $*"
    exit 77
}

# The guests: Debian architecture | kernel | the LAVA architecture of
# qemu.jinja2
declare -A kernel lava_arch
archs=()
while IFS='|' read -r arch kernel_name lava_name; do
    archs+=("$arch")
    kernel[$arch]=$kernel_name lava_arch[$arch]=$lava_name
done <<'EOF'
amd64|amd64/bookworm|amd64
arm64|arm64/bookworm|arm64
EOF

[ "$(id -u)" = 0 ] || skip "not root: the dispatcher runs in a chroot"
for tool in mmdebstrap unshare; do
    command -v "$tool" >/dev/null || skip "no $tool: apt-get install $tool"
done
lacks=$(guest_lacks "${kernel[@]}")
[ -z "$lacks" ] || skip "$lacks"

# The release: the programs of both architectures and the test definition.
dist=${COREHOP_DIST:-$work/dist}
if [ -z "${COREHOP_DIST:-}" ]; then
    "$source/packaging/release.sh" -o "$dist" -b "$work/release" amd64 arm64 >/dev/null 2>"$work/release.err" ||
        { cat "$work/release.err" >&2 && skip "the release cannot be made here: see above"; }
fi
shopt -s nullglob
definition=("$dist"/corehop-lava-*.tar.gz)
[ ${#definition[@]} = 1 ] || skip "no single corehop-lava archive in $dist: run packaging/release.sh"
for arch in "${archs[@]}"; do
    archive=("$dist"/corehop-*-linux-"$arch".tar.gz)
    [ ${#archive[@]} = 1 ] || skip "no release archive for $arch in $dist: run packaging/release.sh"
done

# Its progress: where ctest runs this, on ctest's console as well.
# shellcheck source=tests/console.sh
source "$source/tests/console.sh"

# The dispatcher's root.
[ -d "$guest_cache/lava" ] || echo "LAVA: making the dispatcher's root in $guest_cache/lava, once" | tee -a "$console"
root=$(dispatcher_root 2>"$work/root.err") ||
    { tail -n 5 "$work/root.err" >&2 && skip "the dispatcher's root cannot be made: see above"; }

# in_root COMMAND...: COMMAND in the root, with WORK as /work, this
# repository as /repo (read-only) and a LAVA working folder that ends with it.
in_root() {
    "$source/tests/vm/debian-root.sh" run "$root" --bind "$work:/work" --bind "$source:/repo:ro" \
        --tmpfs /var/lib/lava/dispatcher --env GIT_CONFIG_COUNT=1 --env GIT_CONFIG_KEY_0=safe.directory \
        --env GIT_CONFIG_VALUE_0=/repo -- "$@"
}

# initramfs ARCH: the guest's image, a board that LAVA has booted, with the
# release and the stand-in beside busybox.
initramfs() {
    local arch=$1 tree=$work/root-$1 archive
    guest_tree "$tree" "$arch"
    mkdir "$tree/release" "$tree/stand-in"
    archive=$(echo "$dist"/corehop-*-linux-"$arch".tar.gz)
    cp "$archive" "$tree/release/"
    grep " [ *]${archive##*/}\$" "$dist/SHA256SUMS" >"$tree/release/SHA256SUMS"
    tar -xzf "$archive" -C "$tree/stand-in" --strip-components=2 --wildcards '*/bin/corehop-sweep' '*/bin/corenest'
    cat >"$tree/stand-in/corehop" <<'EOF'
#!/bin/sh
# corehop -c CPU -p TID that says it moved the task, and moved nothing
echo "Pass: switch thread $4 to cpu $2 success"
EOF
    chmod 755 "$tree/stand-in/corehop"
    guest_pack "$tree" "$work/$arch.cpio"
}

# device ARCH LAVA-ARCH: the device dictionary of a QEMU guest of ARCH,
# rendered from lava-server's qemu.jinja2 as a lab's server would.
device() {
    in_root python3 -c '
import sys, jinja2
env = jinja2.Environment(loader=jinja2.FileSystemLoader(sys.argv[1]), trim_blocks=True)
print(env.get_template("qemu.jinja2").render(arch=sys.argv[2], no_kvm=True, memory=256,
    extra_options=["-smp 2", "-accel tcg,thread=single"]))
' "$templates" "$2" >"$work/device-$1.yaml"
}

# job N ARCH KIND: the job definition of job N.
job() {
    local params from repository path
    # the sweep's job takes the test definition from the release's archive,
    # the stand-in's from this repository's last commit
    local append="${guest_console[$2]:+console=${guest_console[$2]} }panic=-1 case=lava"
    case $3 in
    sweep)
        params='{RELEASE: "http://127.0.0.1:8000", HOTPLUG: "true"}'
        from=url repository=file:///work/${definition[0]##*/} path=corehop-sweep/corehop-sweep.yaml
        ;;
    audit)
        params='{RELEASE: "http://127.0.0.1:8000", ISOLATION: "true"}'
        from=url repository=file:///work/${definition[0]##*/} path=corehop-sweep/corehop-sweep.yaml
        append="$append isolcpus=1"
        ;;
    stand-in)
        params='{PROGRAMS: /stand-in}'
        from=git repository=/repo path=lava/corehop-sweep.yaml
        ;;
    esac
    cat >"$work/job-$1.yaml" <<EOF
device_type: qemu
job_name: corehop-sweep $2 $3
priority: medium
visibility: public
context: {arch: ${lava_arch[$2]}}
timeouts:
  job: {minutes: 10}
  action: {minutes: 5}
  connection: {minutes: 2}
actions:
- deploy:
    to: tmpfs
    timeout: {minutes: 2}
    images:
      kernel:
        image_arg: -kernel {kernel} -append "$append"
        url: file:///work/$2.kernel
      initrd:
        image_arg: -initrd {initrd}
        url: file:///work/$2.cpio
        format: cpio.newc
        overlays:
          lava: true
- boot:
    method: qemu
    media: tmpfs
    timeout: {minutes: 4}
    prompts: ['/ # ']
- test:
    timeout: {minutes: 5}
    definitions:
    - name: corehop-sweep
      from: $from
      repository: $repository
      path: $path
      parameters: $params
EOF
}

# run_job N ARCH KIND OF: runs job N, its log in WORK/job-N.log, and prints
# its line.
run_job() {
    local start=$SECONDS
    job "$1" "$2" "$3"
    in_root lava-run --job-id "$1" --output-dir "/tmp/job-$1" --device "/work/device-$2.yaml" \
        "/work/job-$1.yaml" >"$work/job-$1.log" 2>&1 || true
    printf '%s %s: %s, %d s' "$2" "$3" "$(judge "$1" "$3")" $((SECONDS - start)) >"$work/job-$1.line"
    printf '[%d/%d] %s\n' "$1" "$4" "$(cat "$work/job-$1.line")" | tee -a "$console"
}

# results N: the test cases of job N's test definition, "NAME RESULT" a
# line, as LAVA recorded them in its log.
results() {
    sed -n 's/^{"dt": "[^"]*", "lvl": "results", "msg": {"case": "\([^"]*\)", "definition": "0_corehop-sweep", .*"result": "\([a-z]*\)".*/\1 \2/p' \
        "$work/job-$1.log"
}

# judge N KIND: what job N gave, on one line; "FAILED" in it where it is not
# what KIND must give.
judge() {
    local plan cases ktap case bad=''
    plan=$(sed -n 's/^{"dt": "[^"]*", "lvl": "target", "msg": "1\.\.\([0-9]*\)"}$/\1/p' "$work/job-$1.log" | head -n 1)
    results "$1" >"$work/job-$1.results"
    cases=$(wc -l <"$work/job-$1.results")
    ktap=$(grep -cv '^sweep-' "$work/job-$1.results")
    grep -q '"lvl": "results", "msg": {"case": "job", "definition": "lava", "result": "pass"}' "$work/job-$1.log" ||
        bad="the job did not finish"
    case $2 in
    sweep)
        [ "$cases" -gt 3 ] || bad="${bad:-no results}"
        ! grep -qv ' \(pass\|skip\)$' "$work/job-$1.results" || bad="${bad:-a case neither passed nor skipped}"
        [ "$ktap" = "$plan" ] || bad="${bad:-$ktap results for a plan of ${plan:-none}}"
        for case in sweep-programs sweep-plan sweep-status; do
            grep -qx "$case pass" "$work/job-$1.results" || bad="${bad:-no $case pass}"
        done
        ;;
    stand-in)
        # (a move to the parker's own CPU, where the failed moves left it,
        # cannot show, and skips)
        grep -q '^corehop_moves_the_parker_to_CPU_[0-9]* fail$' "$work/job-$1.results" || bad="${bad:-no move failed}"
        ! grep -q '^corehop_moves_the_parker_to_CPU_[0-9]* pass$' "$work/job-$1.results" ||
            bad="${bad:-a move it did not make passed}"
        grep -qx 'sweep-status fail' "$work/job-$1.results" || bad="${bad:-sweep-status did not fail}"
        ;;
    audit)
        # (6.1's kernel threads may use CPU 1: its tasks' case fails there)
        for case in sweep-programs sweep-plan isolcpus_is_in_effect; do
            grep -qx "$case pass" "$work/job-$1.results" || bad="${bad:-no $case pass}"
        done
        for case in no_task_strays_onto_isolated_CPU_1 no_interrupt_strays_onto_isolated_CPU_1; do
            grep -q "^$case " "$work/job-$1.results" || bad="${bad:-no case $case}"
        done
        [ "$ktap" = "$plan" ] || bad="${bad:-$ktap results for a plan of ${plan:-none}}"
        ;;
    esac
    printf '%d cases, %d pass %d skip %d fail; %d results for a plan of %s%s' "$cases" \
        "$(grep -c ' pass$' "$work/job-$1.results")" "$(grep -c ' skip$' "$work/job-$1.results")" \
        "$(grep -c ' fail$' "$work/job-$1.results")" "$ktap" "${plan:-none}" "${bad:+: FAILED: $bad}"
}

# Five jobs, two at a time, a line each as it ends.
cp "${definition[0]}" "$work/"
for arch in "${archs[@]}"; do
    cp "$guest_cache/${kernel[$arch]}/kernel" "$work/$arch.kernel"
    initramfs "$arch"
    device "$arch" "${lava_arch[$arch]}"
done
rm -f "$work"/job-*
jobs=()
for arch in "${archs[@]}"; do
    jobs+=("$arch sweep" "$arch stand-in")
done
jobs+=("amd64 audit")
start=$SECONDS
n=0
for arch_kind in "${jobs[@]}"; do
    n=$((n + 1))
    [ "$n" -le 2 ] || wait -n || true
    # shellcheck disable=SC2086 # ARCH KIND
    run_job "$n" $arch_kind ${#jobs[@]} &
done
wait
failed=0
for n in $(seq ${#jobs[@]}); do
    # (a job that gave no line failed before it could be judged)
    if [ ! -s "$work/job-$n.line" ] || grep -q FAILED "$work/job-$n.line"; then
        failed=1
        echo "job $n: $(cat "$work/job-$n.line" 2>/dev/null || echo "FAILED: no line: see above"); its cases:"
        sed 's/^/    /' "$work/job-$n.results" 2>/dev/null || true
    fi
done
echo "LAVA: $((SECONDS - start)) s: $([ "$failed" = 0 ] && echo passed || echo FAILED)" | tee -a "$console"
exit "$failed"

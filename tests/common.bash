# SPDX-License-Identifier: MIT
# Helpers shared by the command-line tests.
# BIN names the folder of the programs under test; HELPERS that of the test
# helpers the build makes (tests/helpers), by default BIN.

bats_require_minimum_version 1.5.0

BIN=$(cd "${BIN:?BIN must name the folder of the programs}" && pwd)
# shellcheck disable=SC2034 # used by the test files
COREHOP=$BIN/corehop
# shellcheck disable=SC2034
CORENEST=$BIN/corenest
# shellcheck disable=SC2034
SWEEP=$BIN/corehop-sweep
HELPERS=${HELPERS:-$BIN}

# need_helper NAME: skips where the test helper $HELPERS/NAME was not made.
need_helper() {
    [ -e "$HELPERS/$1" ] || skip "needs the test helper $1, which the build makes (tests/helpers)"
}

# expect STATUS STDOUT STDERR COMMAND...: runs COMMAND and checks its exit
# status, standard output and standard error byte for byte.
expect() {
    local want_status=$1 want_out=$2 want_err=$3
    shift 3
    local got_status=0
    "$@" >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || got_status=$?
    check_output "$*" "$want_status" "$got_status" "$want_out" "$want_err"
}

# check_output WHAT WANT_STATUS GOT_STATUS WANT_OUT WANT_ERR [PREFIX]:
# compares a run whose output stands in the test's files PREFIXout and
# PREFIXerr.
check_output() {
    local got_out got_err
    got_out=$(cat "$BATS_TEST_TMPDIR/${6:-}out"; echo .)
    got_err=$(cat "$BATS_TEST_TMPDIR/${6:-}err"; echo .)
    if [ "$2" != "$3" ] || [ "$got_out" != "$4." ] || [ "$got_err" != "$5." ]; then
        printf 'run:    %s\nstatus: %s, want %s\nstdout: %q\nwant:   %q\nstderr: %q\nwant:   %q\n' \
            "$1" "$3" "$2" "${got_out%.}" "$4" "${got_err%.}" "$5" >&2
        return 1
    fi
}

# spawn OUT ERR COMMAND...: starts COMMAND in the background with its output
# in the files OUT and ERR, apart from the test's own descriptors, and has
# teardown end it; its pid is left in $spawned.
spawn() {
    local out=$1 err=$2
    shift 2
    "$@" </dev/null >"$out" 2>"$err" 3>&- &
    spawned=$!
    echo "$spawned" >>"$BATS_TEST_TMPDIR/spawned"
}

teardown() {
    if [ -f "$BATS_TEST_TMPDIR/spawned" ]; then
        xargs kill -KILL <"$BATS_TEST_TMPDIR/spawned" 2>/dev/null || true
        wait 2>/dev/null || true
    fi
    remove_cpusets
    # (what a row made outside the test's own folder)
    if [ -f "$BATS_TEST_TMPDIR/remove" ]; then
        xargs rm -rf <"$BATS_TEST_TMPDIR/remove"
    fi
}

# remove_cpusets: the cpusets in_cpuset made, with whatever still runs in
# them, and the cpuset controller of the root's children where it enabled it:
# nothing of a row stays on the machine, even where it failed.
remove_cpusets() {
    local made=$BATS_TEST_TMPDIR/cpusets dir pid tries
    [ -f "$made" ] || return 0
    while IFS= read -r dir; do
        for tries in 1 2 3 4 5 6 7 8 9 10; do
            [ -d "$dir" ] || break
            while read -r pid; do kill -KILL "$pid" 2>/dev/null || true; done <"$dir/cgroup.procs"
            rmdir "$dir" 2>/dev/null && break
            sleep 0.1
        done
        [ ! -d "$dir" ] || echo "teardown: $dir cannot be removed ($tries tries)" >&2
    done <"$made"
    if [ -f "$BATS_TEST_TMPDIR/cpuset-enabled" ]; then
        echo -cpuset >/sys/fs/cgroup/cgroup.subtree_control 2>/dev/null ||
            echo "teardown: the root's cpuset controller cannot be disabled again" >&2
    fi
    rm -f "$made" "$BATS_TEST_TMPDIR/cpuset-enabled"
}

# stand_in PROGRAM BODY: a folder with the real programs but for PROGRAM, a
# shell script of BODY; prints the folder.
stand_in() {
    local dir=$BATS_TEST_TMPDIR/bin
    mkdir "$dir"
    ln -s "$BIN"/corehop "$BIN"/corenest "$BIN"/corehop-sweep "$dir/"
    rm "$dir/$1"
    printf '#!/bin/sh\n%s\n' "$2" >"$dir/$1"
    chmod +x "$dir/$1"
    echo "$dir"
}

# with_argv0 NAME PROGRAM ARGS...: runs PROGRAM with NAME as its argv[0].
with_argv0() {
    (exec -a "$1" "${@:2}")
}

usage_line() {
    printf '\nerr:cmd %s param is incorrect!\n' "$1"
}

# expect_usage_failures PROGRAM: reads a table of "arguments|the scanner's
# own diagnostic, if any" on standard input; each line must end in that
# diagnostic and the usage line, status 2, and no affinity call at all.
expect_usage_failures() {
    local program=$1 trace=$BATS_TEST_TMPDIR/trace args diagnostic want_err
    while IFS='|' read -r args diagnostic; do
        eval "set -- $args"
        want_err=${diagnostic:+$program: $diagnostic$'\n'}$(usage_line "$program")$'\n'
        expect 2 "" "$want_err" \
            strace -qq -o "$trace" -e trace=sched_setaffinity,sched_getaffinity "$program" "$@"
        [ ! -s "$trace" ] || { echo "affinity call for: $args" >&2; cat "$trace" >&2; return 1; }
    done
}

need_two_cpus() {
    [ "$(nproc)" -ge 2 ] || skip "needs two usable CPUs, this process has $(nproc)"
}

need_root() {
    [ "$(id -u)" -eq 0 ] || skip "needs root, the tests run as uid $(id -u)"
}

# A CPU number below 1024 that the machine does not have, if there is one.
absent_cpu() {
    local possible last
    possible=$(cat /sys/devices/system/cpu/possible)
    last=${possible##*[-,]}
    [ "$last" -lt 1023 ] || skip "the machine has every CPU number up to 1023"
    echo $((last + 1))
}

# The line corehop-sweep -l writes on standard error where no cgroup file
# system is mounted, so that no cpuset can be read (a build chroot that binds
# /sys alone); else empty.
CPUSET_NOTE=$'corehop-sweep: no cpuset can be read here: the online CPUs\n'
! grep -qE ' - cgroup2? ' /proc/self/mountinfo || CPUSET_NOTE=''
export CPUSET_NOTE

# The kernel's list of the online CPUs, such as 0-3.
online_cpus() {
    cat /sys/devices/system/cpu/online
}

# The highest online CPU, where the scenario moves its parker.
last_online_cpu() {
    local online
    online=$(online_cpus)
    echo "${online##*[-,]}"
}

# in_cpuset CPUS COMMAND...: runs COMMAND in a new control group whose
# cpuset allows CPUS alone, then removes the group; its output in the test's
# out and err files, its pid in $spawned, its status in $status. The group's
# folder, named $CPUSET_NAME (default: a name with a blank), is $CPUSET to
# COMMAND and $cpuset_dir here. Teardown removes whatever is left of it, and
# disables the cpuset controller of the root's children where this enabled it.
# Skips where no such cpuset can be made here (it needs root and two CPUs).
in_cpuset() {
    need_root
    need_two_cpus
    local cpuset='' made=''
    if [ -w /sys/fs/cgroup/cpuset/cpuset.cpus ]; then
        cpuset="/sys/fs/cgroup/cpuset/${CPUSET_NAME:-corehop test.$$}"
        mkdir "$cpuset" && echo "$cpuset" >>"$BATS_TEST_TMPDIR/cpusets" &&
            echo "$1" >"$cpuset/cpuset.cpus" &&
            cat /sys/fs/cgroup/cpuset/cpuset.mems >"$cpuset/cpuset.mems" && made=1
    elif grep -qw cpuset /sys/fs/cgroup/cgroup.controllers 2>/dev/null; then
        cpuset="/sys/fs/cgroup/${CPUSET_NAME:-corehop test.$$}"
        if ! grep -qw cpuset /sys/fs/cgroup/cgroup.subtree_control; then
            echo +cpuset >/sys/fs/cgroup/cgroup.subtree_control 2>/dev/null &&
                : >"$BATS_TEST_TMPDIR/cpuset-enabled"
        fi
        mkdir "$cpuset" && echo "$cpuset" >>"$BATS_TEST_TMPDIR/cpusets" &&
            echo "$1" >"$cpuset/cpuset.cpus" && made=1
    fi
    [ -n "$made" ] || skip "cannot make a cpuset here"
    shift
    # shellcheck disable=SC2034 # read by the tests
    cpuset_dir=$cpuset
    # shellcheck disable=SC2016 # expanded by the inner shell
    spawn "$BATS_TEST_TMPDIR/out" "$BATS_TEST_TMPDIR/err" env CPUSET="$cpuset" \
        sh -c 'echo $$ >"$1/cgroup.procs" && shift && exec "$@"' sh "$cpuset" "$@"
    status=0
    # shellcheck disable=SC2034 # read by the tests
    wait "$spawned" || status=$?
    rmdir "$cpuset"
}

# ktap_results: the result lines of the KTAP report in the test's out file.
ktap_results() {
    grep -E '^(not )?ok ' "$BATS_TEST_TMPDIR/out"
}

# ktap_well_formed: the report in the test's out file is KTAP: the version,
# the plan before the results, the results numbered from 1 to the plan's
# end, nothing else but diagnostic lines.
ktap_well_formed() {
    local out=$BATS_TEST_TMPDIR/out plan
    plan=$(sed -n 's/^1\.\.\([0-9]*\)$/\1/p' "$out")
    if [ "$(sed -n 1p "$out")" != "KTAP version 1" ] || [ "$(grep -n '^1\.\.' "$out" | cut -d: -f1)" != 2 ] ||
        [ "$(ktap_results | sed -E 's/^(not )?ok ([0-9]+) .*/\2/' | tr '\n' ' ')" != "$(seq -s ' ' "$plan") " ] ||
        [ "$(grep -cvE '^(KTAP version 1|1\.\.[0-9]+|(not )?ok [0-9]+ .*|# .*)$' "$out")" != 0 ]; then
        cat "$out" >&2
        return 1
    fi
}

# The parking steps, as harnesses take them: poll TRIES COMMAND..., cpus_of
# PID (into $cpus), wait_parked PID CPU, start_parker CPU and end_parker
# PID, among others.
# shellcheck disable=SC2034 # set by cpus_of, read by the tests
cpus=''
# shellcheck source=examples/parking.sh
. "$BATS_TEST_DIRNAME/../examples/parking.sh"

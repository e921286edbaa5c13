#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# The harness scenario of examples/: it passes, and leaves no parker behind
# on any path.

# shellcheck source=tests/common.bash
source "$BATS_TEST_DIRNAME/common.bash"

SCENARIO=$BATS_TEST_DIRNAME/../examples/park-and-move.sh
# The man pages, unpacked: the build's, or those of MAN_PAGES.
MAN_PAGES=${MAN_PAGES:-${BUILD:?BUILD must name the build tree}/man}

# The pid in a "parked: pid N on CPUs L" line of the scenario's output.
parker_of() {
    sed -n 's/^parked: pid \([0-9]*\) .*/\1/p' "$BATS_TEST_TMPDIR/out"
}

# run_scenario DIR: runs the scenario with the programs in DIR; its output
# in the test's out and err files, its status in $status.
run_scenario() {
    status=0
    "$SCENARIO" "$1" >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
}

@test "the scenario moves the parker to the last online CPU and ends it" {
    local last
    last=$(last_online_cpu)
    run_scenario "$BIN"
    local pid
    pid=$(parker_of)
    check_output scenario 0 "$status" "parked: pid $pid on CPUs 0
Pass: switch thread $pid to cpu $last success
moved:  pid $pid on CPUs $last
" "$CPUSET_NOTE"
    [ ! -d "/proc/$pid" ]
}

@test "where a task may use one CPU alone, the scenario parks there, says so and exits 0" {
    in_cpuset 1 "$SCENARIO" "$BIN"
    local pid
    pid=$(parker_of)
    check_output "scenario in a cpuset of CPU 1" 0 "$status" "parked: pid $pid on CPUs 1
a task may use CPU 1 alone here: no other CPU to move the parker to
" ""
    [ ! -d "/proc/$pid" ]
}

@test "a failed move gives corehop's status and still ends the parker" {
    local dir
    # shellcheck disable=SC2016 # expanded by the stand-in
    dir=$(stand_in corehop 'echo "Fail:can not switch thread $4 to CPU $2"; exit 255')
    run_scenario "$dir"
    [ "$status" = 255 ]
    local pid
    pid=$(parker_of)
    [ -n "$pid" ]
    grep -qx "Fail:can not switch thread $pid to CPU [0-9]*" "$BATS_TEST_TMPDIR/out"
    [ ! -d "/proc/$pid" ]
}

@test "a parker that cannot pin: its own failure line and status, nothing else" {
    local dir
    dir=$(stand_in corenest "exec '$CORENEST' -n 9000")
    run_scenario "$dir"
    [ "$status" = 255 ]
    grep -qx 'Fail:Set thread [0-9]* on CPU 9000 affinity failed, error: Invalid argument' \
        "$BATS_TEST_TMPDIR/out"
    [ "$(wc -l <"$BATS_TEST_TMPDIR/out")" = 1 ] && [ "$(cat "$BATS_TEST_TMPDIR/err")" = "${CPUSET_NOTE%$'\n'}" ]
}

@test "the man pages' examples run as printed and print what they show" {
    need_two_cpus
    local page block=0
    # Each .nf block of EXAMPLES: "$ " and "> " lines are the commands, the
    # others what they print. Pids and runs of blanks may differ.
    normal() { sed -E 's/thread [0-9]+/thread PID/; s/[[:space:]]+/ /g'; }
    for page in "$MAN_PAGES"/*.1; do
        awk -v dir="$BATS_TEST_TMPDIR" '
            /^\.SH/ { examples = ($2 == "EXAMPLES") }
            examples && /^\.nf/ { n++; inside = 1; next }
            /^\.fi/ { inside = 0 }
            inside {
                gsub(/\\-/, "-")
                if (sub(/^[$>] /, "")) print >(dir "/block" n ".sh")
                else print >(dir "/block" n ".want")
            }' "$page"
        for script in "$BATS_TEST_TMPDIR"/block*.sh; do
            [ -e "$script" ] || continue
            block=$((block + 1))
            PATH=$BIN:$PATH timeout 20 bash "$script" >"$BATS_TEST_TMPDIR/out" 2>&1 3>&-
            [ "$(normal <"$BATS_TEST_TMPDIR/out")" = "$(normal <"${script%.sh}.want")" ] || {
                echo "${page##*/}: $(cat "$script")" >&2
                cat "$BATS_TEST_TMPDIR/out" >&2
                return 1
            }
        done
        rm -f "$BATS_TEST_TMPDIR"/block*
    done
    [ "$block" = 2 ]
}

@test "the move comes after the parker's own pin, however slow its start, wherever the shell runs" {
    need_two_cpus
    [ "$LINKAGE" = dynamic ] || skip "a preloaded library holds only a dynamic corenest, this is $LINKAGE"
    need_helper hold_before_main.so
    # A corenest held in an interruptible sleep before its main, as a slow
    # file system holds one, sleeps as corenest before it has pinned itself.
    local dir trace=$BATS_TEST_TMPDIR/trace pid pin move last
    last=$(last_online_cpu)
    dir=$(stand_in corenest "LD_PRELOAD='$HELPERS/hold_before_main.so' exec '$CORENEST' \"\$@\"")
    # the CPUs of the shell that runs the scenario
    for cpus in 0 "$(online_cpus)"; do
        status=0
        strace -f -qq -o "$trace" -e trace=sched_setaffinity taskset -c "$cpus" "$SCENARIO" "$dir" \
            >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
        pid=$(parker_of)
        check_output "scenario on CPUs $cpus" 0 "$status" "parked: pid $pid on CPUs 0
Pass: switch thread $pid to cpu $last success
moved:  pid $pid on CPUs $last
" "$CPUSET_NOTE"
        # corenest's pin, then corehop's set on it, in the trace of the run
        pin=$(grep -n "^$pid \+sched_setaffinity(0, 128, \[0\])" "$trace" | cut -d: -f1)
        move=$(grep -n "^[0-9]* \+sched_setaffinity($pid, " "$trace" | cut -d: -f1)
        [ -n "$pin" ] && [ -n "$move" ] && [ "$pin" -lt "$move" ] ||
            { echo "on CPUs $cpus: pin at line '$pin', move at '$move'" >&2; cat "$trace" >&2; return 1; }
    done
}

@test "a signal while the shell forks the parker leaves no parker behind" {
    # Every fork of the script's shell is held for 0.3 s after the child
    # runs; the signal comes while the shell is held in the parker's fork.
    spawn "$BATS_TEST_TMPDIR/out" "$BATS_TEST_TMPDIR/err" \
        strace -o /dev/null -e trace=clone -e inject=clone:delay_exit=300000 "$SCENARIO" "$BIN"
    local tracer=$spawned shell parker status=0
    # (by its name: strace forks short-lived children of its own to probe
    # ptrace first, and a loaded machine shows them)
    shell=$(poll 500 pgrep -P "$tracer" -x "$(basename "$SCENARIO" | cut -c 1-15)")
    # the shell in tracing stop, its child already corenest
    held() { parker=$(pgrep -P "$shell" -x corenest) && grep -qs '^[0-9]* ([^)]*) t ' "/proc/$shell/stat"; }
    poll 500 held
    [ -n "$parker" ] || { echo "the shell forked no parker" >&2; return 1; }
    kill -TERM "$shell"
    wait "$tracer" || status=$?
    [ "$status" = 143 ]
    [ ! -d "/proc/$parker" ] || { echo "parker $parker survived: $(cat "/proc/$parker/stat")" >&2; return 1; }
}

@test "a signal to the scenario ends the parker too" {
    # A stand-in corehop that takes a second holds the scenario between the
    # park and the move; the shell runs its trap when the stand-in returns.
    local dir status=0
    dir=$(stand_in corehop 'exec sleep 1')
    spawn "$BATS_TEST_TMPDIR/out" "$BATS_TEST_TMPDIR/err" "$SCENARIO" "$dir"
    local scenario=$spawned pid
    poll 500 pgrep -P "$scenario" -fx 'sleep 1' >/dev/null
    pid=$(parker_of)
    [ -n "$pid" ] && [ -d "/proc/$pid" ]
    kill -TERM "$scenario"
    wait "$scenario" || status=$?
    [ "$status" = 143 ]
    [ ! -d "/proc/$pid" ]
}

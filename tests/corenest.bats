#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# The command-line contract of corenest: a silent parked task on one CPU,
# ended only by a signal; its failure line and usage failures.

# shellcheck source=tests/common.bash
source "$BATS_TEST_DIRNAME/common.bash"

fail_line() {
    printf 'Fail:Set thread %s on CPU %s affinity failed, error: %s\n' "$1" "$2" "$3"
}

# park CPU: starts corenest -n CPU on all online CPUs and waits until it has
# pinned itself; its pid is in $spawned, its output in the test's parker.out
# and parker.err files.
park() {
    spawn "$BATS_TEST_TMPDIR/parker.out" "$BATS_TEST_TMPDIR/parker.err" \
        taskset -c "$(online_cpus)" "$CORENEST" -n "$1"
    wait_parked "$spawned" "$1"
}

# end_parker PID: ends the parker with SIGTERM and checks that the signal
# killed it and that it printed nothing.
end_parker() {
    kill -TERM "$1"
    local status=0
    wait "$1" || status=$?
    check_output "parker $1" 143 "$status" "" "" parker.
}

# run_parker COMMAND...: runs a parker that should end by itself; leaves its
# pid in $spawned and its status in $parker_status.
run_parker() {
    spawn "$BATS_TEST_TMPDIR/out" "$BATS_TEST_TMPDIR/err" "$@"
    parker_status=0
    wait "$spawned" || parker_status=$?
}

@test "a parked task runs on the one CPU, in one thread, silent until SIGTERM kills it" {
    park 0
    local pid=$spawned
    grep -qx 'Threads:[[:space:]]*1' "/proc/$pid/status"
    sleep 1.2
    wait_parked "$pid" 0
    end_parker "$pid"
}

@test "SIGSTOP and SIGCONT leave it running and asleep" {
    park 0
    local pid=$spawned
    kill -STOP "$pid"
    poll 500 grep -q '^State:.*T (stopped)' "/proc/$pid/status"
    kill -CONT "$pid"
    sleep 1.2
    grep -q '^State:.*S (sleeping)' "/proc/$pid/status"
    wait_parked "$pid" 0
    end_parker "$pid"
}

@test "corehop moves a parked task, which keeps sleeping on the new CPU" {
    need_two_cpus
    park 0
    local pid=$spawned
    expect 0 "Pass: switch thread $pid to cpu 1 success"$'\n' "" "$COREHOP" -c 1 -p "$pid"
    sleep 1.2
    wait_parked "$pid" 1
    end_parker "$pid"
}

@test "a CPU it cannot have: the failure line with its own pid, status 255" {
    local absent
    absent=$(absent_cpu)
    for cpu in 1024 -2 5000 2147483647 "$absent"; do
        run_parker "$CORENEST" -n "$cpu"
        check_output "corenest -n $cpu" 255 "$parker_status" \
            "$(fail_line "$spawned" "$cpu" "Invalid argument")"$'\n' ""
    done
}

@test "a CPU its cpuset forbids: the failure line, status 255" {
    in_cpuset 0 "$CORENEST" -n 1
    check_output "corenest -n 1 in a cpuset of CPU 0" 255 "$status" \
        "$(fail_line "$spawned" 1 "Invalid argument")"$'\n' ""
}

@test "a pin refused for lack of permission reports the platform's error" {
    local trace=$BATS_TEST_TMPDIR/trace status=0
    strace -qq -ff -o "$trace" -e trace=sched_setaffinity -e inject=sched_setaffinity:error=EPERM \
        "$CORENEST" -n 0 >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
    local files=("$trace".*)
    [ ${#files[@]} = 1 ]
    check_output "corenest -n 0, EPERM injected" 255 "$status" \
        "$(fail_line "${files[0]##*.}" 0 "Operation not permitted")"$'\n' ""
}

@test "a bad command line: the usage line, status 2, and no pin attempted" {
    expect_usage_failures "$CORENEST" <<'EOF_CASES'
|
-n -1|
-n 0 -n -1|
-?|
-n 0 -?|
-x|invalid option -- 'x'
-n 0 -x|invalid option -- 'x'
-n|option requires an argument -- 'n'
-c 0|invalid option -- 'c'
EOF_CASES
    expect 2 "" "$(usage_line corenest)"$'\n' with_argv0 "" "$CORENEST"
}

@test "parked, it makes one pin of 128 bytes, then only one-second sleeps" {
    local trace=$BATS_TEST_TMPDIR/trace
    spawn /dev/null /dev/null taskset -c "$(online_cpus)" strace -o "$trace" "$CORENEST" -n 0
    local tracer=$spawned pid
    # (the tracer's child once it runs corenest; teardown ends it too)
    pid=$(poll 500 pgrep -x -P "$tracer" corenest)
    echo "$pid" >>"$BATS_TEST_TMPDIR/spawned"
    wait_parked "$pid" 0
    sleep 2.5
    kill -TERM "$pid"
    wait "$tracer" || true
    # From the pin on: the pin, whole sleeps, the sleep the signal broke, the signal.
    sed -n '/^sched_setaffinity/,$p' "$trace" >"$trace.loop"
    [ "$(grep -c '^sched_setaffinity' "$trace")" = 1 ]
    [[ "$(head -n 1 "$trace.loop")" =~ ^'sched_setaffinity(0, 128, [0])'\ +'= 0'$ ]]
    local sleeps
    sleeps=$(grep -c '^clock_nanosleep(CLOCK_REALTIME, 0, {tv_sec=1, tv_nsec=0}, .*) = 0$' "$trace.loop")
    [ "$sleeps" -ge 2 ]
    [ "$(wc -l <"$trace.loop")" = $((sleeps + 4)) ]
    tail -n 3 "$trace.loop" | sed -n 1p | grep -q '^clock_nanosleep(.*ERESTART_RESTARTBLOCK'
    tail -n 2 "$trace.loop" | sed -n 1p | grep -q '^--- SIGTERM '
    tail -n 1 "$trace.loop" | grep -qx '+++ killed by SIGTERM +++'
}

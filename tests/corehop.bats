#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# The command-line contract of corehop: verdict lines, usage failures and exit
# statuses, byte for byte.

# shellcheck source=tests/common.bash
source "$BATS_TEST_DIRNAME/common.bash"

pass_line() { printf 'Pass: switch thread %s to cpu %s success\n' "$1" "$2"; }
fail_line() { printf 'Fail:can not switch thread %s to CPU %s\n' "$1" "$2"; }

@test "verdicts on its own thread, with the values as the scanner reads them" {
    # arguments | status | thread | CPU in the verdict
    while IFS='|' read -r args status thread cpu; do
        eval "set -- $args"
        if [ "$status" = 0 ]; then line=$(pass_line "$thread" "$cpu"); else line=$(fail_line "$thread" "$cpu"); fi
        expect "$status" "$line"$'\n' "" "$COREHOP" "$@"
    done <<'EOF_CASES'
-c 0 -p 0|0|0|0
-p 0 -c 0|0|0|0
-c0 -p0|0|0|0
-c x -p 0|0|0|0
-c 0 -p x|0|0|0
-c ' 0' -p +0|0|0|0
-c 0x -p 0abc|0|0|0
-c 5000 -c 0 -p 0|0|0|0
-c 0 -p 7 -p 0|0|0|0
word -c 0 other -p 0 last|0|0|0
-c 0 -p 0 -- -x|0|0|0
-c 1024 -p 0|255|0|1024
-c 5000 -p 0|255|0|5000
-c -2 -p 0|255|0|-2
-c 1024x -p 0|255|0|1024
-c ' 5000' -p 0|255|0|5000
-c +1024 -p 0|255|0|1024
-c 4294967297 -p 0|255|0|2147483647
-c 99999999999999999999 -p 0|255|0|2147483647
-c -4294967297 -p 0|255|0|-2147483648
-c 0 -p 2147483647|255|2147483647|0
-c 0 -p 4294967297|255|2147483647|0
-c 0 -p -2|255|-2|0
EOF_CASES
}

@test "a bad command line: the scanner's diagnostic, the usage line, status 2, no affinity call" {
    expect_usage_failures "$COREHOP" <<'EOF_CASES'
|
-c 0|
-p 0|
-c -1 -p 0|
-c 0 -p -1|
-c 0 -p 0 -c -1|
-c 0 -- -p 0|
-c -p 0|
-?|
-c 0 -? -p 0|
-c 0 -p 0 -?|
-c 0 -p 0 -x|invalid option -- 'x'
-x -c 0 -p 0|invalid option -- 'x'
-c 0 -p|option requires an argument -- 'p'
-p 0 -c|option requires an argument -- 'c'
--cpu 0|invalid option -- '-'
EOF_CASES
    # with POSIXLY_CORRECT the first operand ends the options
    expect 2 "" "$(usage_line "$COREHOP")"$'\n' env POSIXLY_CORRECT=1 "$COREHOP" x -c 0 -p 0
}

@test "the usage line names the program as typed, or corehop when argv[0] is empty" {
    expect 2 "" "$(usage_line "$COREHOP")"$'\n' "$COREHOP"
    expect 2 "" "$(usage_line ./my-hop)"$'\n' with_argv0 ./my-hop "$COREHOP"
    expect 2 "" "$(usage_line corehop)"$'\n' with_argv0 "" "$COREHOP"
}

@test "a CPU number the machine lacks is refused" {
    local cpu
    cpu=$(absent_cpu)
    expect 255 "$(fail_line 0 "$cpu")"$'\n' "" "$COREHOP" -c "$cpu" -p 0
}

@test "every affinity call passes 128 bytes, the set first, then the read-back" {
    local trace=$BATS_TEST_TMPDIR/trace
    expect 0 "$(pass_line 0 0)"$'\n' "" strace -qq -o "$trace" -e trace=sched_setaffinity,sched_getaffinity "$COREHOP" -c 0 -p 0
    run grep -c . "$trace"
    [ "$output" = 2 ]
    [[ "$(sed -n 1p "$trace")" =~ ^'sched_setaffinity(0, 128, [0])'\ +'= 0'$ ]]
    [[ "$(sed -n 2p "$trace")" =~ ^'sched_getaffinity(0, 128, [0])'\ +'= '[0-9]+$ ]]
}

@test "a real task moves to the CPU and keeps it" {
    need_two_cpus
    spawn /dev/null /dev/null sleep 60
    local pid=$spawned
    expect 0 "$(pass_line "$pid" 1)"$'\n' "" "$COREHOP" -c 1 -p "$pid"
    cpus_of "$pid" && [ "$cpus" = 1 ]
    expect 0 "$(pass_line "$pid" 0)"$'\n' "" "$COREHOP" -c 0 -p "$pid"
    cpus_of "$pid" && [ "$cpus" = 0 ]
}

@test "a thread id moves that thread alone" {
    need_two_cpus
    need_helper two_threads
    local ids=$BATS_TEST_TMPDIR/ids
    spawn "$ids" /dev/null "$HELPERS/two_threads"
    local pid=$spawned tid before
    poll 500 test -s "$ids"
    read -r tid <"$ids"
    cpus_of "$pid" && before=$cpus
    expect 0 "$(pass_line "$tid" 1)"$'\n' "" "$COREHOP" -c 1 -p "$tid"
    cpus_of "$pid/task/$tid" && [ "$cpus" = 1 ]
    cpus_of "$pid/task/$pid" && [ "$cpus" = "$before" ]
}

@test "a read-back the kernel refuses as too small grows to 1 KiB; other errors end it" {
    local trace=$BATS_TEST_TMPDIR/trace
    # injected into sched_getaffinity | status | error in the verdict | sizes read
    while IFS='|' read -r inject status error sizes; do
        local line="Pass: switch thread 0 to cpu 0 success"
        [ "$status" = 0 ] || line="Fail:Get thread 0 on CPU 0 affinity failed, error: $error"
        expect "$status" "$line"$'\n' "" strace -qq -o "$trace" -e trace=sched_getaffinity \
            -e inject=sched_getaffinity:"$inject" "$COREHOP" -c 0 -p 0
        [ "$(sed 's/^sched_getaffinity(0, \([0-9]*\),.*/\1/' "$trace" | tr '\n' ' ')" = "$sizes " ] ||
            { echo "$inject: read with $(tr '\n' ' ' <"$trace")" >&2; return 1; }
    done <<'EOF_CASES'
error=EINVAL:when=1|0||128 256
error=EINVAL:when=1..2|0||128 256 512
error=EINVAL:when=1..3|0||128 256 512 1024
error=EINVAL|255|Invalid argument|128 256 512 1024
error=ESRCH|255|No such process|128
EOF_CASES
}

@test "each set passes the smallest size that holds the CPU, never under 128 bytes" {
    local trace=$BATS_TEST_TMPDIR/trace got
    # program and arguments | the set call
    while IFS='|' read -r args want; do
        eval "set -- $args"
        # The outer strace has the inner one's probe of the kernel's mask size
        # refused until it reaches 2 KiB, so that it decodes all 8192 CPUs.
        strace -o /dev/null -e inject=sched_getaffinity:error=EINVAL:when=1..4 \
            strace -qq -o "$trace" -e trace=sched_setaffinity "$BIN/$1" "${@:2}" >/dev/null || true
        got=$(sed 's/ *= .*//' "$trace")
        [ "$got" = "$want" ] || { echo "$args: $got, want $want" >&2; return 1; }
    done <<'EOF_CASES'
corehop -c 0 -p 0|sched_setaffinity(0, 128, [0])
corehop -c 1023 -p 0|sched_setaffinity(0, 128, [1023])
corehop -c 1024 -p 0|sched_setaffinity(0, 136, [1024])
corehop -c 1050 -p 0|sched_setaffinity(0, 136, [1050])
corehop -c 1088 -p 0|sched_setaffinity(0, 144, [1088])
corehop -c 4095 -p 0|sched_setaffinity(0, 512, [4095])
corehop -c 8191 -p 0|sched_setaffinity(0, 1024, [8191])
corehop -c 8192 -p 0|sched_setaffinity(0, 128, [])
corehop -c -2 -p 0|sched_setaffinity(0, 128, [])
corenest -n 1050|sched_setaffinity(0, 136, [1050])
corenest -n 8191|sched_setaffinity(0, 1024, [8191])
corenest -n 8192|sched_setaffinity(0, 128, [])
EOF_CASES
}

@test "a verdict line that cannot be written: the write error, and 1 for a lost pass" {
    local status n
    # program and arguments | where standard output goes | status | the system's text
    while IFS='|' read -r args to want reason; do
        eval "set -- $args"
        status=0
        : >"$BATS_TEST_TMPDIR/out"
        case $to in
        full) "$BIN/$1" "${@:2}" >/dev/full 2>"$BATS_TEST_TMPDIR/err" || status=$? ;;
        closed) "$BIN/$1" "${@:2}" >&- 2>"$BATS_TEST_TMPDIR/err" || status=$? ;;
        # no room for a byte in a regular file, with SIGXFSZ ignored; the
        # limit holds for files alone, so standard error goes through a pipe
        file)
            (ulimit -f 0 && trap '' XFSZ && exec "$BIN/$1" "${@:2}" >"$BATS_TEST_TMPDIR/out") 2>&1 |
                cat >"$BATS_TEST_TMPDIR/err"
            status=${PIPESTATUS[0]}
            ;;
        # a file system that reports a failed write-back at the close (NFS,
        # FUSE): EIO injected into the close of standard output, found by
        # its place among the program's closes
        close)
            strace -qq -o "$BATS_TEST_TMPDIR/trace" -e trace=close "$BIN/$1" "${@:2}" >/dev/null 2>&1 || true
            n=$(grep -n '^close(1)' "$BATS_TEST_TMPDIR/trace" | cut -d: -f1)
            [ -n "$n" ] || { echo "$args: standard output is never closed" >&2; return 1; }
            strace -qq -o /dev/null -e trace=close -e inject=close:error=EIO:when="$n" "$BIN/$1" "${@:2}" \
                >"$BATS_TEST_TMPDIR/written" 2>"$BATS_TEST_TMPDIR/err" || status=$?
            ;;
        esac
        check_output "$args >$to" "$want" "$status" "" "$BIN/$1: write error: $reason"$'\n'
    done <<'EOF_CASES'
corehop -c 0 -p 0|full|1|No space left on device
corehop -c 0 -p 0|closed|1|Bad file descriptor
corehop -c 0 -p 0|file|1|File too large
corehop -c 0 -p 0|close|1|Input/output error
corehop -c 9000 -p 0|close|255|Input/output error
corenest -n 9000|close|255|Input/output error
corehop -c 9000 -p 0|full|255|No space left on device
corehop -c 9000 -p 0|closed|255|Bad file descriptor
corenest -n 9000|full|255|No space left on device
corenest -n 9000|closed|255|Bad file descriptor
corenest -n 9000|file|255|File too large
EOF_CASES
}

@test "a read-back that differs from the request fails" {
    need_two_cpus
    # The set is swallowed, so the read-back shows both CPUs.
    expect 255 "$(fail_line 0 0)"$'\n' "" \
        taskset -c 0,1 strace -o /dev/null -e inject=sched_setaffinity:retval=0 "$COREHOP" -c 0 -p 0
}

@test "a refused set fails without a reason, whatever the error" {
    for error in EPERM EINVAL ESRCH EFAULT; do
        expect 255 "$(fail_line 0 0)"$'\n' "" \
            strace -o /dev/null -e inject=sched_setaffinity:error=$error "$COREHOP" -c 0 -p 0
    done
}

@test "an unprivileged user cannot move root's task, which keeps its affinity" {
    need_root
    command -v setpriv >/dev/null || skip "needs setpriv"
    # The program must be reachable by the other user.
    local dir
    dir=$(mktemp -d /tmp/corehop-test.XXXXXX)
    chmod 755 "$dir"
    cp "$COREHOP" "$dir/corehop"
    chmod 755 "$dir/corehop"
    spawn /dev/null /dev/null sleep 60
    local pid=$spawned before
    cpus_of "$pid" && before=$cpus
    expect 255 "$(fail_line "$pid" 0)"$'\n' "" \
        setpriv --reuid=65534 --regid=65534 --clear-groups "$dir/corehop" -c 0 -p "$pid"
    rm -r "$dir"
    cpus_of "$pid" && [ "$cpus" = "$before" ]
}

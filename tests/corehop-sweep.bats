#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# The contract of corehop-sweep: KTAP that a TAP consumer reads, a check a
# CPU, the same under every shell, exit statuses as kselftest's, and no
# parker left behind.

# shellcheck source=tests/common.bash
source "$BATS_TEST_DIRNAME/common.bash"

USAGE='usage: corehop-sweep [-c LIST] [-H]
       corehop-sweep -l'

# sweep COMMAND...: runs COMMAND (a sweep); its output in the test's out and
# err files, its status in $status.
sweep() {
    status=0
    "$@" >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
}

# results: the result lines of the last sweep.
results() {
    grep -E '^(not )?ok ' "$BATS_TEST_TMPDIR/out"
}

# well_formed: the last sweep's output is KTAP: the version, the plan before
# the results, the results numbered from 1 to the plan's end.
well_formed() {
    local out=$BATS_TEST_TMPDIR/out plan
    plan=$(sed -n 's/^1\.\.\([0-9]*\)$/\1/p' "$out")
    if [ "$(sed -n 1p "$out")" != "KTAP version 1" ] || [ "$(grep -n '^1\.\.' "$out" | cut -d: -f1)" != 2 ] ||
        [ "$(results | sed -E 's/^(not )?ok ([0-9]+) .*/\2/' | tr '\n' ' ')" != "$(seq -s ' ' "$plan") " ] ||
        [ "$(grep -cvE '^(KTAP version 1|1\.\.[0-9]+|(not )?ok [0-9]+ .*|# .*)$' "$out")" != 0 ]; then
        cat "$out" >&2
        return 1
    fi
}

@test "on this machine: every CPU takes the parker, the others refuse; KTAP that prove reads" {
    local cpu last
    last=$(last_online_cpu)
    sweep "$SWEEP"
    check_output corehop-sweep 0 "$status" "$(cat "$BATS_TEST_TMPDIR/out")"$'\n' ""
    well_formed
    [ "$(grep -c '^not ok' "$BATS_TEST_TMPDIR/out")" = 0 ]
    for cpu in $(seq 0 "$last"); do
        grep -qx "ok [0-9]* corehop moves itself to CPU $cpu" "$BATS_TEST_TMPDIR/out"
        grep -qx "ok [0-9]* corehop moves the parker to CPU $cpu" "$BATS_TEST_TMPDIR/out"
    done
    for cpu in "$(($(sed 's/.*[-,]//' /sys/devices/system/cpu/possible) + 1)), past the possible CPUs" \
        "8192, past the most a mask holds"; do
        grep -qx "ok [0-9]* corehop refuses CPU $cpu" "$BATS_TEST_TMPDIR/out"
        grep -qx "ok [0-9]* corenest refuses CPU $cpu" "$BATS_TEST_TMPDIR/out"
    done
    command -v prove >/dev/null || skip "needs prove (perl)"
    run prove -e cat "$BATS_TEST_TMPDIR/out"
    [ "$status" = 0 ] && [[ "$output" == *"All tests successful."* ]]
}

@test "the same under dash, busybox sh and bash" {
    sweep "$SWEEP"
    mv "$BATS_TEST_TMPDIR/out" "$BATS_TEST_TMPDIR/want"
    for shell in dash "busybox sh" bash; do
        command -v "${shell%% *}" >/dev/null || skip "needs ${shell%% *}"
        # shellcheck disable=SC2086 # the shell's words
        sweep $shell "$SWEEP"
        check_output "$shell corehop-sweep" 0 "$status" "$(cat "$BATS_TEST_TMPDIR/want")"$'\n' ""
    done
}

@test "-c moves to the listed CPUs alone, and names those a task may not use" {
    need_two_cpus
    local absent
    absent=$(absent_cpu)
    sweep "$SWEEP" -c "1,$absent"
    [ "$status" = 0 ]
    well_formed
    [ "$(grep -c ' moves ' "$BATS_TEST_TMPDIR/out")" = 2 ]
    grep -qx "ok 1 corehop moves itself to CPU 1" "$BATS_TEST_TMPDIR/out"
    grep -qx "# -c names CPUs a task may not use: $absent" "$BATS_TEST_TMPDIR/out"
}

@test "its own CPUs narrow the sweep, not the CPUs it checks; the parker starts elsewhere" {
    need_two_cpus
    # CPUs the sweep runs on | where the parker parks
    while IFS='|' read -r own park; do
        sweep taskset -c "$own" "$SWEEP"
        [ "$status" = 0 ] || { cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
        grep -qx "# a task may use $(online_cpus); moved to $(online_cpus)" "$BATS_TEST_TMPDIR/out"
        grep -qx "ok [0-9]* corenest parks on CPU $park" "$BATS_TEST_TMPDIR/out"
    done <<EOF_CASES
0|1
1|0
$(online_cpus)|0
EOF_CASES
}

@test "-l prints the CPUs a task may use, -h the help; a bad command line the usage, status 2" {
    expect 0 "$(online_cpus)"$'\n' "" "$SWEEP" -l
    "$SWEEP" -h >"$BATS_TEST_TMPDIR/help"
    [ "$(head -n 2 "$BATS_TEST_TMPDIR/help")" = "$USAGE" ]
    # arguments | the diagnostic before the usage
    while IFS='|' read -r args diagnostic; do
        eval "set -- $args"
        expect 2 "" "${diagnostic:+$diagnostic$'\n'}$USAGE"$'\n' "$SWEEP" "$@"
    done <<'EOF_CASES'
-x|corehop-sweep: unknown option -x
-c|corehop-sweep: -c needs a value
-Hx|corehop-sweep: unknown option -x
-c x|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: 'x'
-c ''|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: ''
-c 0-8192|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: '0-8192'
-c 3-1|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: '3-1'
-c 1,,2|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: '1,,2'
-c -1|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: '-1'
-c 99999999999999999999|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: '99999999999999999999'
now|corehop-sweep: no operands: 'now'
EOF_CASES
}

@test "a corehop that passes every move: the moves it did not make and the refusals fail, status 1" {
    local dir pid
    # shellcheck disable=SC2016 # expanded by the stand-in
    dir=$(stand_in corehop 'echo "Pass: switch thread $4 to cpu $2 success"')
    sweep "$dir/corehop-sweep"
    [ "$status" = 1 ]
    well_formed
    pid=$(sed -n 's/^# got: .*thread \([0-9]*\) to cpu 8192 .*/\1/p' \
        "$BATS_TEST_TMPDIR/out")
    # the parker stays where it parked
    grep -A3 -x 'not ok [0-9]* corehop refuses CPU 8192, past the most a mask holds' "$BATS_TEST_TMPDIR/out" |
        sed 1d >"$BATS_TEST_TMPDIR/got"
    [ "$(sed 's/^not ok [0-9]* /not ok N /' "$BATS_TEST_TMPDIR/got")" = "# expected: status 255: Fail:can not switch thread $pid to CPU 8192; CPUs 0
# got:      status 0: Pass: switch thread $pid to cpu 8192 success; CPUs 0
not ok N corenest refuses CPU 8192, past the most a mask holds" ]
    [ "$(results | grep '^not ok' | grep -cv ' refuses \| moves the parker to CPU [1-9]')" = 0 ]
    [ "$(results | grep -c '^not ok')" = "$(results | grep -c ' refuses \| moves the parker to CPU [1-9]')" ]
}

@test "without corehop and corenest nothing can be checked: status 4" {
    local dir=$BATS_TEST_TMPDIR/alone
    mkdir "$dir" && cp "$SWEEP" "$dir/"
    expect 4 "KTAP version 1
1..0 # SKIP no corehop and corenest beside $dir/corehop-sweep or on PATH
" "" env PATH=/usr/bin:/bin "$dir/corehop-sweep"
}

@test "a signal at any moment, or a reader gone early, leaves no parker behind" {
    # Stand-ins of corehop and corenest take a ticket as they start (a
    # folder, STARTS/N, with their pid); the AT-th sends the sweep SIGTERM,
    # then each becomes the real program.
    local dir=$BATS_TEST_TMPDIR/bin starts at pid
    mkdir "$dir" && ln -s "$SWEEP" "$dir/"
    for program in corehop corenest; do
        # shellcheck disable=SC2016 # expanded by the stand-in
        printf '#!/bin/sh\nn=1\nuntil mkdir "$STARTS/$n" 2>/dev/null; do n=$((n + 1)); done\necho $$ >"$STARTS/$n/pid"\n[ "$n" != "$AT" ] || kill -TERM "$(cat "$STARTS/sweep")"\nexec "%s" "$@"\n' \
            "$BIN/$program" >"$dir/$program"
        chmod +x "$dir/$program"
    done
    export STARTS=$BATS_TEST_TMPDIR/starts AT
    gone() {
        park_state "$1" x
        [ $? = 2 ]
    }
    # no corenest of the run left
    # (a start may still note its pid after the sweep has ended; one that
    # never does ended before it could become corenest)
    none_left() {
        local start
        [ -d "$STARTS/1" ] || { echo "$1: nothing started" >&2 && return 1; }
        for start in "$STARTS"/[0-9]*; do
            poll 100 test -s "$start/pid" || continue
            poll 100 gone "$(cat "$start/pid")" ||
                { echo "$1: $(cat "/proc/$(cat "$start/pid")/stat") survived" >&2 && return 1; }
        done
    }
    mkdir "$STARTS"
    AT=0 "$dir/corehop-sweep" >/dev/null
    starts=$(find "$STARTS" -mindepth 1 -type d | wc -l)
    [ "$starts" -ge 5 ]
    for at in $(seq "$starts"); do
        rm -r "$STARTS" && mkdir "$STARTS"
        # shellcheck disable=SC2016 # expanded by the inner shell
        AT=$at sweep sh -c 'echo $$ >"$STARTS/sweep" && exec "$1"' sh "$dir/corehop-sweep"
        [ "$status" = 143 ] || { echo "SIGTERM at start $at: status $status" >&2 && return 1; }
        none_left "SIGTERM at start $at"
    done
    # a reader that stops after the first two results, once the parker runs
    rm -r "$STARTS" && mkdir "$STARTS"
    AT=0 "$dir/corehop-sweep" 2>/dev/null | sed '/^ok 2 /q' >/dev/null
    [ "${PIPESTATUS[0]}" = 141 ]
    none_left "a reader gone early"
}

@test "inside a cpuset of one CPU: that CPU is moved to, the others refuse" {
    in_cpuset 1 "$SWEEP"
    [ "$status" = 0 ] || { cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
    well_formed
    grep -qx "# a task may use 1; moved to 1" "$BATS_TEST_TMPDIR/out"
    grep -qx "# this process may use CPU 1 alone: the parker's pin cannot show" "$BATS_TEST_TMPDIR/out"
    grep -qx "ok [0-9]* corehop moves the parker to CPU 1" "$BATS_TEST_TMPDIR/out"
    grep -qx "ok [0-9]* corehop refuses CPU 0, outside the cpuset" "$BATS_TEST_TMPDIR/out"
    grep -qx "ok [0-9]* corenest refuses CPU 0, outside the cpuset" "$BATS_TEST_TMPDIR/out"
}

@test "where no cpuset can be read: the online CPUs, and a line that says so" {
    need_root
    command -v unshare >/dev/null || skip "needs unshare"
    # no cgroup file system in the mount table of a mount namespace of its own
    unshare -m true 2>/dev/null || skip "cannot make a mount namespace here"
    # shellcheck disable=SC2016 # expanded by the inner shell
    sweep unshare -m sh -c 'mount -t tmpfs none /sys/fs/cgroup && exec "$1"' sh "$SWEEP"
    [ "$status" = 0 ]
    grep -qx "# no cpuset can be read here: a task may use the online CPUs" "$BATS_TEST_TMPDIR/out"
    grep -qx "# a task may use $(online_cpus); moved to $(online_cpus)" "$BATS_TEST_TMPDIR/out"
}

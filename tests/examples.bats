#!/usr/bin/env bats
# The harness scenario of examples/: it passes, and leaves no parker behind
# on any path.

# shellcheck source=tests/common.bash
source "$BATS_TEST_DIRNAME/common.bash"

SCENARIO=$BATS_TEST_DIRNAME/../examples/park-and-move.sh

# The pid in a "parked: pid N on CPUs L" line of the scenario's output.
parker_of() {
    sed -n 's/^parked: pid \([0-9]*\) .*/\1/p' "$BATS_TEST_TMPDIR/out"
}

# stand_in_corehop BODY: a folder with the real corenest and a stand-in
# corehop, a shell script of BODY; prints the folder.
stand_in_corehop() {
    local dir=$BATS_TEST_TMPDIR/bin
    mkdir "$dir"
    ln -s "$CORENEST" "$dir/corenest"
    printf '#!/bin/sh\n%s\n' "$1" >"$dir/corehop"
    chmod +x "$dir/corehop"
    echo "$dir"
}

@test "the scenario moves the parker to the last online CPU and ends it" {
    local online last
    online=$(cat /sys/devices/system/cpu/online)
    last=${online##*[-,]}
    local status=0
    "$SCENARIO" "$BIN" >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
    local pid
    pid=$(parker_of)
    check_output scenario 0 "$status" "parked: pid $pid on CPUs 0
Pass: switch thread $pid to cpu $last success
moved:  pid $pid on CPUs $last
" ""
    [ ! -d "/proc/$pid" ]
}

@test "a failed move gives corehop's status and still ends the parker" {
    local dir status=0
    # shellcheck disable=SC2016 # expanded by the stand-in
    dir=$(stand_in_corehop 'echo "Fail:can not switch thread $4 to CPU $2"; exit 255')
    "$SCENARIO" "$dir" >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
    [ "$status" = 255 ]
    local pid
    pid=$(parker_of)
    [ -n "$pid" ]
    grep -qx "Fail:can not switch thread $pid to CPU [0-9]*" "$BATS_TEST_TMPDIR/out"
    [ ! -d "/proc/$pid" ]
}

@test "a signal to the scenario ends the parker too" {
    # A stand-in corehop that takes a second holds the scenario between the
    # park and the move; the shell runs its trap when the stand-in returns.
    local dir status=0
    dir=$(stand_in_corehop 'exec sleep 1')
    spawn "$BATS_TEST_TMPDIR/out" "$BATS_TEST_TMPDIR/err" "$SCENARIO" "$dir"
    local scenario=$spawned pid
    for _ in $(seq 500); do pgrep -P "$scenario" -fx 'sleep 1' >/dev/null && break; sleep 0.01; done
    pid=$(parker_of)
    [ -n "$pid" ] && [ -d "/proc/$pid" ]
    kill -TERM "$scenario"
    wait "$scenario" || status=$?
    [ "$status" = 143 ]
    [ ! -d "/proc/$pid" ]
}

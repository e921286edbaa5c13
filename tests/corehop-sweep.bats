#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# The contract of corehop-sweep: KTAP that a TAP consumer reads, a check a
# CPU, the same in every caller's environment, exit statuses as kselftest's,
# and nothing left behind.

# shellcheck source=tests/common.bash
source "$BATS_TEST_DIRNAME/common.bash"

USAGE='usage: corehop-sweep [-c LIST] [-H]
       corehop-sweep -i [-w SECONDS]
       corehop-sweep -l'

# sweep COMMAND...: runs COMMAND (a sweep); its output in the test's out and
# err files, its status in $status.
sweep() {
    status=0
    "$@" >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
}

# cpu_words RANGE LAST: the CPUs of RANGE (such as 0-1; none: none), LAST
# among them the last, each with a blank after it.
cpu_words() {
    [ "$1" != none ] || return 0
    seq "${1%-*}" "${1#*-}" | grep -vx "$2" | tr '\n' ' '
    seq "${1%-*}" "${1#*-}" | grep -x "$2" | tr '\n' ' '
}

# stand_in_cpus ONLINE ISOLATED [NOHZ]: a stand-in of the kernel's CPU
# folder in the test's cpus/: the possible CPUs as they are, ONLINE online,
# ISOLATED isolated, and NOHZ tickless (none, or no NOHZ: no such file).
stand_in_cpus() {
    local dir=$BATS_TEST_TMPDIR/cpus
    rm -rf "$dir" && mkdir "$dir"
    cp /sys/devices/system/cpu/possible "$dir/"
    echo "$1" >"$dir/online"
    echo "$2" >"$dir/isolated"
    [ -z "${3:-}" ] || [ "$3" = none ] || echo "$3" >"$dir/nohz_full"
}

# audit_over_stand_ins RUNNER OPTIONS [AUDIT-OPTION...]: corehop-sweep -i,
# run by RUNNER, in a mount namespace whose CPU folder is the test's cpus/,
# whose /proc is one of its own mounted with OPTIONS (where given), and
# whose /proc/cmdline is the file $CMDLINE, default affinity of interrupts
# the mask $AFFINITY, and /proc/FILE the test's FILE for each FILE of
# $COUNTERS (where given); as sweep runs it.
audit_over_stand_ins() {
    local affinity='' binds='' file
    if [ -n "${AFFINITY:-}" ]; then
        affinity=$BATS_TEST_TMPDIR/affinity
        echo "$AFFINITY" >"$affinity"
    fi
    for file in ${COUNTERS:-}; do
        binds="$binds mount --bind $BATS_TEST_TMPDIR/$file /proc/$file &&"
    done
    # shellcheck disable=SC2016 # expanded by the inner shell
    sweep unshare -m sh -c 'mount --bind "$1" /sys/devices/system/cpu &&
        { [ -z "$3" ] || mount -t proc -o "$3" proc /proc; } &&
        { [ -z "$4" ] || mount --bind "$4" /proc/cmdline; } &&
        { [ -z "$5" ] || mount --bind "$5" /proc/irq/default_smp_affinity; } && '"$binds"' runner=$2 &&
        shift 5 && exec $runner "$0" -i "$@"' \
        "$SWEEP" "$BATS_TEST_TMPDIR/cpus" "$1" "$2" "${CMDLINE:-}" "$affinity" "${@:3}"
}

@test "on this machine: every CPU takes the parker, the others refuse; KTAP that prove reads" {
    local cpu last
    last=$(last_online_cpu)
    sweep "$SWEEP"
    check_output corehop-sweep 0 "$status" "$(cat "$BATS_TEST_TMPDIR/out")"$'\n' ""
    ktap_well_formed
    [ "$(grep -c '^not ok' "$BATS_TEST_TMPDIR/out")" = 0 ]
    for cpu in $(seq 0 "$last"); do
        grep -qx "ok [0-9]* corehop moves itself to CPU $cpu, by its own read-back" "$BATS_TEST_TMPDIR/out"
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

@test "the same wherever its programs lie and whatever the caller left it" {
    sweep "$SWEEP"
    ktap_results >"$BATS_TEST_TMPDIR/want"
    # The same results wherever the programs lie and whatever the caller
    # left: folders whose names a report line would break, a folder on PATH
    # named as a program, a run by name from PATH with a corehop in the
    # current folder, a corenest slow to pin itself; no environment, a
    # blocked or ignored SIGTERM, closed descriptors, a TMPDIR that is a
    # FIFO, a PATH with nothing on it, SIGCHLD ignored (with which the kernel
    # would reap the tools, their statuses lost), a low limit on descriptors;
    # a kernel that gives no signalfd or no pidfd, and that with SIGCHLD
    # ignored.
    local place
    mkdir -p "$BATS_TEST_TMPDIR/here" "$BATS_TEST_TMPDIR/path/corehop"
    mkfifo "$BATS_TEST_TMPDIR/fifo"
    printf '#!/bin/sh\necho stray\n' >"$BATS_TEST_TMPDIR/here/corehop"
    chmod +x "$BATS_TEST_TMPDIR/here/corehop"
    # folder | the command, run in the test's folder "here", with the folder
    # path/ and then the programs' folder first on PATH
    while IFS='|' read -r folder command; do
        place=$BATS_TEST_TMPDIR/$(printf '%b' "$folder")
        mkdir -p "$place"
        cp "$BIN/corehop" "$BIN/corehop-sweep" "$place/"
        rm -f "$place/corenest"
        cp "$BIN/corenest" "$place/"
        # (a parker slow to pin itself)
        # shellcheck disable=SC2016
        [ "$folder" != slow ] ||
            printf '#!/bin/sh\n[ "$2" -ge %s ] || %s 1.5\nexec "%s" "$@"\n' "$(absent_cpu)" "$(command -v sleep)" \
                "$BIN/corenest" >"$place/corenest"
        eval "set -- $command"
        (cd "$BATS_TEST_TMPDIR/here" && PATH=$BATS_TEST_TMPDIR/path:$place:$PATH sweep "$@")
        [ "$status" = 0 ] && [ "$(ktap_results)" = "$(cat "$BATS_TEST_TMPDIR/want")" ] ||
            { echo "$folder|$command: status $status" >&2 && cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
    done <<'EOF_CASES'
x\\cy|"$place/corehop-sweep"
n\nok 99 x|"$place/corehop-sweep"
slow|"$place/corehop-sweep"
by name|corehop-sweep
env|env -i "$place/corehop-sweep"
blocked|perl -MPOSIX -e 'sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGTERM)); exec @ARGV' "$place/corehop-sweep"
ignored|sh -c 'trap "" TERM HUP INT && exec "$0"' "$place/corehop-sweep"
closed|sh -c 'exec "$0" 2>&- <&-' "$place/corehop-sweep"
tmpdir|env TMPDIR="$BATS_TEST_TMPDIR/fifo" "$place/corehop-sweep"
no path|env PATH=/nowhere "$place/corehop-sweep"
no signalfd|strace -qq -o /dev/null -e trace=signalfd4 -e inject=signalfd4:error=ENOSYS "$place/corehop-sweep"
no pidfd|strace -qq -o /dev/null -e trace=pidfd_open -e inject=pidfd_open:error=ENOSYS "$place/corehop-sweep"
chld ignored|perl -e '$SIG{CHLD} = "IGNORE"; exec { $ARGV[0] } @ARGV' "$place/corehop-sweep"
chld ignored, no pidfd|perl -e '$SIG{CHLD} = "IGNORE"; exec { $ARGV[0] } @ARGV' strace -qq -o /dev/null -e trace=pidfd_open -e inject=pidfd_open:error=ENOSYS "$place/corehop-sweep"
descriptors|prlimit --nofile=32:32 "$place/corehop-sweep"
EOF_CASES
}

@test "-c moves to the listed CPUs alone, in any order; those a task may not use skip; every move changes the CPU" {
    need_two_cpus
    local absent moves park
    absent=$(absent_cpu)
    # list | moved to | the listed CPUs that skip
    while IFS='|' read -r list want skipped; do
        sweep env PATH=/nowhere "$SWEEP" -c "$list"
        [ "$status" = 0 ] && ktap_well_formed || { echo "-c $list: status $status" >&2 && return 1; }
        grep -qx "# a task may use $(online_cpus); moved to $want" "$BATS_TEST_TMPDIR/out"
        park=$(sed -n 's/^ok [0-9]* corenest parks on CPU \([0-9]*\)$/\1/p' "$BATS_TEST_TMPDIR/out")
        # the moves, each plain, the parker's own CPU, if moved to, last
        moves=$(ktap_results | sed -n 's/^ok [0-9]* corehop moves the parker to CPU \([0-9]*\)$/\1/p' | tr '\n' ' ')
        [ -n "$park" ] && [ "$moves" = "$(cpu_words "$want" "$park")" ] ||
            { echo "-c $list: moves $moves, the parker on $park" >&2 && return 1; }
        [ "$(ktap_results | sed -n 's/^ok [0-9]* corehop moves the parker to CPU \([0-9]*\) # SKIP past the possible CPUs: a task may not use it$/\1/p' | tr '\n' ' ')" = "$skipped" ]
    done <<EOF_CASES
1,$absent|1|$absent 
1,0|0-1|
0-1,1,0|0-1|
0|0|
0-1:1/1|0-1|
$absent-$((absent + 2)):1/2|none|$absent $((absent + 2)) 
EOF_CASES
}

@test "its own CPUs narrow the sweep, not the CPUs it checks; the parker starts elsewhere" {
    need_two_cpus
    # CPUs the sweep runs on | where the parker parks
    while IFS='|' read -r own park; do
        # (where no cpuset can be read, on the sweep's first CPU, which the
        # kernel lets it use; the pin then shows only where it has more)
        [ -z "$CPUSET_NOTE" ] || park=${own%%[-,]*}
        sweep taskset -c "$own" "$SWEEP"
        [ "$status" = 0 ] || { cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
        grep -qx "# a task may use $(online_cpus); moved to $(online_cpus)" "$BATS_TEST_TMPDIR/out"
        grep -qE "^ok [0-9]+ corenest parks on CPU $park( # SKIP this process may use CPU $park alone: the pin cannot show)?$" \
            "$BATS_TEST_TMPDIR/out"
    done <<EOF_CASES
0|1
1|0
$(online_cpus)|0
EOF_CASES
}

@test "-l prints the CPUs a task may use, -h the help; a bad command line the usage, status 2" {
    expect 0 "$(online_cpus)"$'\n' "$CPUSET_NOTE" "$SWEEP" -l
    "$SWEEP" -h >"$BATS_TEST_TMPDIR/help"
    [ "$(head -n 3 "$BATS_TEST_TMPDIR/help")" = "$USAGE" ]
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
-c 0-7:2|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: '0-7:2'
-c 0-7:0/4|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: '0-7:0/4'
-c 0-7:3/2|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: '0-7:3/2'
-c 0-7:1/2/4|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: '0-7:1/2/4'
-c 0-8192:1/2|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: '0-8192:1/2'
now|corehop-sweep: no operands: 'now'
-i -H|corehop-sweep: -i takes no other option but -w
-c 1 -i|corehop-sweep: -i takes no other option but -w
-il|corehop-sweep: -i takes no other option but -w
-i -w 2 -c 1|corehop-sweep: -i takes no other option but -w
-i x|corehop-sweep: no operands: 'x'
-i -w|corehop-sweep: -w needs a value
-w 2|corehop-sweep: -w goes with -i
-w 2 -H|corehop-sweep: -w goes with -i
-i -w 0|corehop-sweep: -w takes a number of seconds, 1 to 3600: '0'
-i -w 3601|corehop-sweep: -w takes a number of seconds, 1 to 3600: '3601'
-i -w 99999999999|corehop-sweep: -w takes a number of seconds, 1 to 3600: '99999999999'
-i -w 1.5|corehop-sweep: -w takes a number of seconds, 1 to 3600: '1.5'
-i -w ' 2'|corehop-sweep: -w takes a number of seconds, 1 to 3600: ' 2'
-i -w -2|corehop-sweep: -w takes a number of seconds, 1 to 3600: '-2'
-c 'a\cb'|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: 'a\\cb'
-c $'1\nBail out!'|corehop-sweep: -c takes a list of CPUs 0 to 8191, such as 0-3,64: '1\nBail out!'
EOF_CASES
}

@test "a corehop that passes every move: the moves it did not make and the refusals fail, status 1" {
    local dir pid
    # shellcheck disable=SC2016 # expanded by the stand-in
    dir=$(stand_in corehop 'echo "Pass: switch thread $4 to cpu $2 success"')
    sweep "$dir/corehop-sweep"
    [ "$status" = 1 ]
    ktap_well_formed
    pid=$(sed -n 's/^# got: .*thread \([0-9]*\) to cpu 8192 .*/\1/p' \
        "$BATS_TEST_TMPDIR/out")
    # the parker stays where it parked
    grep -A3 -x 'not ok [0-9]* corehop refuses CPU 8192, past the most a mask holds' "$BATS_TEST_TMPDIR/out" |
        sed 1d >"$BATS_TEST_TMPDIR/got"
    [ "$(sed 's/^not ok [0-9]* /not ok N /' "$BATS_TEST_TMPDIR/got")" = "# expected: status 255: Fail:can not switch thread $pid to CPU 8192; CPUs 0
# got:      status 0: Pass: switch thread $pid to cpu 8192 success; CPUs 0
not ok N corenest refuses CPU 8192, past the most a mask holds" ]
    [ "$(ktap_results | grep '^not ok' | grep -cv ' refuses \| moves the parker to CPU [1-9]')" = 0 ]
    [ "$(ktap_results | grep -c '^not ok')" = "$(ktap_results | grep -c ' refuses \| moves the parker to CPU [1-9]')" ]
    # no move passes without the kernel's word: the parker's own CPU skips
    [ "$(ktap_results | grep -c '^ok [0-9]* corehop moves the parker to CPU [0-9]*$')" = 0 ]
}

@test "a corehop whose word is off fails its own checks alone: a Fail: line after a NUL, a verdict given late" {
    need_two_cpus
    local dir
    # a stand-in corehop | the results that fail, a pattern, ";" after each
    while IFS='|' read -r body failing; do
        rm -rf "${BATS_TEST_TMPDIR:?}/bin"
        dir=$(stand_in corehop "${body//REAL/$BIN/corehop}")
        sweep "$dir/corehop-sweep"
        [ "$status" = 1 ] && ktap_well_formed &&
            [[ "$(ktap_results | sed -n 's/^not ok [0-9]* //p' | tr '\n' ';')" =~ ^($failing)$ ]] ||
            { echo "$body: want $failing" >&2 && cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
    done <<'EOF_CASES'
out=$("REAL" "$@"); s=$?; printf '%s\0\nFail:can not switch thread %s to CPU %s\n' "$out" "$4" "$2"; exit $s|(corehop [^;]*;)+
case $4 in 0) ;; *) if [ ! -e "$0.late" ]; then : >"$0.late"; "REAL" "$@"; s=$?; sleep 12; exit $s; fi ;; esac; exec "REAL" "$@"|corehop moves the parker to CPU [0-9]+;
EOF_CASES
}

@test "a tool that hangs fails its check and is ended; a signal ends the sweep at once; nothing is left" {
    # a corehop that hangs on its first move of the parker, having noted its
    # pid: a sleep under corehop's name
    local dir sweep signal status want
    # shellcheck disable=SC2016 # expanded by the stand-in
    dir=$(stand_in corehop 'case $4 in 0) ;; *) [ "$2" -ge 8192 ] || [ -e "$0.hung" ] || { echo $$ >"$0.hung" && exec "$0.d/corehop" 600; } ;; esac
exec "'"$BIN/corehop"'" "$@"')
    mkdir "$dir/corehop.d" && ln -s "$(command -v sleep)" "$dir/corehop.d/corehop"
    # and a corenest that notes each pid it runs as
    rm "$dir/corenest"
    # shellcheck disable=SC2016 # expanded by the stand-in
    printf '#!/bin/sh\necho $$ >>"$0.pids"\nexec "%s" "$@"\n' "$BIN/corenest" >"$dir/corenest"
    chmod +x "$dir/corenest"
    left() {
        local pid
        while read -r pid; do
            poll 300 gone "$pid" || { echo "$1: $(cat "/proc/$pid/stat") left behind" >&2 && return 1; }
        done < <(cat "$dir/corehop.hung" "$dir/corenest.pids")
        rm "$dir/corenest.pids"
    }
    gone() { [ ! -e "/proc/$1" ] || [ "$(cut -d' ' -f3 "/proc/$1/stat")" = Z ]; }
    # bounded: the check fails, the sweep goes on to its end
    sweep "$dir/corehop-sweep"
    [ "$status" = 1 ] && ktap_well_formed
    grep -qx "# got:      status 137: (ended by SIGKILL: no verdict within 10 s); CPUs [0-9]*" "$BATS_TEST_TMPDIR/out"
    [ "$(ktap_results | grep -c '^not ok')" = 1 ]
    left "the bound"
    # signal: the status is 128 + its number, at once, with the tool hanging
    # (each signal at its default, which a caller such as nohup or a test
    # runner may have left ignored: the sweep leaves such a one ignored)
    while read -r signal; do
        rm -f "$dir/corehop.hung"
        env --default-signal "$dir/corehop-sweep" >/dev/null 2>&1 &
        sweep=$!
        poll 500 test -s "$dir/corehop.hung"
        kill "-$signal" "$sweep"
        poll 100 gone "$sweep" || { echo "$signal: the sweep still runs" >&2 && return 1; }
        status=0
        wait "$sweep" || status=$?
        want=$((128 + $(kill -l "$signal")))
        [ "$status" = "$want" ] || { echo "$signal: status $status, want $want" >&2 && return 1; }
        left "$signal"
    done <<'EOF_CASES'
TERM
HUP
XCPU
ABRT
SEGV
STKFLT
PWR
RTMIN+3
KILL
EOF_CASES
}

@test "a corenest that runs the real one without exec: the pin cannot show; its whole process group, and what a tool leaves in a session of its own, are ended" {
    local dir child
    # shellcheck disable=SC2016 # expanded by the stand-in
    dir=$(stand_in corenest '"'"$BIN/corenest"'" "$@" &
echo $! >>"$0.children"
wait')
    sweep "$dir/corehop-sweep"
    [ "$status" = 1 ] && ktap_well_formed
    grep -qx "not ok [0-9]* corenest parks on CPU [0-9]*" "$BATS_TEST_TMPDIR/out"
    # a corehop that leaves a sleep in a session of its own, and one in its
    # group, each run
    rm "$dir/corenest" && ln -s "$BIN/corenest" "$dir/"
    rm "$dir/corehop"
    # shellcheck disable=SC2016 # expanded by the stand-in
    printf '#!/bin/sh\nsetsid sleep 300 &\necho $! >>"$0.children"\nsleep 301 &\necho $! >>"$0.children"\nexec "%s" "$@"\n' \
        "$BIN/corehop" >"$dir/corehop"
    chmod +x "$dir/corehop"
    sweep "$dir/corehop-sweep"
    [ "$status" = 0 ] && ktap_well_formed
    [ -s "$dir/corehop.children" ]
    while read -r child; do
        poll 300 test ! -e "/proc/$child" ||
            { echo "$child left behind: $(cat "/proc/$child/stat")" >&2 && return 1; }
    done < <(cat "$dir/corenest.children" "$dir/corehop.children")
}

@test "a report that cannot be written is no pass: status 1 and a line on standard error" {
    # arguments
    local note
    while read -r args; do
        # (-l says first where no cpuset can be read)
        note=''
        [ "$args" != -l ] || note=$CPUSET_NOTE
        # shellcheck disable=SC2086 # the arguments' words
        expect 1 "" "${note}corehop-sweep: the report cannot be written on standard output: No space left on device"$'\n' \
            sh -c 'exec "$@" >/dev/full' sh "$SWEEP" $args
    done <<'EOF_CASES'

-l
-c 0
-h
EOF_CASES
    # standard output that never has room, said at once: the read end of a
    # pipe; closed, in a root without /dev/null to stand in for it
    # shellcheck disable=SC2016 # expanded by the inner shell
    expect 1 "" "corehop-sweep: the report cannot be written on standard output: Bad file descriptor"$'\n' \
        timeout 30 bash -c 'exec "$0" -c 0 1< <(exec sleep 5)' "$SWEEP"
    need_root
    unshare -m true 2>/dev/null || skip "cannot make a mount namespace here"
    # shellcheck disable=SC2016 # expanded by the inner shell
    expect 1 "" "corehop-sweep: the report cannot be written on standard output: Bad file descriptor"$'\n' \
        timeout 30 unshare -m sh -c 'mount -t tmpfs none /dev && exec "$0" -i >&-' "$SWEEP"
}

@test "what the machine lacks or refuses the sweep's children is a skip naming the call, never a verdict against its tools" {
    need_root
    unshare -m true 2>/dev/null || skip "cannot make a mount namespace here"
    command -v strace >/dev/null || skip "needs strace"
    # A root without /dev/null; a seccomp filter that refuses dup2 in the
    # children, the poll and wait4 the sweep watches them with, or a read of
    # a tool's output, as strace's injection stands in for it; a refused
    # subreaper. The read refused: that of the first tool's output, found by
    # a first run that traces the reads, its report in a file as the others'
    # (a report to a pipe waits with a read of the signals a line).
    local read
    strace -qq -s 128 -o "$BATS_TEST_TMPDIR/reads" -e trace=read "$SWEEP" -c 0 >"$BATS_TEST_TMPDIR/out"
    read=$(grep '^read(' "$BATS_TEST_TMPDIR/reads" | grep -n -m 1 '"Pass: switch thread 0 to cpu 0 success' | cut -d: -f1)
    [ -n "$read" ] || { cat "$BATS_TEST_TMPDIR/reads" >&2 && return 1; }
    # the command | its status, a pattern (where the parker may pin itself
    # before the first wait) | a line of the report (N any number, LAST the
    # last online CPU)
    while IFS='|' read -r command want_status line; do
        eval "set -- $command"
        line=${line//LAST/$(last_online_cpu)}
        sweep "$@"
        # shellcheck disable=SC2053 # a pattern
        [[ $status == $want_status ]] && ktap_well_formed &&
            [ "$(grep -c '^not ok' "$BATS_TEST_TMPDIR/out")" = 0 ] &&
            grep -qxF "$line" <(sed 's/^ok [0-9]* /ok N /' "$BATS_TEST_TMPDIR/out") ||
            { echo "$command: status $status, want $line" >&2 && cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
    done <<'EOF_CASES'
unshare -m sh -c 'mount -t tmpfs none /dev && exec "$0"' "$SWEEP"|0|ok N corehop moves the parker to CPU LAST
strace -f -qq -o /dev/null -e 'trace=/^dup[23]$' -e 'inject=/^dup[23]$:error=EPERM' "$SWEEP"|4|ok N corehop moves itself to CPU 0, by its own read-back # SKIP corehop cannot be started: dup2: Operation not permitted
strace -f -qq -o /dev/null -e 'trace=/^dup[23]$' -e 'inject=/^dup[23]$:error=EPERM' "$SWEEP"|4|ok N corenest parks on CPU 0 # SKIP corenest cannot be started: dup2: Operation not permitted
strace -qq -o /dev/null -e 'trace=/^p?poll$' -e 'inject=/^p?poll$:error=EPERM' "$SWEEP"|[04]|ok N corehop moves itself to CPU 0, by its own read-back # SKIP corehop cannot be watched: poll: Operation not permitted
strace -qq -o /dev/null -e trace=wait4 -e inject=wait4:error=EPERM "$SWEEP"|0|ok N corehop moves itself to CPU 0, by its own read-back # SKIP corehop cannot be watched: wait4: Operation not permitted
strace -qq -o /dev/null -e trace=read -e inject=read:error=EPERM:when=$read..$((read + 1)) "$SWEEP" -c 0|0|ok N corehop moves itself to CPU 0, by its own read-back # SKIP corehop cannot be watched: read: Operation not permitted
strace -qq -o /dev/null -e trace=prctl -e inject=prctl:error=EPERM:when=1 "$SWEEP"|0|# what a tool leaves in a session of its own cannot be ended here: prctl(PR_SET_CHILD_SUBREAPER): Operation not permitted
EOF_CASES
}

@test "without corehop and corenest, or where they cannot run, or /proc is another's, nothing can be checked: status 4" {
    local dir=$BATS_TEST_TMPDIR/alone
    mkdir "$dir" && cp "$SWEEP" "$dir/"
    expect 4 "KTAP version 1
1..0 # SKIP no corehop and corenest beside $dir/corehop-sweep or on PATH
" "" env PATH=/nowhere "$dir/corehop-sweep"
    need_root
    unshare -m -p -f true 2>/dev/null || skip "cannot make mount and PID namespaces here"
    # tools on a noexec mount | a PID namespace whose /proc is another's
    # shellcheck disable=SC2016 # expanded by the inner shell
    expect 4 "KTAP version 1
1..0 # SKIP /mnt/corehop cannot be run here (Permission denied)
" "" unshare -m sh -c 'mount -t tmpfs -o noexec none /mnt && cp "$1" "$2" /mnt/ && PATH=/mnt exec "$0"' \
        "$dir/corehop-sweep" "$COREHOP" "$CORENEST"
    sweep unshare -p -f "$SWEEP"
    [ "$status" = 4 ] && grep -qx "1..0 # SKIP /proc is another PID namespace's: it shows this process as [0-9]*, not as 1" \
        "$BATS_TEST_TMPDIR/out"
    # (and with its own /proc, the sweep checks there)
    sweep unshare -p -f --mount-proc "$SWEEP"
    [ "$status" = 0 ] && ktap_well_formed
}

@test "what the sweep cannot have is a skip naming the limit, never a verdict against its tools" {
    local cpu
    # the command | its status | a line of the report (N any number)
    while IFS='|' read -r command want_status line; do
        eval "set -- $command"
        # (bats holds descriptor 3, which the loader's own would need)
        sweep "$@" 3>&-
        [ "$status" = "$want_status" ] && { [ "$status" = 4 ] || ktap_well_formed; } &&
            [ "$(grep -c '^not ok' "$BATS_TEST_TMPDIR/out")" = 0 ] &&
            grep -qxF "$line" <(sed 's/^ok [0-9]* /ok N /' "$BATS_TEST_TMPDIR/out") ||
            { echo "$command: status $status, want $line" >&2 && cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
    done <<'EOF_CASES'
prlimit --nofile=5 "$SWEEP"|4|1..0 # SKIP the limit on descriptors (RLIMIT_NOFILE) is 5: the sweep needs 32
prlimit --nofile=31 "$SWEEP"|4|1..0 # SKIP the limit on descriptors (RLIMIT_NOFILE) is 31: the sweep needs 32
prlimit --nofile=8:64 "$SWEEP"|0|ok N the parker ends on SIGTERM
EOF_CASES
    expect 4 "" "corehop-sweep: the limit on descriptors (RLIMIT_NOFILE) is 6: the sweep needs 32"$'\n' \
        prlimit --nofile=6 "$SWEEP" -l 3>&-
    # (root is not held to a limit on processes)
    need_root
    command -v setpriv >/dev/null || skip "needs setpriv"
    sweep setpriv --reuid=nobody --regid=nogroup --clear-groups prlimit --nproc=1 "$SWEEP"
    [ "$status" = 4 ] && ktap_well_formed && [ "$(grep -c '^not ok' "$BATS_TEST_TMPDIR/out")" = 0 ] &&
        grep -qx 'ok [0-9]* corenest parks on CPU [0-9]* # SKIP corenest cannot be started: fork: Resource temporarily unavailable (the limit on processes, RLIMIT_NPROC, is 1)' \
            "$BATS_TEST_TMPDIR/out" ||
        { cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
    for cpu in $(seq 0 "$(last_online_cpu)"); do
        grep -qx "ok [0-9]* corehop moves itself to CPU $cpu, by its own read-back # SKIP corehop cannot be started: fork: .*RLIMIT_NPROC.*" \
            "$BATS_TEST_TMPDIR/out"
    done
}

@test "the LAVA test: a case a result named from its description, skips as KTAP says, the plan, status and programs as cases; the sweep's options passed for it to judge" {
    local lava=$BATS_TEST_DIRNAME/../lava/corehop-sweep.sh stand_in=$BATS_TEST_TMPDIR/stand-in
    local release=$BATS_TEST_TMPDIR/release name
    name=corehop-0-linux-$(dpkg --print-architecture)
    # a release of a sweep that prints the row's KTAP and exits with its status
    mkdir -p "$release/$name/bin" && cd "$BATS_TEST_TMPDIR"
    # shellcheck disable=SC2016 # expanded by the stand-in
    printf '#!/bin/sh\ncat "%s/ktap"\nexit "$(cat "%s/code")"\n' "$PWD" "$PWD" >"$release/$name/bin/corehop-sweep"
    chmod +x "$release/$name/bin/corehop-sweep"
    tar -czf "$release/$name.tar.gz" -C "$release" "$name"
    (cd "$release" && sha256sum "$name.tar.gz" >SHA256SUMS && sed 's/^0/1/; t; s/^./0/' SHA256SUMS >BADSUMS)
    cp -r "$release" "$BATS_TEST_TMPDIR/bad" && mv "$BATS_TEST_TMPDIR/bad/BADSUMS" "$BATS_TEST_TMPDIR/bad/SHA256SUMS"
    mkdir "$BATS_TEST_TMPDIR/other" && sed 's/-linux-.*/-linux-none.tar.gz/' "$release/SHA256SUMS" >"$BATS_TEST_TMPDIR/other/SHA256SUMS"
    ln -s "$release/$name/bin" "$stand_in"
    # options | the sweep's KTAP | its status | the status | the cases, ";"
    # between them | what it says on standard error, if anything
    while IFS='|' read -r options ktap code status want says; do
        printf '%b\n' "$ktap" >ktap && echo "$code" >code
        eval "set -- $options"
        expect "$status" "" "${says:+$(eval "printf '%b' \"$says\"")$'\n'}" sh -c '"$@" >/dev/null' sh "$lava" "$@"
        [ "$(tr '\n' ';' <output/result.txt)" = "$want;" ] || { cat output/result.txt && false; }
    done <<'EOF_CASES'
-p "$stand_in"|KTAP version 1\n1..3\nok 1 moves to CPU 3, then #4 back\nnot ok 2 refuses CPU 9\nok 3 refuses CPU 9 # SKIP offline|1|1|sweep-programs pass;moves_to_CPU_3_then_4_back pass;refuses_CPU_9 fail;refuses_CPU_9_2 skip;sweep-plan pass;sweep-status fail
-p "$stand_in"|KTAP version 1\n1..2\nnot ok 1 a # SKIP why\nok 2 # SKIP\n    ok 1 a subtest|4|0|sweep-programs pass;a skip;case_2 skip;sweep-plan pass;sweep-status skip
-p "$stand_in"|KTAP version 1\n1..0 # SKIP no corehop and corenest|4|0|sweep-programs pass;sweep-plan pass;sweep-status skip
-p "$stand_in"|KTAP version 1\n1..3\nok 1 a\nok 2 - b|0|1|sweep-programs pass;a pass;b pass;sweep-plan fail;sweep-status pass
-p "$stand_in"|KTAP version 1\nok 1 a|0|1|sweep-programs pass;a pass;sweep-plan fail;sweep-status pass
-p "$stand_in" -c 1 -H true|KTAP version 1\n1..1\nok 1 a|0|0|sweep-programs pass;a pass;sweep-plan pass;sweep-status pass
-p "$stand_in" -i true -c 1|usage: corehop-sweep|2|2|sweep-programs pass;sweep-plan fail;sweep-status fail
-p /nowhere|KTAP version 1\n1..1\nok 1 a|0|1|sweep-programs fail|no corehop-sweep in /nowhere\nand no release to fetch it from (-r)
-p /nowhere -r "$release/"|KTAP version 1\n1..1\nok 1 a|0|0|sweep-programs pass;a pass;sweep-plan pass;sweep-status pass|no corehop-sweep in /nowhere
-p /nowhere -r "file://$release" -s true|KTAP version 1\n1..1\nok 1 a|0|1|sweep-programs fail|no corehop-sweep in /nowhere\nand no fetch (-s true)
-p /nowhere -r "$BATS_TEST_TMPDIR/other"|KTAP version 1\n1..1\nok 1 a|0|1|sweep-programs fail|no corehop-sweep in /nowhere\nno single archive for ${name#corehop-0-linux-} in $BATS_TEST_TMPDIR/other/SHA256SUMS
-p /nowhere -r "$BATS_TEST_TMPDIR/bad"|KTAP version 1\n1..1\nok 1 a|0|1|sweep-programs fail|no corehop-sweep in /nowhere\n$name.tar.gz: SHA256 $(cut -d' ' -f1 "$release/SHA256SUMS"), but SHA256SUMS says $(cut -d' ' -f1 "$release/BADSUMS")
EOF_CASES
    # the sweep's arguments
    printf 'KTAP version 1\n1..0 # SKIP none\n' >ktap && echo 4 >code
    # shellcheck disable=SC2016 # expanded by the stand-in
    printf '#!/bin/sh\necho "$*" >"%s/args"\ncat "%s/ktap"\nexit "$(cat "%s/code")"\n' "$PWD" "$PWD" "$PWD" \
        >"$release/$name/bin/corehop-sweep"
    while IFS='|' read -r options args; do
        eval "set -- $options"
        expect 0 "" "" sh -c '"$@" >/dev/null' sh "$lava" -p "$stand_in" "$@"
        [ "$(cat args)" = "$args" ] || { echo "$options: the sweep ran with '$(cat args)', want '$args'" >&2 && return 1; }
    done <<'EOF_CASES'
|
-c 1-3|-c 1-3
-H true -c 0|-c 0 -H
-i true|-i
-i false -H false|
-i true -w 10|-i -w 10
-i true -w ''|-i
-i true -H true|-H -i
-i true -c 1|-c 1 -i
-w 10|-w 10
EOF_CASES
    # usage | what it says before the usage line
    while IFS='|' read -r options says; do
        eval "set -- $options"
        expect 2 "" "corehop-sweep.sh: $says
usage: corehop-sweep.sh [-c CPUS] [-H true|false] [-i true|false] [-w SECONDS] [-p FOLDER] [-r RELEASE] [-s true|false]
" "$lava" "$@"
    done <<'EOF_CASES'
-H yes|-H takes true or false, not "yes"
-i 1|-i takes true or false, not "1"
EOF_CASES
}

@test "a corenest that raises its privileges on exec, which clears the signal that would end it with the sweep: a SIGKILL of the sweep leaves no parker still" {
    need_root
    command -v setpriv >/dev/null || skip "needs setpriv"
    command -v pgrep >/dev/null || skip "needs pgrep"
    # A set-user-ID copy of corenest run by nobody, from a folder nobody may
    # reach, and a corehop that hangs on the parker's first move.
    local dir sweep parker
    dir=$(mktemp -d /tmp/corehop-privileged.XXXXXX)
    echo "$dir" >>"$BATS_TEST_TMPDIR/remove"
    chmod 755 "$dir"
    cp "$BIN/corenest" "$BIN/corehop-sweep" "$dir/"
    chmod 4755 "$dir/corenest"
    # shellcheck disable=SC2016 # expanded by the stand-in
    printf '#!/bin/sh\ncase $4 in 0) exec "%s" "$@" ;; esac\nexec sleep 600\n' "$BIN/corehop" >"$dir/corehop"
    chmod 755 "$dir/corehop"
    ! findmnt -no OPTIONS --target "$dir" | grep -qw nosuid || skip "$dir lies on a nosuid mount"
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$dir/corehop-sweep" >/dev/null 2>&1 &
    sweep=$!
    echo "$sweep" >>"$BATS_TEST_TMPDIR/spawned"
    poll 500 pgrep -x -P "$sweep" corenest >/dev/null
    parker=$(pgrep -x -P "$sweep" corenest)
    [ "$(stat -c %u "/proc/$parker")" = 0 ] || { echo "the parker does not run as root" >&2 && return 1; }
    kill -KILL "$sweep"
    gone() { [ ! -e "/proc/$1" ] || [ "$(cut -d' ' -f3 "/proc/$1/stat")" = Z ]; }
    poll 300 gone "$parker" || { echo "the parker $parker survived: $(cat "/proc/$parker/stat")" >&2 && kill -KILL "$parker" && return 1; }
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
        AT=$at sweep sh -c 'echo $$ >"$STARTS/sweep" && exec env --default-signal=TERM "$1"' sh "$dir/corehop-sweep"
        [ "$status" = 143 ] || { echo "SIGTERM at start $at: status $status" >&2 && return 1; }
        none_left "SIGTERM at start $at"
    done
    # a reader that stops after the first two results, once the parker runs
    rm -r "$STARTS" && mkdir "$STARTS"
    # (with SIGPIPE at its default, which a caller such as a test runner may
    # have left ignored: then the lost report is status 1)
    AT=0 env --default-signal=PIPE "$dir/corehop-sweep" 2>/dev/null | sed '/^ok 2 /q' >/dev/null
    [ "${PIPESTATUS[0]}" = 141 ]
    none_left "a reader gone early"
    # a reader that stalls, the pipe full, the sweep held in its write:
    # SIGTERM still ends it at once, and its parker
    rm -r "$STARTS" && mkdir "$STARTS"
    # (a reader that never reads)
    # shellcheck disable=SC2016,SC2216 # expanded by the inner shell
    (AT=0 sh -c 'echo $$ >"$STARTS/sweep" && exec "$1" -c 0-8191' sh "$dir/corehop-sweep" ||
        echo $? >"$STARTS/status") | sleep 600 &
    echo $! >>"$BATS_TEST_TMPDIR/spawned"
    held() { [ "$(sed -n 's/^wchar: //p' "/proc/$(cat "$STARTS/sweep")/io")" -ge 40960 ]; }
    poll 1000 test -s "$STARTS/sweep" && poll 1000 held
    kill -TERM "$(cat "$STARTS/sweep")"
    poll 300 test -s "$STARTS/status" || { echo "a stalled reader: the sweep lives on after SIGTERM" >&2 && return 1; }
    [ "$(cat "$STARTS/status")" = 143 ]
    none_left "a stalled reader"
}

@test "inside a cpuset of one CPU, as containers see it: that CPU moved to, the others refuse, nothing shown that cannot show" {
    local dir file
    # a corehop that only says it moves, a corenest that never pins itself
    # shellcheck disable=SC2016 # expanded by the stand-ins
    dir=$(stand_in corehop 'echo "Pass: switch thread $4 to cpu $2 success"')
    printf '#!/bin/sh\nwhile :; do :; done\n' >"$dir/corenest.new" && chmod +x "$dir/corenest.new"
    mv "$dir/corenest.new" "$dir/corenest"
    # the command, in the cpuset of CPU 1, $CPUSET; cgroup v1 alone | its
    # status | what a task may use (ONLINE the online CPUs) | a line it
    # prints (FILE the cpuset's own, BASE its name, ROOT the folder of the
    # cpuset, N any number)
    while IFS='|' read -r command v1 want_status usable line; do
        if [ -n "$v1" ] && [ ! -d /sys/fs/cgroup/cpuset ]; then continue; fi
        eval "set -- $command"
        in_cpuset 1 "$@"
        file=$cpuset_dir/cpuset.cpus.effective
        [ ! -d /sys/fs/cgroup/cpuset ] || file=$cpuset_dir/cpuset.effective_cpus
        line=${line//FILE/$file}
        line=${line//BASE/${file##*/}}
        line=${line//\$CPUSET/$cpuset_dir}
        line=${line//ROOT/${cpuset_dir%/*}}
        [ "$status" = "$want_status" ] && ktap_well_formed &&
            grep -q "^# a task may use ${usable/ONLINE/$(online_cpus)}; " "$BATS_TEST_TMPDIR/out" &&
            grep -qxF "$line" <(sed 's/^\(\(not \)\{0,1\}ok\) [0-9]* /\1 N /' "$BATS_TEST_TMPDIR/out") &&
            [ "$(ktap_results | grep -c '^ok [0-9]* \(corenest parks\|corehop moves the parker\).*[0-9]$')" = 0 ] ||
            { echo "$command: status $status, want $line" >&2 && cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
    done <<'EOF_CASES'
"$SWEEP"||0|1|ok N corenest parks on CPU 1 # SKIP this process may use CPU 1 alone: the pin cannot show
"$SWEEP"||0|1|ok N corehop moves the parker to CPU 1 # SKIP one CPU a task may use here: the move cannot show
"$SWEEP"||0|1|ok N corenest refuses CPU 0, outside the cpuset
"$SWEEP"||0|1|# the cpuset of FILE
unshare -C "$SWEEP"||0|1|# the cpuset of FILE
unshare -m sh -c 'mount --bind "$CPUSET" /mnt && umount -l "${CPUSET%/*}" && exec "$0"' "$SWEEP"||0|1|# the cpuset of /mnt/BASE
unshare -m sh -c 'mount -t tmpfs none /sys/fs/cgroup && exec "$0"' "$SWEEP"||0|ONLINE|ok N corehop moves the parker to CPU 0 # SKIP the kernel refuses it: this task's cpuset, which cannot be read here, may not hold it
"$dir/corehop-sweep"||1|1|ok N corenest parks on CPU 1 # SKIP this process may use CPU 1 alone: the pin cannot show
sh -c 'unshare -C sh -c "kill -STOP \$\$ && exec \"\$0\"" "$0" & n=0; until grep -q "^State:[[:space:]]*T" /proc/$!/status; do n=$((n + 1)); if [ $n -gt 100 ]; then break; fi; sleep 0.1; done; echo $! >"${CPUSET%/*}/cgroup.procs" && kill -CONT $! && wait $!' "$dir/corehop-sweep"||1|ONLINE|# the cpuset of ROOT/BASE
EOF_CASES
    # decoys beside the cpuset, which the search for it in a cgroup namespace
    # whose mount lies above its root reads first, their cgroup.procs (a
    # stand-in bound over it) 5,001 lines long, or 800 forged mount lines of
    # a cpuset of CPU 0: the real cpuset all the same
    local root=${cpuset_dir%/*} decoys=() i binds content
    for i in 1 2 3 4 5 6 7 8 9; do
        mkdir "$root/corehop decoy.$$.$i" && echo "$root/corehop decoy.$$.$i" >>"$BATS_TEST_TMPDIR/cpusets"
    done
    # (the cpuset is the one the search reads last: the kernel lists them in
    # an order of its own, the same for the same names)
    # shellcheck disable=SC2010 # the order ls -f keeps, which a glob sorts
    mapfile -t decoys < <(ls -f "$root" | grep -F "corehop decoy.$$.")
    CPUSET_NAME=${decoys[-1]}
    rmdir "$root/$CPUSET_NAME"
    unset 'decoys[-1]'
    mkdir "$BATS_TEST_TMPDIR/forger" && echo 0 >"$BATS_TEST_TMPDIR/forger/cpuset.cpus.effective" &&
        echo 0 >"$BATS_TEST_TMPDIR/forger/cpuset.effective_cpus"
    seq 100000 105000 >"$BATS_TEST_TMPDIR/long"
    for i in $(seq 400); do
        echo "$((900 + i)) 1 0:99 / $BATS_TEST_TMPDIR/forger rw - cgroup2 none rw"
        echo "$((1300 + i)) 1 0:98 / $BATS_TEST_TMPDIR/forger rw - cgroup none rw,cpuset"
    done >"$BATS_TEST_TMPDIR/forged"
    for content in long forged; do
        binds=''
        for i in "${decoys[@]}"; do
            binds="$binds mount --bind $BATS_TEST_TMPDIR/$content \"$root/$i/cgroup.procs\" &&"
        done
        in_cpuset 1 unshare -m -C sh -c "$binds exec \"\$0\" -l" "$SWEEP"
        [ "$status" = 0 ] && [ "$(cat "$BATS_TEST_TMPDIR/out")" = 1 ] ||
            { echo "decoys of $content lines: status $status" >&2 && cat "$BATS_TEST_TMPDIR/out" "$BATS_TEST_TMPDIR/err" >&2 && return 1; }
    done
    # names that a glob or the mount table's escapes would misread, in a
    # cgroup namespace whose mount lies above its root
    for CPUSET_NAME in 'sub\x2dunit.service' 'br[1]' 'a b'; do
        in_cpuset 1 unshare -C "$SWEEP"
        # (a backslash of a name, as every outside text, escaped)
        [ "$status" = 0 ] && grep -qxF "# the cpuset of ${cpuset_dir//\\/\\\\}/${file##*/}" "$BATS_TEST_TMPDIR/out" ||
            { echo "$CPUSET_NAME: status $status" >&2 && cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
    done
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
    # a container's own cgroup mount over the host's (a tmpfs over the
    # folder that holds it, then the hierarchy from the container's cgroup
    # namespace), entered with nsenter from the host's root cgroup, outside
    # the container's: the host's mount, covered, cannot be read through its
    # path, and the cpuset is unknown
    command -v nsenter >/dev/null || skip "needs nsenter"
    local point=/sys/fs/cgroup type=cgroup2 options=''
    if [ -w /sys/fs/cgroup/cpuset/cpuset.cpus ]; then
        point=/sys/fs/cgroup/cpuset type=cgroup options=cpuset
    fi
    # shellcheck disable=SC2016 # expanded by the inner shell
    in_cpuset 1 sh -c 'unshare -C -m sh -c "mount -t tmpfs none ${3%/*} && mkdir $3 && mount -t $1 ${2:+-o $2} none $3 && : >$4 && exec sleep 600" &
        n=0; until [ -e "$4" ] || [ $n -gt 100 ]; do n=$((n + 1)); sleep 0.1; done
        echo $$ >"${CPUSET%/*}/cgroup.procs" && nsenter -t $! -C -m -r -w "$5" -l
        status=$?; { kill $! && wait $!; } 2>/dev/null; exit $status' sh "$type" "$options" "$point" "$BATS_TEST_TMPDIR/mounted" "$SWEEP"
    check_output "nsenter -C -m corehop-sweep -l" 0 "$status" "$(online_cpus)"$'\n' \
        "corehop-sweep: no cpuset can be read here: the online CPUs"$'\n'
}

@test "-c with a CPU in a hole of the possible CPUs: not a possible CPU; past their last: past them" {
    need_root
    unshare -m true 2>/dev/null || skip "cannot make a mount namespace here"
    local possible
    possible=$(cat /sys/devices/system/cpu/possible)
    # the possible CPUs, as a stand-in file in a mount namespace of its own
    # says them: these and two more past a hole of two
    echo "$possible,$(($(absent_cpu) + 2))-$(($(absent_cpu) + 3))" >"$BATS_TEST_TMPDIR/possible"
    # shellcheck disable=SC2016 # expanded by the inner shell
    sweep unshare -m sh -c 'mount --bind "$1" /sys/devices/system/cpu/possible && exec "$0" -c "$2,$3,$4"' \
        "$SWEEP" "$BATS_TEST_TMPDIR/possible" "$(absent_cpu)" "$(($(absent_cpu) + 2))" "$(($(absent_cpu) + 9))"
    [ "$status" = 0 ] && ktap_well_formed
    grep -qx "ok [0-9]* corehop moves the parker to CPU $(absent_cpu) # SKIP not a possible CPU: a task may not use it" \
        "$BATS_TEST_TMPDIR/out"
    grep -qx "ok [0-9]* corehop moves the parker to CPU $(($(absent_cpu) + 9)) # SKIP past the possible CPUs: a task may not use it" \
        "$BATS_TEST_TMPDIR/out"
    # (a CPU in the hole is offline, and refused as such)
    grep -qx "ok [0-9]* corehop refuses offline CPU $(($(absent_cpu) + 2))" "$BATS_TEST_TMPDIR/out"
}

# stand_in_online_files: in a mount namespace of its own, each CPU's online
# file a stand-in holding 1, its time set to 0: the mounts in $binds, the
# CPUs in $cpus. Skips where no CPU here has one.
stand_in_online_files() {
    local file cpu
    binds='' cpus=''
    for file in /sys/devices/system/cpu/cpu[0-9]*/online; do
        [ -e "$file" ] || continue
        cpu=${file%/online}
        cpu=${cpu##*/cpu}
        echo 1 >"$BATS_TEST_TMPDIR/online$cpu"
        touch -d @0 "$BATS_TEST_TMPDIR/online$cpu"
        binds="$binds mount --bind $BATS_TEST_TMPDIR/online$cpu $file &&"
        cpus="$cpus $cpu"
    done
    [ -n "$cpus" ] || skip "no CPU here has an online file"
}

# untouched WHAT CPU...: none of the CPUs' stand-ins was written (a write,
# even of 1 again, changes its time).
untouched() {
    local what=$1 cpu
    shift
    for cpu in "$@"; do
        [ "$(stat -c %Y "$BATS_TEST_TMPDIR/online$cpu")" = 0 ] ||
            { echo "$what: the online file of CPU $cpu was written" >&2 && return 1; }
    done
}

@test "-H over stand-ins of the CPUs' online files: a task bound alone to each, or a scan that cannot read or see every task or interrupt, makes the checks skip, and none is written" {
    need_root
    need_two_cpus
    unshare -m true 2>/dev/null || skip "cannot make a mount namespace here"
    # No CPU of this machine goes offline: in a mount namespace of its own,
    # each online file is a stand-in holding 1, and what the row sets up must
    # keep -H from choosing any. A sweep that wrote one fails here, with the
    # CPU online still. Each bound task names itself to forge a line of the
    # report, which stays on its own line.
    local cpu name=$'a\nBail out! zz' tasks
    ln -s "$(command -v sleep)" "$BATS_TEST_TMPDIR/$name"
    stand_in_online_files
    # a task bound alone to each CPU (yes, or other: as another user) | the
    # options of a /proc of its own | what runs the sweep | the reason of the
    # three skips, a pattern (where no CPU is chosen, they name CPU N)
    while IFS='|' read -r bound options runner reason; do
        tasks=''
        for cpu in $cpus; do
            case $bound in
            yes) spawn /dev/null /dev/null taskset -c "$cpu" "$BATS_TEST_TMPDIR/$name" 600 ;;
            other) spawn /dev/null /dev/null setpriv --reuid=1000 --regid=1000 --clear-groups \
                taskset -c "$cpu" sleep 600 ;;
            *) break ;;
            esac
            tasks="$tasks $spawned"
        done
        # shellcheck disable=SC2016 # expanded by the inner shell
        sweep unshare -m sh -c "$binds"' { [ -z "$1" ] || mount -t proc -o "$1" proc /proc; } && exec '"$runner"' "$0" -H' \
            "$SWEEP" "$options"
        [ "$status" = 0 ] && ktap_well_formed &&
            [ "$(grep -cE "^ok [0-9]+ (the parker lives on as CPU ([0-9]+|N) goes offline|corehop refuses to move the parker back to offline CPU ([0-9]+|N)|corehop moves the parker back to CPU ([0-9]+|N) once it is online) # SKIP $reason\$" \
                "$BATS_TEST_TMPDIR/out")" = 3 ] || { echo "$runner: want $reason" >&2 && cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
        # shellcheck disable=SC2086 # the CPUs
        untouched "$bound|$options|$runner" $cpus
        # shellcheck disable=SC2086 # the pids
        [ -z "$tasks" ] || { kill $tasks && wait $tasks 2>/dev/null || true; }
    done <<'EOF_CASES'
yes|||task [0-9]+ \(a\\nBail out! zz\) may run on CPU [0-9]+ alone, and would lose that binding for good
no||strace -qq -o /dev/null -e trace=getdents64 -e inject=getdents64:error=ENOMEM:when=2+|/proc[/0-9a-z]* cannot be read: Cannot allocate memory
no||prlimit --nofile=40|the limit on descriptors \(RLIMIT_NOFILE\) is 40: -H needs 128
no|subset=pid||/proc/irq cannot be read: No such file or directory
other|hidepid=ptraceable|setpriv --bounding-set=-sys_ptrace --inh-caps=-sys_ptrace|/proc is mounted with hidepid=ptraceable: the tasks this process may not ptrace cannot be seen
EOF_CASES
}

@test "-H over stand-ins, acting on a CPU: a move there that fails, or cannot start, passes no check and writes nothing; the run's own write of 1 refused, the guard writes it" {
    need_root
    need_two_cpus
    unshare -m true 2>/dev/null || skip "cannot make a mount namespace here"
    command -v strace >/dev/null || skip "needs strace"
    stand_in_online_files
    # -H takes the last CPU with an online file, moved to; corehop may be a
    # stand-in that fails every move of the parker there but the first
    local chosen=${cpus##* } dir trace fork
    # shellcheck disable=SC2016 # expanded by the stand-in
    dir=$(stand_in corehop 'case $4 in 0) ;; *) if [ "$2" = '"$chosen"' ] && [ -e "$0.once" ]; then echo "Fail:can not switch thread $4 to CPU $2"; exit 255; fi; [ "$2" != '"$chosen"' ] || : >"$0.once" ;; esac
exec "'"$BIN/corehop"'" "$@"')
    # The fork of the move there: from the run's forks, traced each in a
    # file of its own, that of its second corehop -c CHOSEN -p PARKER, as
    # the call that made it (clone or vfork, as the architecture has them)
    # and its count among those calls.
    trace=$BATS_TEST_TMPDIR/trace
    sweep unshare -m sh -c "$binds exec strace -ff -qq -s 4096 -o $trace -e 'trace=/^(clone|vfork|execve)\$' \"\$0\" -H" "$SWEEP"
    fork=$(awk -v cpu="$chosen" '
        FNR == 1 && /execve\(.*corehop-sweep/ { run = FILENAME }
        /^(clone|vfork)\(/ { call = substr($0, 1, index($0, "(") - 1)
            n[FILENAME, call]++; forks[FILENAME] = forks[FILENAME] " " $NF ":" call ":" n[FILENAME, call] }
        /execve\(.*corehop", \["[^"]*", "-c", "[0-9]+", "-p", "[1-9]/ {
            split($0, a, "\""); if (a[8] == cpu) moves[FILENAME] = 1 }
        END { k = split(forks[run], made, " "); seen = 0
            for (i = 1; i <= k; i++) { split(made[i], f, ":")
                if (moves[dir "." f[1]] && ++seen == 2) { print f[2] ":error=EAGAIN:when=" f[3]; exit } } }
    ' dir="$trace" "$trace".*)
    if [ -z "$fork" ]; then
        # (a task of this machine bound to that CPU alone keeps -H from it)
        grep -E "^ok [0-9]+ the parker lives on as CPU [0-9]+ goes offline # SKIP task [0-9]+ .* may run on CPU [0-9]+ alone" "$BATS_TEST_TMPDIR/out" |
            sed -E 's/.* # SKIP /-H acts on no CPU here: /' | grep -m 1 . >"$BATS_TEST_TMPDIR/held" &&
            skip "$(cat "$BATS_TEST_TMPDIR/held")"
        echo "no move to CPU $chosen in the trace; the run said:" >&2 && cat "$BATS_TEST_TMPDIR/out" "$BATS_TEST_TMPDIR/err" >&2 && return 1
    fi
    # corehop | what runs the sweep | the results of the three checks, a
    # pattern each, ";" between them | the chosen CPU's online file:
    # untouched, or what it holds at the end
    while IFS='|' read -r corehop runner results file; do
        eval "runner=\"$runner\" corehop=\"$corehop\""
        rm -f "$dir/corehop.once"
        echo 1 >"$BATS_TEST_TMPDIR/online$chosen" && touch -d @0 "$BATS_TEST_TMPDIR/online$chosen"
        sweep unshare -m sh -c "$binds exec $runner \"\$0\" -H" "${corehop:-$SWEEP}"
        ktap_well_formed && [ "$(grep -E '(the parker lives on as CPU|to move the parker back to offline CPU|the parker back to CPU [0-9]+ once)' "$BATS_TEST_TMPDIR/out" |
            sed -E 's/^(not )?ok [0-9]+ /\1ok N /' | tr '\n' ';')" = "$(printf '%s' "$results" | sed "s/CHOSEN/$chosen/g")" ] ||
            { echo "$corehop|$runner: want $results" >&2 && cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
        if [ "$file" = untouched ]; then
            untouched "$corehop|$runner" "$chosen"
        else
            [ "$(cat "$BATS_TEST_TMPDIR/online$chosen")" = "$file" ] ||
                { echo "$runner: the online file of CPU $chosen holds $(cat "$BATS_TEST_TMPDIR/online$chosen")" >&2 && return 1; }
        fi
    done <<'EOF_CASES'
$dir/corehop-sweep||not ok N the parker lives on as CPU CHOSEN goes offline;ok N corehop refuses to move the parker back to offline CPU CHOSEN # SKIP CPU CHOSEN did not go offline: the parker's move to it failed;ok N corehop moves the parker back to CPU CHOSEN once it is online # SKIP CPU CHOSEN did not go offline: the parker's move to it failed;|untouched
|strace -qq -o /dev/null -e trace=${fork%%:*} -e inject=$fork|ok N the parker lives on as CPU CHOSEN goes offline # SKIP corehop cannot be started: fork: Resource temporarily unavailable;ok N corehop refuses to move the parker back to offline CPU CHOSEN # SKIP corehop cannot be started: fork: Resource temporarily unavailable;ok N corehop moves the parker back to CPU CHOSEN once it is online # SKIP corehop cannot be started: fork: Resource temporarily unavailable;|untouched
|strace -qq -o /dev/null -P /sys/devices/system/cpu/cpu$chosen/online -e trace=write -e inject=write:error=EBUSY:when=2|not ok N the parker lives on as CPU CHOSEN goes offline;not ok N corehop refuses to move the parker back to offline CPU CHOSEN;ok N corehop moves the parker back to CPU CHOSEN once it is online;|1
EOF_CASES
}

@test "-i audits the isolated CPUs: a skip where none is isolated; over stand-ins of the kernel's files, its command line judged, what strays named, a skip where it cannot be seen" {
    if [ -z "$(tr -d '\n' </sys/devices/system/cpu/isolated)" ] && ! grep -qE '(^| )(isolcpus|nohz_full|irqaffinity)=' /proc/cmdline; then
        expect 4 "KTAP version 1
1..0 # SKIP no CPU is isolated here, and the kernel command line asks for none
" "" "$SWEEP" -i
    fi
    need_root
    need_two_cpus
    unshare -m true 2>/dev/null || skip "cannot make a mount namespace here"
    # the last online CPU isolated, as a stand-in of the kernel's CPU folder
    # says in a mount namespace of its own; a task bound to it alone, one
    # that may use every CPU
    local last cpu gid=4242
    last=$(last_online_cpu)
    spawn /dev/null /dev/null taskset -c "$last" sleep 600
    spawn /dev/null /dev/null taskset -c "$(online_cpus)" sleep 600
    # what runs the audit | the options of a /proc of its own | the online
    # CPUs (default: as they are) | its status | a line of its report, a
    # pattern (N any number, LAST that CPU)
    while IFS='|' read -r runner options online want_status line; do
        line=${line//LAST/$last}
        online=${online//LAST/$last}
        stand_in_cpus "${online:-$(online_cpus)}" "$last"
        audit_over_stand_ins "$runner" "$options"
        [ "$status" = "$want_status" ] && ktap_well_formed &&
            grep -qx "# isolated CPUs $last, as the kernel shows them: isolated $last, nohz_full .*" "$BATS_TEST_TMPDIR/out" &&
            grep -qxE "$line" <(sed 's/^\(\(not \)\{0,1\}ok\) [0-9]* /\1 N /' "$BATS_TEST_TMPDIR/out") ||
            { echo "$runner|$options: status $status, want $line" >&2 && cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
    done <<EOF_CASES
|||1|not ok N no task strays onto isolated CPU LAST
strace -qq -o /dev/null -e trace=getdents64 -e inject=getdents64:error=ENOMEM:when=2|||1|ok N no task strays onto isolated CPU LAST # SKIP /proc[/0-9a-z]* cannot be read: Cannot allocate memory
setpriv --reuid=nobody --regid=nogroup --clear-groups|hidepid=2||1|ok N no task strays onto isolated CPU LAST # SKIP /proc is mounted with hidepid: the tasks of other users cannot be seen
setpriv --reuid=nobody --regid=nogroup --clear-groups|hidepid=ptraceable||1|ok N no task strays onto isolated CPU LAST # SKIP /proc is mounted with hidepid=ptraceable: the tasks this process may not ptrace cannot be seen
setpriv --bounding-set=-sys_ptrace --inh-caps=-sys_ptrace|hidepid=ptraceable||1|ok N no task strays onto isolated CPU LAST # SKIP /proc is mounted with hidepid=ptraceable: the tasks this process may not ptrace cannot be seen
setpriv --reuid=nobody --regid=nogroup --clear-groups unshare -r|hidepid=invisible||1|ok N no task strays onto isolated CPU LAST # SKIP /proc is mounted with hidepid: the tasks of other users cannot be seen
setpriv --reuid=nobody --regid=nogroup --groups=$gid|hidepid=invisible,gid=$gid||1|not ok N no task strays onto isolated CPU LAST
unshare -p -f|||1|not ok N no task strays onto isolated CPU LAST
|subset=pid||1|ok N no interrupt strays onto isolated CPU LAST # SKIP /proc/irq cannot be read: No such file or directory
|subset=pid||1|# the kernel command line: /proc/cmdline cannot be read: No such file or directory
||LAST|1|# got:      [0-9]+ tasks? may run on CPU LAST and on a housekeeping CPU
EOF_CASES
    # the kernel command line (a stand-in of /proc/cmdline), each isolation
    # parameter against what the kernel shows | the tickless CPUs it shows
    # (none: no nohz_full) | the default affinity of interrupts (none: as
    # it is) | a line of the report, a pattern (N any number, LAST the
    # isolated CPU) | the isolated CPUs it shows (default LAST; none: none)
    while IFS='|' read -r cmdline nohz affinity line isolated; do
        echo "quiet ${cmdline//LAST/$last} ro" >"$BATS_TEST_TMPDIR/cmdline"
        isolated=${isolated:-$last}
        stand_in_cpus "$(online_cpus)" "${isolated/none/}" "${nohz//LAST/$last}"
        CMDLINE=$BATS_TEST_TMPDIR/cmdline AFFINITY=$affinity audit_over_stand_ins "" ""
        line=${line//LAST/$last}
        grep -qxE "$line" <(sed 's/^\(\(not \)\{0,1\}ok\) [0-9]* /\1 N /' "$BATS_TEST_TMPDIR/out") ||
            { echo "$cmdline: want $line" >&2 && cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
    done <<'EOF_CASES'
isolcpus=LAST|||ok N isolcpus= is in effect
isolcpus=domain,LAST|||# the kernel command line: isolcpus=domain,LAST
isolcpus=0-LAST|||# got:      CPUs 0(-[0-9]+)? not isolated: the kernel shows LAST
isolcpus=nohz2,LAST|||# got:      none: the kernel ignores a flag or list it cannot read: 'nohz2,LAST'
isolcpus=managed_irq,LAST|||ok N isolcpus= is in effect # SKIP managed_irq alone, which the kernel shows nowhere
isolcpus=managed_irq,LAST|||ok N the lockup watchdog stays off the isolated CPUs # SKIP no CPU is isolated|none
nohz_full=LAST|none||# got:      none: the kernel shows no nohz_full, and so has none
isolcpus=LAST isolcpus=0-LAST|||ok N isolcpus= is in effect
nohz-full=LAST|LAST||ok N nohz_full= is in effect
nohz-full=LAST|LAST||# the kernel command line: nohz_full=LAST
isolcpus=nohz,domain,0-LAST nohz_full=LAST|0-LAST||# got:      CPUs LAST tickless, and 0(-[0-9]+)? too: nohz_full= must match isolcpus=nohz, and the kernel took isolcpus= and refused nohz_full=
irqaffinity=1|none|3|ok N irqaffinity= is in effect
irqaffinity=0|none|2|# got:      the default affinity 1
EOF_CASES
    # each task that strays, named on a line of its own, then their count
    stand_in_cpus "$(online_cpus)" "$last"
    audit_over_stand_ins "" ""
    grep -qE "^# got:      [0-9]+ tasks? may run on CPU $last and on a housekeeping CPU$" "$BATS_TEST_TMPDIR/out"
    grep -qE "^#           task [0-9]+ \(.*\) may use [0-9,-]+$" "$BATS_TEST_TMPDIR/out"
}

@test "-i names each task that strays on a line of its own, whatever its name holds" {
    need_root
    need_two_cpus
    unshare -m true 2>/dev/null || skip "cannot make a mount namespace here"
    # Tasks that may use every CPU, named with a line break, or with a
    # character a reader may split a line on (NEL, U+2028): each stays on
    # its line, escaped, with the last CPU standing in as isolated.
    local last name
    last=$(last_online_cpu)
    for name in $'a\nBail out! zz' $'b\xc2\x85ok 99 x' $'c\xe2\x80\xa8ok 98 y'; do
        ln -s "$(command -v sleep)" "$BATS_TEST_TMPDIR/$name"
        spawn /dev/null /dev/null taskset -c "$(online_cpus)" "$BATS_TEST_TMPDIR/$name" 600
    done
    stand_in_cpus "$(online_cpus)" "$last"
    audit_over_stand_ins "" ""
    ktap_well_formed
    [ "$(LC_ALL=C grep -c -e '^Bail' -e $'\xc2\x85' -e $'\xe2\x80\xa8' "$BATS_TEST_TMPDIR/out")" = 0 ]
    # (the first twenty are named: where the machine runs more that stray,
    # these may be past them)
    [ "$(sed -n "s/^# got:      \([0-9]*\) tasks* may run on CPU $last .*/\1/p" "$BATS_TEST_TMPDIR/out")" -le 20 ] ||
        skip "more than 20 tasks here may use CPU $last and another: these may not be named"
    for name in 'a\\nBail out! zz' 'b\\xc2\\x85ok 99 x' 'c\\xe2\\x80\\xa8ok 98 y'; do
        grep -qE "^#           task [0-9]+ \($name\) may use [0-9,-]+$" "$BATS_TEST_TMPDIR/out" ||
            { echo "no line for $name" >&2 && cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
    done
}

# interrupts CPU COUNT...: a stand-in of /proc/interrupts, into the test's
# interrupts: the header of the online CPUs but CPU, then for each COUNT
# (NAME=N, where IRQ is IRQ's number) its line, N on the last CPU, 0 on the
# others.
interrupts() {
    local gone=$1 cpu line count
    shift
    {
        for cpu in $(seq 0 "$(last_online_cpu)"); do
            [ "$cpu" = "$gone" ] || printf '       CPU%s' "$cpu"
        done
        echo
        for count in "$@"; do
            line="$(printf '%4s:' "${count%%=*}")"
            for cpu in $(seq 0 "$(last_online_cpu)"); do
                [ "$cpu" = "$gone" ] || [ "$cpu" = "$(last_online_cpu)" ] ||
                    line="$line $(printf '%10d' 0)"
            done
            [ "$gone" = "$(last_online_cpu)" ] || line="$line $(printf '%10d' "${count#*=}")"
            case ${count%%=*} in
            LOC) line="$line  Local timer interrupts" ;;
            CAL) line="$line  Function call interrupts" ;;
            *) line="$line  IO-APIC   4-edge      stand-in" ;;
            esac
            echo "$line"
        done
    } >"$BATS_TEST_TMPDIR/interrupts.new"
    cat "$BATS_TEST_TMPDIR/interrupts.new" >"$BATS_TEST_TMPDIR/interrupts"
}

@test "-i -w: over stand-ins of the kernel's counters, rewritten during the window, the tick back on a busy tickless CPU and a device's interrupt fail, named; the CPUs online changed, or a counter unread, skip" {
    need_root
    need_two_cpus
    unshare -m true 2>/dev/null || skip "cannot make a mount namespace here"
    # The last online CPU isolated (and tickless where the row says so), a
    # stand-in of /proc/interrupts rewritten a second into a window of 2
    # seconds, and one of /proc/stat that stays: the CPU busy the whole
    # window. The interrupt: a real one whose binding allows CPU 0.
    local last irq
    last=$(last_online_cpu)
    irq=$(for i in /proc/irq/[0-9]*; do
        grep -qE '(^|[,-])0([,-]|$)|^0-' "$i/smp_affinity_list" 2>/dev/null && echo "${i##*/}" && break
    done)
    [ -n "$irq" ] || skip "no interrupt here may use CPU 0"
    grep -E '^cpu' /proc/stat >"$BATS_TEST_TMPDIR/stat"
    # tickless | the counters at the start | at the end (CPU GONE gone from
    # the header) | the window check's result, then a line of the report, a
    # pattern (N any number, LAST the isolated CPU, NUM the interrupt)
    while IFS='|' read -r tickless start end result line; do
        line=${line//LAST/$last} line=${line//NUM/$irq} result=${result//LAST/$last}
        stand_in_cpus "$(online_cpus)" "$last" "${tickless:+$last}"
        eval "interrupts none ${start//NUM/$irq}"
        # shellcheck disable=SC2016 # expanded by the inner shell
        (sleep 1 && eval "interrupts ${end//NUM/$irq}") &
        COUNTERS="interrupts stat" audit_over_stand_ins "" "" -w 2
        wait
        grep -qxE "$result" <(sed 's/^\(\(not \)\{0,1\}ok\) [0-9]* /\1 N /' "$BATS_TEST_TMPDIR/out") &&
            grep -qxE "$line" "$BATS_TEST_TMPDIR/out" ||
            { echo "$start -> $end: want $result, $line" >&2 && cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
    done <<'EOF_CASES'
yes|LOC=100 CAL=5|none LOC=100 CAL=9|ok N isolated CPU LAST stays quiet for 2 s|# CAL \(Function call interrupts\): 4, 2\.0/s
yes|LOC=100|none LOC=1100|not ok N isolated CPU LAST stays quiet for 2 s|# got:      the tick runs: 1000 local timer interrupts, [0-9.]+/s, on this busy CPU, though it is tickless
|LOC=100|none LOC=1100|ok N isolated CPU LAST stays quiet for 2 s|# the tick runs: 1000 local timer interrupts, [0-9.]+/s, on this busy CPU, which is not tickless, as configured
yes|NUM=0 LOC=100|none NUM=5 LOC=100|not ok N isolated CPU LAST stays quiet for 2 s|# got:      IRQ NUM \(stand-in\) fired 5 times \([0-9.]+/s\) and may use housekeeping CPUs 0.*
yes|LOC=100|0 LOC=100|ok N isolated CPU LAST stays quiet for 2 s # SKIP the CPUs online changed during the window: 0-LAST, then [0-9,-]+|# a window of 2 s: what each isolated CPU online takes meanwhile, the audit asleep on a housekeeping CPU
EOF_CASES
    # a counter that cannot be read
    stand_in_cpus "$(online_cpus)" "$last" "$last"
    audit_over_stand_ins "strace -qq -o /dev/null -P /proc/softirqs -e trace=openat -e inject=openat:error=EACCES" "" -w 1
    grep -qx "ok [0-9]* isolated CPU $last stays quiet for 1 s # SKIP /proc/softirqs cannot be read: Permission denied" \
        "$BATS_TEST_TMPDIR/out" || { cat "$BATS_TEST_TMPDIR/out" >&2 && return 1; }
}

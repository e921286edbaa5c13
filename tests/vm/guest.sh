#!/bin/sh
# SPDX-License-Identifier: MIT
# The init of the guests: runs the checks of the case named by "case=NAME"
# on the kernel command line and prints one "ok CASE NAME" or "not ok CASE
# NAME: detail" line a check, corehop-sweep's among them, then "vm-suite
# end: CASE", and powers off. The host judges by these lines alone. The case
# "lava" is a board as LAVA has booted it instead: a root shell on the
# console.
export PATH=/bin
busybox mount -t proc proc /proc
busybox --install -s /bin
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mount -t cgroup2 none /sys/fs/cgroup
case=$(sed -n 's/.*[[:space:]]case=\([^[:space:]]*\).*/\1/p' /proc/cmdline)
if [ "$case" = lava ]; then
    mount -t tmpfs tmpfs /tmp
    # the release, served as a lab's server would, on the guest's own loopback
    ifconfig lo 127.0.0.1 up
    httpd -p 127.0.0.1:8000 -h /release
    export PS1='/ # '
    exec setsid cttyhack sh
fi
exec </dev/null >/dev/console 2>&1

# poll, cpus_of, wait_parked, end_parker: the parking steps, as the release
# ships them beside its example
# shellcheck source=examples/parking.sh
. /bin/parking.sh

ok() { echo "ok $case $1"; }
# The detail on one line, its line breaks shown as "|".
not_ok() { echo "not ok $case $1: $(printf '%s' "$2" | tr '\n' '|')"; }

# same NAME GOT WANT: the check passes when GOT is WANT.
same() {
    if [ "$2" = "$3" ]; then ok "$1"; else not_ok "$1" "got '$2', want '$3'"; fi
}

# sweep [OPTION...]: corehop-sweep's checks, each one of this case's, with
# the diagnostics of a failed one; it must end with status 0 and skip
# nothing but what $may_skip, a pattern of the reasons, allows. $sweep_in,
# where set, runs it (unshare, say).
may_skip=''
sweep_in=''
sweep() {
    $sweep_in corehop-sweep "$@" >/tmp/sweep 2>&1
    status=$?
    failing=
    name="sweep${*:+ $*}"
    while IFS= read -r line; do
        case $line in
        *" # SKIP "*)
            # shellcheck disable=SC2254 # a pattern
            case ${line#* # SKIP } in
            $may_skip) ok "$name ${line#ok }" && failing= ;;
            *) not_ok "$name ${line#ok }" "skipped" && failing=1 ;;
            esac
            ;;
        "ok "*) ok "$name ${line#ok }" && failing= ;;
        "not ok "*) echo "not ok $case $name ${line#not ok }" && failing=1 ;;
        "# "*) [ -z "$failing" ] || echo "    $line" ;;
        esac
    done </tmp/sweep
    same "$name ends" "status $status" "status 0"
}

# move NAME PID CPU: corehop passes and the kernel shows the one CPU.
move() {
    out=$(corehop -c "$3" -p "$2" 2>&1)
    status=$?
    cpus_of "$2"
    same "$1" "status $status: $out; CPUs $cpus" "status 0: Pass: switch thread $2 to cpu $3 success; CPUs $3"
}

# refused NAME PID CPU: corehop fails with the set-failure line and the task
# keeps its CPUs.
refused() {
    cpus_of "$2"
    before=$cpus
    out=$(corehop -c "$3" -p "$2" 2>&1)
    status=$?
    cpus_of "$2"
    same "$1" "status $status: $out; CPUs $cpus" "status 255: Fail:can not switch thread $2 to CPU $3; CPUs $before"
}

# policy PID: the task's scheduling policy, the 41st field of its stat
# (1 SCHED_FIFO, 6 SCHED_DEADLINE).
policy() {
    read -r _ _ stat <"/proc/$1/stat"
    # shellcheck disable=SC2086 # the fields
    set -- $stat
    eval "echo \${39}"
}

# The example script: the parker moves to the last CPU a task may use, or
# stays on the only one.
scenario() {
    out=$(sh /bin/park-and-move.sh 2>&1)
    status=$?
    cpus=$(corehop-sweep -l)
    last=${cpus##*[-,]}
    if [ "$status" = 0 ] && { echo "$out" | grep -qx "moved:  pid [0-9]* on CPUs $last" ||
        echo "$out" | grep -qx "a task may use CPU $last alone here: no other CPU to move the parker to"; }; then
        ok "example script"
    else
        not_ok "example script" "status $status, output '$out'"
    fi
}

online() { echo "$2" >"/sys/devices/system/cpu/cpu$1/online"; }

# offlined: the CPU the last sweep -H took offline, from its report.
offlined() {
    sed -n 's/^ok [0-9]* the parker lives on as CPU \([0-9]*\) goes offline$/\1/p' /tmp/sweep
}

# handled_irq: an interrupt that handles something and takes a binding, or
# nothing.
handled_irq() {
    for irq in /proc/irq/[0-9]*; do
        [ -n "$(find "$irq" -mindepth 1 -maxdepth 1 -type d 2>/dev/null)" ] || continue
        cat "$irq/smp_affinity_list" >/tmp/irq.was
        if echo 3 >"$irq/smp_affinity_list" 2>/dev/null; then
            echo "${irq#/proc/irq/}"
            return
        fi
    done
}

# pinned: a task bound to CPU 3 alone and an interrupt on CPU 3 keep their
# bindings through sweep -H, which takes another CPU offline; where every CPU
# that can go offline holds such a task, the checks skip, naming it.
pinned() {
    taskset -c 3 sleep 600 &
    task=$!
    irq=$(handled_irq)
    sweep -H
    same "sweep -H leaves CPU 3, where a task is bound alone${irq:+ and IRQ $irq}" \
        "$(offlined | grep -vx 3 | grep -c .)" 1
    cpus_of "$task"
    same "the task bound to CPU 3 keeps its binding" "$cpus" 3
    if [ -n "$irq" ]; then
        same "IRQ $irq keeps its binding to CPU 3" "$(cat "/proc/irq/$irq/smp_affinity_list")" 3
        cat /tmp/irq.was >"/proc/irq/$irq/smp_affinity_list"
    fi
    tasks=$task
    for cpu in 0 1 2; do
        taskset -c "$cpu" sleep 600 &
        tasks="$tasks $!"
    done
    may_skip="task $task (sleep) may run on CPU 3 alone, and would lose that binding for good"
    sweep -H
    may_skip=''
    # shellcheck disable=SC2086 # the pids
    kill $tasks
}

# stand_in BODY: in /tmp/stand, the released programs but for corehop, a
# shell script that runs BODY where its CPU ($2) is offline, then the real
# corehop.
stand_in() {
    mkdir -p /tmp/stand
    ln -sf /bin/corenest /bin/corehop-sweep /tmp/stand/
    # shellcheck disable=SC2016 # expanded by the stand-in
    printf '#!/bin/sh\n[ "$(cat /sys/devices/system/cpu/cpu$2/online 2>/dev/null)" != 0 ] || { %s; }\nexec /bin/corehop "$@"\n' \
        "$1" >/tmp/stand/corehop
    chmod +x /tmp/stand/corehop
}

# What a stand-in runs to find the guard, the sweep's child in a session of
# its own, and send it a signal.
# shellcheck disable=SC2016 # expanded by the stand-in
guard_signal='for p in $(pidof corehop-sweep); do read -r _ _ _ _ _ s _ <"/proc/$p/stat"; [ "$s" != "$p" ] || kill -%s "$p"; done'

# limited: a task bound to CPU 3 alone keeps it where the sweep lacks the
# descriptors that -H needs, and where it runs in another PID namespace,
# whose /proc shows none of the tasks outside; tasks bound to CPUs 1 and 2
# alone keep theirs too.
limited() {
    tasks=''
    for cpu in 1 2 3; do
        taskset -c "$cpu" sleep 600 &
        tasks="$tasks $!"
    done
    # shellcheck disable=SC3045 # busybox's sh has ulimit -n
    same "with 8 descriptors nothing is checked" "$( (ulimit -n 8 && corehop-sweep -H) | sed -n 2p)" \
        "1..0 # SKIP the limit on descriptors (RLIMIT_NOFILE) is 8: the sweep needs 32"
    may_skip='the limit on descriptors (RLIMIT_NOFILE) is 64: -H needs 128'
    # shellcheck disable=SC3045
    (ulimit -n 64 && sweep -H)
    may_skip='in a PID namespace other than the first, whose /proc hides the tasks bound to a CPU outside it'
    sweep_in='unshare -p -f --mount-proc'
    sweep -H
    sweep_in=''
    may_skip=''
    cpu=1
    for task in $tasks; do
        cpus_of "$task"
        same "the task bound to CPU $cpu keeps its binding" "$cpus" "$cpu"
        cpu=$((cpu + 1))
    done
    # shellcheck disable=SC2086 # the pids
    kill $tasks
    same "every CPU online" "$(cat /sys/devices/system/cpu/online)" 0-3
}

# subset: under a /proc of its own mounted subset=pid, which shows no
# /proc/irq, an interrupt bound alone to CPU 3 keeps its binding: -H skips,
# naming what it cannot see, and takes no CPU offline.
subset() {
    irq=$(handled_irq)
    may_skip='/proc/irq cannot be read: No such file or directory'
    sweep_in='unshare -m /bin/in_subset'
    printf '#!/bin/sh\nmount -t proc -o subset=pid proc /proc && exec "$@"\n' >/bin/in_subset
    chmod +x /bin/in_subset
    sweep -H
    sweep_in=''
    may_skip=''
    if [ -n "$irq" ]; then
        same "IRQ $irq keeps its binding to CPU 3" "$(cat "/proc/irq/$irq/smp_affinity_list")" 3
        cat /tmp/irq.was >"/proc/irq/$irq/smp_affinity_list"
    fi
    same "every CPU online" "$(cat /sys/devices/system/cpu/online)" 0-3
}

# named: a task bound to CPU 3 that names itself to forge a line of the
# report keeps its name on the line of the skip it causes.
named() {
    # shellcheck disable=SC2016 # expanded by the task
    taskset -c 3 sh -c 'printf "a\nBail out! zz" >"/proc/$$/comm" && while :; do sleep 1; done' &
    task=$!
    poll 500 grep -q 'Bail' "/proc/$task/comm"
    may_skip='task * (a\\nBail out! zz) may run on CPU 3 alone, and would lose that binding for good'
    sweep -H -c 3
    may_skip=''
    same "a task's name with a line break stays on its line" "$(grep -c '^Bail out' /tmp/sweep)" 0
    kill "$task"
}

# guard_gone: a guard killed while its CPU is offline stops nothing: the
# sweep finishes its plan and brings the CPU back itself; a guard stopped
# does not keep SIGTERM from ending the sweep, which brings the CPU back and
# leaves no guard.
guard_gone() {
    # shellcheck disable=SC2059 # the signal into the stand-in's line
    stand_in "$(printf "$guard_signal" KILL) && echo \"\$2\" >/tmp/hung"
    rm -f /tmp/hung
    /tmp/stand/corehop-sweep -H >/tmp/sweep 2>&1
    same "a guard killed with its CPU offline: the sweep ends its plan" \
        "status $? $(grep -c '^not ok' /tmp/sweep)" "status 0 0"
    cpu=$(cat /tmp/hung 2>/dev/null)
    same "and brings CPU ${cpu:-N} back itself" "$(cat "/sys/devices/system/cpu/cpu$cpu/online" 2>&1)" 1
    # shellcheck disable=SC2059
    stand_in "$(printf "$guard_signal" STOP) && echo \"\$2\" >/tmp/hung && kill -TERM \"\$PPID\" && exec sleep 600"
    rm -f /tmp/hung
    /tmp/stand/corehop-sweep -H >/dev/null 2>&1
    same "a guard stopped: SIGTERM still ends the sweep" "status $?" "status 143"
    cpu=$(cat /tmp/hung 2>/dev/null)
    same "which brings CPU ${cpu:-N} back" "$(cat "/sys/devices/system/cpu/cpu$cpu/online" 2>&1)" 1
    same "and leaves no guard, no parker" "$(pidof corehop-sweep corenest)" ""
}

# killed: a SIGKILL of the sweep's whole process group, while a CPU is
# offline and its corehop hangs, leaves the CPU online again and no parker.
killed() {
    # shellcheck disable=SC2016 # expanded by the stand-in
    stand_in 'echo "$2" >/tmp/hung && exec sleep 600'
    rm -f /tmp/hung
    setsid /tmp/stand/corehop-sweep -H >/dev/null 2>&1 &
    group=$!
    poll 3000 test -s /tmp/hung
    cpu=$(cat /tmp/hung)
    kill -KILL -- "-$group"
    poll 500 grep -qx 1 "/sys/devices/system/cpu/cpu$cpu/online"
    same "a SIGKILL of the sweep's process group with CPU ${cpu:-N} offline: the CPU comes back" \
        "$(cat "/sys/devices/system/cpu/cpu$cpu/online" 2>&1)" 1
    poll 500 sh -c '! pidof corenest >/dev/null'
    same "and no parker is left" "$(pidof corenest)" ""
}

# audit NAME FAILS [SKIPS]: corehop-sweep -i, with those checks failing
# alone that FAILS names, each followed by ";", and so its status, and those
# skipping alone that SKIPS names (none: the command line's parameters that
# are not given); its report in /tmp/audit.
audit() {
    corehop-sweep -i >/tmp/audit 2>&1
    status=$?
    same "audit $1: the checks that fail" "$(sed -n 's/^not ok [0-9]* \(.*\)/\1;/p' /tmp/audit | tr -d '\n')" "$2"
    same "audit $1: the checks that skip" "$(sed -n 's/^ok [0-9]* \(.*\) # SKIP .*/\1;/p' /tmp/audit | tr -d '\n')" \
        "${3-$(unasked)}"
    same "audit $1: its status" "status $status" "status $([ -n "$2" ] && echo 1 || echo 0)"
}

# unasked: the checks of the isolation parameters the command line does not
# give, each followed by ";".
unasked() {
    for name in isolcpus nohz_full irqaffinity; do
        grep -q "[[:space:]]$name=" /proc/cmdline || printf '%s= is in effect;' "$name"
    done
}

# The kernel's series, 5 for 5.10.
major=$(uname -r | cut -d. -f1)

# nohz_fails: the nohz_full= check, where the kernel lacks nohz_full (5.10's
# have none).
nohz_fails() {
    [ -e /sys/devices/system/cpu/nohz_full ] || printf '%s;' "nohz_full= is in effect"
}

# watchdog_fails: the watchdog's check, where the kernel lacks nohz_full:
# nothing then keeps the lockup watchdog off the isolated CPUs.
watchdog_fails() {
    [ -e /sys/devices/system/cpu/nohz_full ] || printf '%s;' "the lockup watchdog stays off the isolated CPUs"
}

# busy CPU: a loop bound to CPU alone, its pid in $!.
busy() {
    taskset -c "$1" sh -c 'while :; do :; done' &
}

# window NAME CPU RESULT: corehop-sweep -i -w 3, whose check of CPU's window
# gives RESULT (ok, not ok, or ok # SKIP REASON); its report in /tmp/window.
window() {
    corehop-sweep -i -w 3 >/tmp/window 2>&1
    same "window $1: CPU $2" \
        "$(sed -n "s/^\(\(not \)*ok\) [0-9]* isolated CPU $2 stays quiet for 3 s\(.*\)$/\1\3/p" /tmp/window)" "$3"
}

# cpus_fail TASKS IRQS: the checks of isolated CPUs 2 and 3, in order: of
# tasks where TASKS is "yes" (or "old": before 7.x, whose kernel threads may
# use every CPU), of interrupts where IRQS is "yes".
cpus_fail() {
    for cpu in 2 3; do
        if [ "$1" = yes ] || { [ "$1" = old ] && [ "$major" -lt 7 ]; }; then
            printf 'no task strays onto isolated CPU %s;' "$cpu"
        fi
        [ "$2" != yes ] || printf 'no interrupt strays onto isolated CPU %s;' "$cpu"
    done
}

# The cases: each boots with its own kernel command line and CPUs (the host
# runner's table) and runs these checks.
case $case in
possible2100 | possible2048 | possible1024 | possible1025)
    same "${case#possible} possible CPUs" "$(cat /sys/devices/system/cpu/possible)" "0-$((${case#possible} - 1))"
    sweep
    scenario
    ;;
hotplug)
    # a CPU offline under the parker; then, with CPU 1 offline, its refusal
    sweep -H
    online 1 0
    sweep -c 0
    online 1 1
    scenario
    pinned
    limited
    subset
    named
    # (riscv64's kernels under QEMU's software emulation once stalled for
    # good in RCU here, a CPU coming back while the others hang)
    [ "$(uname -m)" = riscv64 ] || guard_gone
    [ "$(uname -m)" = riscv64 ] || killed
    ;;
cgroupv1)
    # cgroup v1's cpuset, mounted noprefix: a cpuset that goes offline loses
    # the CPU for good, so -H takes a CPU no cpuset but the root one holds,
    # though another mount hides them, or skips
    mount -t tmpfs none /sys/fs/cgroup
    mkdir /sys/fs/cgroup/cpuset
    mount -t cgroup -o cpuset,noprefix none /sys/fs/cgroup/cpuset
    cd /sys/fs/cgroup/cpuset || exit
    mkdir one docker docker/abc
    echo 1 >one/cpus && echo 0 >one/mems
    echo 2-3 >docker/cpus && echo 0 >docker/mems
    echo 3 >docker/abc/cpus && echo 0 >docker/abc/mems
    cd / || exit
    same "the CPUs a task may use, from effective_cpus" "$(corehop-sweep -l)" 0-3
    echo $$ >/sys/fs/cgroup/cpuset/one/tasks
    same "in a cpuset of CPU 1" "$(corehop-sweep -l)" 1
    echo $$ >/sys/fs/cgroup/cpuset/tasks
    rmdir /sys/fs/cgroup/cpuset/one
    mount -t tmpfs none /sys/fs/cgroup/cpuset/docker
    sweep -H
    same "sweep -H takes CPU 1, which no cpuset but the root one holds" "$(offlined)" 1
    umount /sys/fs/cgroup/cpuset/docker
    same "docker/abc keeps CPU 3" "$(cat /sys/fs/cgroup/cpuset/docker/abc/cpus)" 3
    same "docker keeps CPUs 2-3" "$(cat /sys/fs/cgroup/cpuset/docker/cpus)" 2-3
    echo 1-3 >/sys/fs/cgroup/cpuset/docker/cpus
    mount -t tmpfs none /sys/fs/cgroup/cpuset/docker
    may_skip='the cgroup v1 cpuset /sys/fs/cgroup/cpuset/docker holds CPU 3 (with cgroup v1, a CPU that goes offline leaves every cpuset but the root one for good)'
    sweep -H
    ;;
isolcpus | nohz_full)
    same "CPU 1 isolated" "$(cat /sys/devices/system/cpu/isolated)" 1
    sweep
    ;;
cpuset)
    # the sweep in a cgroup v2 cpuset of CPU 0
    echo +cpuset >/sys/fs/cgroup/cgroup.subtree_control
    mkdir /sys/fs/cgroup/zero
    echo 0 >/sys/fs/cgroup/zero/cpuset.cpus
    echo $$ >/sys/fs/cgroup/zero/cgroup.procs
    same "in a cpuset of CPU 0" "$(corehop-sweep -l)" 0
    # (one CPU: the pin and the move cannot show)
    may_skip='*cannot show'
    sweep
    ;;
partition)
    # an isolated partition of every CPU, which the kernel holds invalid:
    # though nothing else is isolated, the audit runs, and fails on it
    echo +cpuset >/sys/fs/cgroup/cgroup.subtree_control
    mkdir /sys/fs/cgroup/all
    echo 0-1 >/sys/fs/cgroup/all/cpuset.cpus
    echo isolated >/sys/fs/cgroup/all/cpuset.cpus.partition 2>/dev/null
    corehop-sweep -i >/tmp/audit 2>&1
    same "an invalid partition alone: the audit fails" "status $?" "status 1"
    same "naming it and the kernel's reason" \
        "$(grep -c '^# got:      /sys/fs/cgroup/all: isolated invalid (.*)$' /tmp/audit)" 1
    rmdir /sys/fs/cgroup/all
    # CPU 1 an isolated partition: outside it CPU 1 refuses, inside CPU 0
    mkdir /sys/fs/cgroup/one
    echo 1 >/sys/fs/cgroup/one/cpuset.cpus
    echo isolated >/sys/fs/cgroup/one/cpuset.cpus.partition
    same "CPU 1 an isolated partition" "$(cat /sys/fs/cgroup/one/cpuset.cpus.partition)" isolated
    same "outside the partition" "$(corehop-sweep -l)" 0
    may_skip='*cannot show'
    sweep
    echo $$ >/sys/fs/cgroup/one/cgroup.procs
    same "inside the partition" "$(corehop-sweep -l)" 1
    sweep
    ;;
rt)
    # SCHED_FIFO tasks move both ways and keep their policy; a
    # SCHED_DEADLINE task's CPUs are never narrowed below its root domain.
    with_policy fifo sleep 600 &
    task=$!
    poll 500 grep -q '^Name:.*sleep' "/proc/$task/status"
    same "a SCHED_FIFO task" "$(policy "$task")" 1
    move "SCHED_FIFO task to CPU 1" "$task" 1
    move "SCHED_FIFO task to CPU 0" "$task" 0
    same "the SCHED_FIFO task keeps its policy" "$(policy "$task")" 1
    with_policy fifo corenest -n 0 &
    parker=$!
    wait_parked "$parker" 0
    same "a SCHED_FIFO parker" "$(policy "$parker")" 1
    move "SCHED_FIFO parker to CPU 1" "$parker" 1
    move "SCHED_FIFO parker to CPU 0" "$parker" 0
    same "the SCHED_FIFO parker keeps its policy" "$(policy "$parker")" 1
    end_parker "$parker"
    same "the SCHED_FIFO parker ends on SIGTERM" "status $?" "status 143"
    with_policy deadline sleep 600 &
    task=$!
    poll 500 grep -q '^Name:.*sleep' "/proc/$task/status"
    same "a SCHED_DEADLINE task" "$(policy "$task")" 6
    refused "SCHED_DEADLINE task to CPU 1 alone" "$task" 1
    refused "SCHED_DEADLINE task to CPU 0 alone" "$task" 0
    sweep
    # SCHED_DEADLINE bandwidth past what one CPU holds: the kernel refuses
    # to take CPU 1 offline, and -H skips, saying so; so it does where /sys
    # is read-only
    tasks=''
    for _ in $(seq 96); do
        with_policy deadline sleep 600 &
        tasks="$tasks $!"
    done
    may_skip='the kernel refuses to take CPU 1 offline: Device or resource busy'
    sweep -H
    # shellcheck disable=SC2086 # the pids
    kill $tasks
    mount -o remount,ro /sys
    may_skip='/sys/devices/system/cpu/cpu1/online is on a read-only file system'
    sweep -H
    mount -o remount,rw /sys
    ;;
onecpu)
    may_skip='*cannot show'
    sweep
    scenario
    ;;
crossword)
    # CPUs 63, 64 and 65: the last of the mask's first 64-bit word and the
    # first two of its second, where the words' byte order tells.
    for cpu in 63 64 65; do online "$cpu" 1; done
    same "CPUs 63-65 online" "$(cat /sys/devices/system/cpu/online)" 0-1,63-65
    sweep
    ;;
basic)
    sweep
    scenario
    ;;
isolation)
    # booted with isolcpus=2-3 nohz_full=2-3 irqaffinity=0-1: every check
    # holds since 7.x; 6.1 leaves kernel threads free to use every CPU, and
    # 5.10 has no nohz_full either
    audit "as booted" "$(nohz_fails)$(watchdog_fails)$(cpus_fail old no)"
    taskset -c 3 sleep 600 &
    bound=$!
    audit "with a task bound to CPU 3 alone" "$(nohz_fails)$(watchdog_fails)$(cpus_fail old no)"
    taskset -c 0-3 sleep 600 &
    loose=$!
    poll 500 grep -q '^Name:.*sleep' "/proc/$loose/status"
    audit "with a task that may use every CPU" "$(nohz_fails)$(watchdog_fails)$(cpus_fail yes no)"
    # (before 7.x, the kernel threads come first, and fill the screen)
    [ "$major" -lt 7 ] ||
        same "which it names" "$(grep -c "^#  *task $loose (sleep) may use 0-3$" /tmp/audit)" 2
    kill "$bound" "$loose"
    # a task that names itself with a line break and a line separator
    # (U+2028): its line stays one, escaped
    # shellcheck disable=SC2016 # expanded by the task
    taskset -c 0-3 sh -c 'printf "a\nok 9\342\200\250x" >"/proc/$$/comm" && while :; do sleep 1; done' &
    named=$!
    poll 500 grep -q 'ok 9' "/proc/$named/comm"
    audit "with a task named with line breaks" "$(nohz_fails)$(watchdog_fails)$(cpus_fail yes no)"
    [ "$major" -lt 7 ] ||
        same "which it names on one line" \
            "$(grep -c '^#  *task [0-9]* (a\\nok 9\\xe2\\x80\\xa8x) may use 0-3$' /tmp/audit)" 2
    kill "$named"
    # over a window: a busy task alone on tickless CPU 3 is quiet (on 5.10,
    # with no nohz_full, its tick is noted); two are not, the tick back
    busy 3
    first=$!
    window "a busy task alone on a nohz_full CPU" 3 ok
    same "which names no tick" "$(grep -c '^# got:.*the tick runs' /tmp/window)" 0
    busy 3
    second=$!
    if [ -e /sys/devices/system/cpu/nohz_full ]; then
        window "two busy tasks on a nohz_full CPU" 3 "not ok"
        same "the tick back, named, and the tasks that waited" \
            "$(grep -cE '^# (got:)? +(the tick runs: [0-9]+ local timer interrupts, .* though it is tickless|tasks waited to run there for)' /tmp/window)" 2
    fi
    kill "$first" "$second"
    # the serial port's interrupt, made to land on CPU 3 while it may use
    # CPU 0, fires there as the console writes (x86's moves when it next
    # fires): it is named
    if [ "$(uname -m)" = x86_64 ]; then
        echo 3 >/proc/irq/4/smp_affinity_list && echo 0,3 >/proc/irq/4/smp_affinity_list
        echo "the serial port's interrupt made to move"
        poll 100 grep -qx 3 /proc/irq/4/effective_affinity_list
        same "the serial port's interrupt lands on CPU 3" "$(cat /proc/irq/4/effective_affinity_list)" 3
        (while :; do echo "the console writes"; sleep 0.1; done) &
        writes=$!
        window "the serial port's interrupt on CPU 3" 3 "not ok"
        kill "$writes"
        echo 0-1 >/proc/irq/4/smp_affinity_list
        same "which names it" "$(grep -cE '^# got:      IRQ 4 \(ttyS0\) fired [0-9]+ times' /tmp/window)" 1
    fi
    # the lockup watchdog made to run on every CPU: its check fails
    if [ "$(cat /proc/sys/kernel/watchdog 2>/dev/null)" = 1 ]; then
        was=$(cat /proc/sys/kernel/watchdog_cpumask)
        echo 0-3 >/proc/sys/kernel/watchdog_cpumask
        corehop-sweep -i >/tmp/audit 2>&1
        same "the watchdog on every CPU: its check fails" \
            "$(grep -c '^not ok [0-9]* the lockup watchdog stays off the isolated CPUs$' /tmp/audit)" 1
        same "naming CPUs 2-3" \
            "$(grep -c "^# got:      isolated CPUs 2-3 in the watchdog's, its watchdog_cpumask 0-3$" /tmp/audit)" 1
        echo "$was" >/proc/sys/kernel/watchdog_cpumask
    fi
    # CPU 1 an isolated partition, where the kernel makes one: the tasks of
    # the root cgroup, init among them, may then use CPUs 0,2-3 (for good)
    echo +cpuset >/sys/fs/cgroup/cgroup.subtree_control
    mkdir /sys/fs/cgroup/one
    echo 1 >/sys/fs/cgroup/one/cpuset.cpus
    if echo isolated >/sys/fs/cgroup/one/cpuset.cpus.partition 2>/dev/null &&
        [ "$(cat /sys/fs/cgroup/one/cpuset.cpus.partition)" = isolated ]; then
        corehop-sweep -i >/tmp/audit 2>&1
        same "with CPU 1 an isolated partition: it fails" "status $?" "status 1"
        same "naming init, which may use CPUs 0,2-3" \
            "$(grep -c '^#  *task 1 (init) may use 0,2-3$' /tmp/audit)" 2
        same "no isolated partition invalid" \
            "$(grep -c '^ok [0-9]* no isolated partition is invalid$' /tmp/audit)" 1
        # a sibling asking for CPU 1 too: invalid, the kernel says why (its
        # CPUs set first: no test changes an invalid partition)
        mkdir /sys/fs/cgroup/two
        echo 1 >/sys/fs/cgroup/two/cpuset.cpus
        echo isolated >/sys/fs/cgroup/two/cpuset.cpus.partition 2>/dev/null
        corehop-sweep -i >/tmp/audit 2>&1
        same "an invalid sibling partition: its check fails" \
            "$(grep -c '^not ok [0-9]* no isolated partition is invalid$' /tmp/audit)" 1
        same "naming it and the kernel's reason" \
            "$(grep -c '^# got:      /sys/fs/cgroup/two: isolated invalid (.*)$' /tmp/audit)" 1
    fi
    ;;
irqstray)
    # booted with isolcpus=1 nohz_full=1 irqaffinity=0,2-3 on arm64, whose
    # timer and PMU are per-CPU interrupts, with no effective affinity: they
    # stray nowhere, and hide nothing; the uart, made to may use CPUs 1 and
    # 3, lands on isolated CPU 1 (the first of them), and is named, as is,
    # over a window, the RTC's alarm made to fire there
    uart=$(sed -n 's/^ *\([0-9]*\):.*uart.*/\1/p' /proc/interrupts | head -n 1)
    echo 1,3 >"/proc/irq/$uart/smp_affinity_list"
    same "the uart, IRQ ${uart:-N}, lands on CPU 1" "$(cat "/proc/irq/$uart/effective_affinity_list" 2>&1)" 1
    audit "with the uart on CPUs 1,3" "$(nohz_fails)$(watchdog_fails)$([ "$major" -lt 7 ] && echo 'no task strays onto isolated CPU 1;')no interrupt strays onto isolated CPU 1;"
    same "naming the uart" "$(grep -c "^#  *IRQ $uart ([^)]*) on CPUs 1, may use 1,3$" /tmp/audit)" 1
    # over a window, the RTC's alarm, made to may use CPUs 1 and 3 too,
    # fires on CPU 1: named
    rtc=$(sed -n 's/^ *\([0-9]*\):.*rtc.*/\1/p' /proc/interrupts | head -n 1)
    echo 1,3 >"/proc/irq/$rtc/smp_affinity_list"
    (sleep 1 && echo +1 >/sys/class/rtc/rtc0/wakealarm) &
    window "the RTC's alarm on CPU 1" 1 "not ok"
    same "which names it" "$(grep -cE "^# got:      IRQ $rtc \(rtc-pl031\) fired 1 time " /tmp/window)" 1
    ;;
ticking)
    # booted with isolcpus=2-3 irqaffinity=0-1, and no nohz_full=: a busy
    # CPU 3 passes its window, the tick noted as what was configured
    busy 3
    window "a busy CPU that is not nohz_full" 3 ok
    same "which notes the tick" \
        "$(grep -cE '^# the tick runs: [0-9]+ local timer interrupts, .* which is not tickless, as configured$' /tmp/window)" 1
    ;;
leaky)
    # booted with isolcpus=2-3 nohz_full=2-3 and no irqaffinity=: new
    # interrupts may use every CPU, and the keyboard's two land on CPUs 3
    # and 2 (amd64's; arm64's have none that land there)
    irqs=no
    [ "$(uname -m)" != x86_64 ] || irqs=yes
    audit "as booted" "$(nohz_fails)new interrupts stay off the isolated CPUs;$(cpus_fail old "$irqs")"
    same "naming the keyboard's" "$(grep -c '^#  *IRQ [0-9]* (i8042) on CPUs [23], may use 0-3$' /tmp/audit)" \
        "$([ "$irqs" = yes ] && echo 2 || echo 0)"
    ;;
timekeeping)
    # booted with isolcpus=domain,1-2 nohz_full=0-2 irqaffinity=0,3: the
    # kernel keeps CPU 0 for timekeeping, and says nothing
    audit "as booted" "nohz_full= is in effect;"
    same "naming CPU 0" "$(grep -c '^# got:  *CPUs 0 not tickless: the kernel shows 1-2$' /tmp/audit)" 1
    ;;
cost)
    # no case of the matrix: bench/guest-cost.sh's measure, by the guest's
    # clock in hundredths of a second: ROUNDS sweeps, and as many runs of
    # corehop on a sleeping task as they have checks
    rounds=$(sed -n 's/.*[[:space:]]rounds=\([0-9]*\).*/\1/p' /proc/cmdline)
    now() { read -r up _ </proc/uptime && echo "${up%.*}${up#*.}"; }
    checks=$(corehop-sweep | sed -n 's/^1\.\.//p')
    start=$(now)
    for _ in $(seq "$rounds"); do corehop-sweep >/dev/null; done
    sweeps=$(($(now) - start))
    sleep 600 &
    start=$(now)
    for _ in $(seq $((checks * rounds))); do corehop -c 0 -p $! >/dev/null; done
    echo "guest-cost: $checks checks a sweep; $rounds sweeps ${sweeps}0 ms, $((checks * rounds)) runs of corehop $(($(now) - start))0 ms"
    ;;
*) not_ok "case" "no case '$case'" ;;
esac
echo "vm-suite end: $case"
poweroff -f

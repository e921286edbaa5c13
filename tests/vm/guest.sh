#!/bin/sh
# SPDX-License-Identifier: MIT
# The init of the VM suite's guests: runs the checks of the case named by
# "case=NAME" on the kernel command line and prints one "ok CASE NAME" or
# "not ok CASE NAME: detail" line a check, corehop-sweep's among them, then
# "vm-suite end: CASE", and powers off. The host judges by these lines alone.
export PATH=/bin
busybox mount -t proc proc /proc
busybox --install -s /bin
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mount -t cgroup2 none /sys/fs/cgroup
exec </dev/null >/dev/console 2>&1
case=$(sed -n 's/.*[[:space:]]case=\([^[:space:]]*\).*/\1/p' /proc/cmdline)

# poll, cpus_of, wait_parked, end_parker: the parking steps, as the release
# ships them beside its example
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
# nothing but what $may_skip, a pattern of the reasons, allows.
may_skip=''
sweep() {
    corehop-sweep "$@" >/tmp/sweep 2>&1
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
    # CPU 1 an isolated partition: outside it CPU 1 refuses, inside CPU 0
    echo +cpuset >/sys/fs/cgroup/cgroup.subtree_control
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
*) not_ok "case" "no case '$case'" ;;
esac
echo "vm-suite end: $case"
poweroff -f

#!/bin/sh
# SPDX-License-Identifier: MIT
# The init of the VM suite's guests: runs the checks of the case named by
# "case=NAME" on the kernel command line and prints one "ok NAME" or
# "not ok NAME: detail" line a check, then "vm-suite end: CASE", and powers
# off. The host judges by these lines alone.
export PATH=/bin
busybox mount -t proc proc /proc
busybox --install -s /bin
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
exec </dev/null >/dev/console 2>&1
case=$(sed -n 's/.*[[:space:]]case=\([^[:space:]]*\).*/\1/p' /proc/cmdline)

ok() { echo "ok $case $1"; }
# The detail on one line, its line breaks shown as "|".
not_ok() { echo "not ok $case $1: $(printf '%s' "$2" | tr '\n' '|')"; }

pass() { echo "Pass: switch thread $1 to cpu $2 success"; }
fail() { echo "Fail:can not switch thread $1 to CPU $2"; }
nest_fail() { echo "Fail:Set thread $1 on CPU $2 affinity failed, error: Invalid argument"; }
cpus() { sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' "/proc/$1/status"; }

# same NAME GOT WANT: the check passes when GOT is WANT.
same() {
    if [ "$2" = "$3" ]; then ok "$1"; else not_ok "$1" "got '$2', want '$3'"; fi
}

# expect NAME STATUS OUTPUT COMMAND...: the command's status and output,
# standard error included.
expect() {
    name=$1 want_status=$2 want_out=$3
    shift 3
    out=$("$@" 2>&1)
    same "$name" "status $?: $out" "status $want_status: $want_out"
}

# expect_cpus NAME PID LIST: the kernel's view of the task's CPUs.
expect_cpus() { same "$1" "$(cpus "$2")" "$3"; }

# move NAME PID CPU: corehop passes and the kernel shows the one CPU.
move() {
    expect "$1" 0 "$(pass "$2" "$3")" corehop -c "$3" -p "$2"
    expect_cpus "$1, kernel's view" "$2" "$3"
}

# refused NAME PID CPU: corehop fails with the set-failure line and the task
# keeps its CPUs.
refused() {
    before=$(cpus "$2")
    expect "$1" 255 "$(fail "$2" "$3")" corehop -c "$3" -p "$2"
    expect_cpus "$1, CPUs unchanged" "$2" "$before"
}

# park CPU: starts corenest on CPU from all the online CPUs and waits until
# it has pinned itself: it runs as corenest, on the one CPU; its pid in $parker.
park() {
    taskset -c "$(cat /sys/devices/system/cpu/online)" corenest -n "$1" &
    parker=$!
    tries=0
    until grep -qs "^$parker (corenest) " "/proc/$parker/stat" && [ "$(cpus "$parker")" = "$1" ]; do
        tries=$((tries + 1))
        if [ "$tries" -ge 500 ] || ! kill -0 "$parker" 2>/dev/null; then
            not_ok "park on $1" "no parker"
            return
        fi
        sleep 0.01
    done
    ok "park on $1"
}

# nest_refused NAME CPU: corenest fails with its line, its own pid, 255.
nest_refused() {
    corenest -n "$2" >/tmp/nest.out 2>&1 &
    pid=$!
    wait "$pid"
    same "$1" "status $?: $(cat /tmp/nest.out)" "status 255: $(nest_fail "$pid" "$2")"
}

# end_parker NAME: SIGTERM ends the parker with 143.
end_parker() {
    kill -TERM "$parker"
    wait "$parker"
    same "$1" "status $?" "status 143"
}

# Moves of a sleeping task, of corehop itself and of a parker, both ways.
moves() {
    sleep 600 &
    task=$!
    move "sleeping task to CPU 1" "$task" 1
    move "sleeping task to CPU 0" "$task" 0
    expect "itself to CPU 1" 0 "$(pass 0 1)" corehop -c 1 -p 0
    expect "itself to CPU 0" 0 "$(pass 0 0)" corehop -c 0 -p 0
    park 0
    move "parker to CPU 1" "$parker" 1
    move "parker to CPU 0" "$parker" 0
    end_parker "parker ends on SIGTERM"
}

# The example script: the parker moves to the last online CPU.
scenario() {
    out=$(park-and-move.sh 2>&1)
    status=$?
    last=$(sed 's/.*[-,]//' /sys/devices/system/cpu/online)
    if [ "$status" = 0 ] && echo "$out" | grep -qx "Pass: switch thread [0-9]* to cpu $last success" &&
        echo "$out" | grep -qx "moved:  pid [0-9]* on CPUs $last"; then
        ok "example script"
    else
        not_ok "example script" "status $status, output '$out'"
    fi
}

online() { echo "$2" >"/sys/devices/system/cpu/cpu$1/online"; }

# The cases: each boots with its own kernel command line and CPUs (the host
# runner's table) and runs these checks.
case $case in
possible2100 | possible2048)
    same "${case#possible} possible CPUs" "$(cat /sys/devices/system/cpu/possible)" "0-$((${case#possible} - 1))"
    moves
    sleep 600 &
    task=$!
    refused "possible but absent CPU 2000" "$task" 2000
    refused "CPU 3000, past the possible ones" "$task" 3000
    refused "CPU 8191, the last a mask holds" "$task" 8191
    refused "CPU 8192, past the mask" "$task" 8192
    nest_refused "corenest on absent CPU 1050" 1050
    scenario
    ;;
possible1024 | possible1025)
    same "${case#possible} possible CPUs" "$(cat /sys/devices/system/cpu/possible)" "0-$((${case#possible} - 1))"
    moves
    ;;
hotplug)
    sleep 600 &
    task=$!
    online 1 0
    refused "onto offline CPU 1" "$task" 1
    nest_refused "corenest on offline CPU 1" 1
    online 1 1
    park 1
    online 1 0
    if kill -0 "$parker"; then ok "parker survives its CPU going offline"; else not_ok "parker survives" "gone"; fi
    # The kernel widens the CPUs of a task whose only CPU is gone when the
    # task next wakes, within the second of its sleep, to all it may use.
    for _ in $(seq 300); do [ "$(cpus "$parker")" != 1 ] && break; sleep 0.01; done
    expect_cpus "the kernel widens the parker's CPUs" "$parker" 0-3
    refused "parker onto offline CPU 1" "$parker" 1
    online 1 1
    move "parker back onto CPU 1" "$parker" 1
    end_parker "parker ends on SIGTERM"
    scenario
    ;;
isolcpus | nohz_full)
    same "CPU 1 isolated" "$(cat /sys/devices/system/cpu/isolated)" 1
    sleep 600 &
    task=$!
    move "sleeping task onto isolated CPU 1" "$task" 1
    park 1
    end_parker "parker on isolated CPU 1 ends on SIGTERM"
    ;;
cpuset)
    mount -t cgroup2 none /sys/fs/cgroup
    echo +cpuset >/sys/fs/cgroup/cgroup.subtree_control
    mkdir /sys/fs/cgroup/zero
    echo 0 >/sys/fs/cgroup/zero/cpuset.cpus
    sleep 600 &
    task=$!
    echo "$task" >/sys/fs/cgroup/zero/cgroup.procs
    expect_cpus "a task in a cpuset of CPU 0" "$task" 0
    refused "onto CPU 1, outside the cpuset" "$task" 1
    move "onto CPU 0, inside the cpuset" "$task" 0
    echo $$ >/sys/fs/cgroup/zero/cgroup.procs
    nest_refused "corenest on CPU 1, outside the cpuset" 1
    ;;
onecpu)
    sleep 600 &
    task=$!
    refused "onto absent CPU 1" "$task" 1
    nest_refused "corenest on absent CPU 1" 1
    move "onto CPU 0" "$task" 0
    expect "itself to CPU 0" 0 "$(pass 0 0)" corehop -c 0 -p 0
    park 0
    end_parker "parker on CPU 0 ends on SIGTERM"
    scenario
    ;;
crossword)
    # CPUs 63, 64 and 65: the last of the mask's first 64-bit word and the
    # first two of its second, where the words' byte order tells.
    for cpu in 63 64 65; do online "$cpu" 1; done
    same "CPUs 63-65 online" "$(cat /sys/devices/system/cpu/online)" 0-1,63-65
    sleep 600 &
    task=$!
    move "sleeping task to CPU 63" "$task" 63
    move "sleeping task to CPU 64" "$task" 64
    move "sleeping task to CPU 65" "$task" 65
    refused "offline CPU 62" "$task" 62
    refused "absent CPU 66" "$task" 66
    park 64
    move "parker from 64 to CPU 63" "$parker" 63
    move "parker to CPU 65" "$parker" 65
    end_parker "parker ends on SIGTERM"
    ;;
basic)
    moves
    sleep 600 &
    task=$!
    refused "absent CPU 2" "$task" 2
    refused "CPU 8192, past the mask" "$task" 8192
    nest_refused "corenest on absent CPU 2" 2
    scenario
    ;;
*) not_ok "case" "no case '$case'" ;;
esac
echo "vm-suite end: $case"
poweroff -f

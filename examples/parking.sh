# SPDX-License-Identifier: MIT
# shellcheck shell=sh
# The parking steps, for a POSIX sh harness to source: start a parker,
# wait for its own pin, end it. park-and-move.sh sources this file from its
# own folder; copy both.
#
#   start_parker CPU [COMMAND...]  corenest -n CPU (or COMMAND... -n CPU) in
#                                the background; its pid in $parker
#   wait_parked PID CPU          waits up to 10 s until it has pinned itself
#   cpus_of PID                  its CPUs, the kernel's list, in $cpus
#   end_parker PID               SIGTERM, then its status (143: SIGTERM)
#   poll TRIES COMMAND...        COMMAND until it succeeds, 10 ms apart
# Needs a sleep that takes fractions of a second (GNU coreutils, busybox);
# with one that takes none, waits a second at a time, as long in all.

# poll TRIES COMMAND...: runs COMMAND until it succeeds, at most TRIES times,
# a hundredth of a second apart; fails when it never does.
poll() {
    _tries=$1
    shift
    until "$@"; do
        _tries=$((_tries - ${_poll_step:-1}))
        [ "$_tries" -gt 0 ] || return 1
        sleep "${_poll_nap:-0.01}" 2>/dev/null || { _poll_nap=1 _poll_step=100 && sleep 1; }
    done
}

# cpus_of PID: the kernel's list of the CPUs the task may run on, in $cpus;
# empty once the task is gone. The shell reads it itself, with no process.
cpus_of() {
    cpus=''
    while read -r _key _value; do
        case $_key in Cpus_allowed_list:) cpus=$_value && return 0 ;; esac
    done 2>/dev/null <"/proc/$1/status"
}

# stat_of PID: the task's name, such as (corenest), and state, such as S, in
# $_comm and $_state; both empty once it is gone.
stat_of() {
    _comm='' _state=''
    { read -r _pid _comm _state _rest <"/proc/$1/stat"; } 2>/dev/null
}

# park_state PID CPU: 0 once the task runs as corenest on CPU alone, 2 when
# it is gone (ended, whether or not waited for), 1 before.
park_state() {
    stat_of "$1"
    case $_state in '' | Z | X) return 2 ;; esac
    [ "$_comm" = "(corenest)" ] && cpus_of "$1" && [ "$cpus" = "$2" ]
}

# settled PID CPU: the task has pinned itself to CPU, or it is gone.
settled() {
    park_state "$1" "$2"
    [ $? != 1 ]
}

# start_parker CPU [COMMAND...]: starts COMMAND (default corenest) -n CPU in
# the background; its pid in $parker, and in $!, which the shell sets as it
# forks, before it runs any trap: a trap that ends ${!:-} leaves no parker.
start_parker() {
    _cpu=$1
    shift
    [ $# -gt 0 ] || set -- corenest
    "$@" -n "$_cpu" &
    # shellcheck disable=SC2034 # for the harness that sources this file
    parker=$!
}

# wait_parked PID CPU: waits up to 10 s until the task has pinned itself to
# CPU. corenest prints nothing once pinned; it has pinned itself once it runs
# as corenest on CPU alone, provided that it started on other CPUs too: until
# then it may be the shell that starts it, or corenest before its pin, which
# would undo a move. That it sleeps proves nothing: it may sleep before its
# pin, while its program is read from a slow file system. Fails at once when
# the task is gone.
wait_parked() {
    poll 1000 settled "$1" "$2" && park_state "$1" "$2"
}

# end_parker PID: ends the task with SIGTERM and waits for it: the status is
# 143 where the signal ended it.
end_parker() {
    kill -TERM "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}

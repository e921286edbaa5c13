#!/bin/sh
# SPDX-License-Identifier: MIT
# corehop-sweep as a LAVA test: finds corehop-sweep, corehop and corenest, or
# fetches the release's archive of this machine's architecture (checked
# against the release's SHA256SUMS), runs the sweep, and turns its KTAP into
# LAVA test cases: one a result line, named after its description, pass, fail
# or skip as KTAP says; then "sweep-plan" (the results counted against the
# plan) and "sweep-status" (the sweep's exit status: 0 pass, 4 skip, else
# fail). "sweep-programs" comes first: it fails where the programs can be
# neither found nor fetched, and nothing else runs.
#
#   corehop-sweep.sh [-c CPUS] [-H true|false] [-i true|false] [-w SECONDS] [-p FOLDER]
#                    [-r RELEASE] [-s true|false]
#
#   -c CPUS     move only to these CPUs, in the kernel's list format (default: all)
#   -H true     also take a CPU offline under a parked task and bring it back
#               (root; default false)
#   -i true     audit instead the CPUs the machine isolates (corehop-sweep -i;
#               default false)
#   -w SECONDS  with -i true, also what disturbs each isolated CPU over a
#               window of SECONDS (corehop-sweep -i -w; default: none)
#   -p FOLDER   the folder of corehop-sweep, with corehop and corenest beside it
#               or on PATH (default: corehop-sweep on PATH)
#   -r RELEASE  a release, as a URL or a folder holding SHA256SUMS and the
#               programs' archives, to fetch the programs from where they are
#               missing (default: none)
#   -s true     skip the fetch: only programs already here run (default false)
#
# Writes, in ./output: ktap.txt (the sweep's report, which it also prints),
# result.txt (a line a case: "NAME RESULT") and, where the release is
# fetched, its SHA256SUMS, archive and programs; nothing else there. Where
# LAVA runs it, each case goes to LAVA with lava-test-case once the sweep
# has ended, so that kernel messages on the console, such as those of a CPU
# going offline, never cut a result.
# The sweep judges its own options together (-i takes no -c, -w goes with
# -i): where it refuses them, as a bad command line, so does this.
# A POSIX sh program, the same under dash, bash and busybox sh; a fetch needs
# curl or wget, sha256sum, tar and gzip. Exit status: 0 no case failed, 1 a
# case failed, 2 a bad command line, this one's or the sweep's.
set +e +f -u

usage() {
    echo "usage: corehop-sweep.sh [-c CPUS] [-H true|false] [-i true|false] [-w SECONDS] [-p FOLDER] [-r RELEASE] [-s true|false]"
}

# case_of NAME RESULT: one case of the run itself, in the results.
case_of() {
    printf '%s %s\n' "$1" "$2" >>"$output/result.txt"
}

# truth OPTION VALUE: VALUE (true or false) in $truth; a bad value is a bad
# command line.
truth() {
    case $2 in
    true | false) truth=$2 ;;
    *)
        printf 'corehop-sweep.sh: -%s takes true or false, not "%s"\n' "$1" "$2" >&2
        usage >&2
        exit 2
        ;;
    esac
}

# debian_arch: the Debian architecture of this machine's programs, as the
# release names its archives.
debian_arch() {
    case $(uname -m) in
    x86_64) echo amd64 ;;
    aarch64 | arm64) echo arm64 ;;
    ppc64le) echo ppc64el ;;
    s390x) echo s390x ;;
    riscv64) echo riscv64 ;;
    i?86) echo i386 ;;
    armv7* | armv8l) echo armhf ;;
    *) uname -m ;;
    esac
}

# fetch FILE TO: FILE of the release, a URL or in a folder, copied to TO.
fetch() {
    case $release in
    http://* | https://* | ftp://*)
        if command -v curl >/dev/null; then
            curl -fsSL -o "$2" "$release/$1"
        elif command -v wget >/dev/null; then
            wget -q -O "$2" "$release/$1"
        else
            printf 'neither curl nor wget to fetch %s/%s\n' "$release" "$1" >&2
            return 1
        fi
        ;;
    file://*) cp "${release#file://}/$1" "$2" ;;
    *) cp "$release/$1" "$2" ;;
    esac
}

# install_release: the release's programs of this architecture, fetched,
# checked and unpacked in the output folder; their folder in $programs.
install_release() {
    arch=$(debian_arch)
    fetch SHA256SUMS "$output/SHA256SUMS" || return 1
    line=$(sed -n "s/^\([0-9a-f]\{64\}\) [ *]\(corehop-[^/ ]*-linux-$arch\.tar\.gz\)\$/\1 \2/p" "$output/SHA256SUMS")
    case $line in
    '' | *"$newline"*)
        printf 'no single archive for %s in %s/SHA256SUMS\n' "$arch" "$release" >&2
        return 1
        ;;
    esac
    want=${line% *} name=${line#* }
    fetch "$name" "$output/$name" || return 1
    got=$(sha256sum "$output/$name" | cut -d ' ' -f 1)
    if [ "$got" != "$want" ]; then
        printf '%s: SHA256 %s, but SHA256SUMS says %s\n' "$name" "$got" "$want" >&2
        return 1
    fi
    tar -xzf "$output/$name" -C "$output" || return 1
    programs=$output/${name%.tar.gz}/bin
    printf 'fetched %s from %s, SHA256 %s\n' "$name" "$release" "$got"
}

# ktap_cases: the KTAP report on standard input as cases, "NAME RESULT" a
# line: one a result line of the top level, then sweep-plan. A name is the
# description with each run of characters other than letters, digits, ".",
# "_" and "-" made one "_", cut to 90 characters; a name met before gets
# "_2", "_3"... A "# SKIP" directive makes the case skip, whether ok or not.
ktap_cases() {
    awk '
    /^1\.\.[0-9]+/ && plan == "" { plan = substr($1, 4) + 0 }
    /^(not )?ok [0-9]+/ {
        count++
        result = $1 == "ok" ? "pass" : "fail"
        line = $0
        sub(/^(not )?ok [0-9]+/, "", line)
        if (match(line, /[ \t]#[ \t]*[Ss][Kk][Ii][Pp]([ \t]|$)/) || match(line, /^#[ \t]*[Ss][Kk][Ii][Pp]([ \t]|$)/)) {
            result = "skip"
            line = substr(line, 1, RSTART - 1)
        }
        sub(/^[ \t]*-?[ \t]*/, "", line)
        gsub(/[^A-Za-z0-9._-]+/, "_", line)
        gsub(/^_+|_+$/, "", line)
        name = substr(line, 1, 90)
        if (name == "") name = "case_" count
        if (name in used) {
            n = 2
            while ((name "_" n) in used) n++
            name = name "_" n
        }
        used[name] = 1
        print name, result
    }
    END {
        if (plan == "") print "sweep-plan fail"
        else print "sweep-plan", (count == plan ? "pass" : "fail")
    }'
}

cpus=''
window=''
hotplug=false
isolation=false
programs=''
release=''
skip_install=false
bad_command_line=false
newline='
'
while getopts :c:H:i:w:p:r:s:h option; do
    case $option in
    c) cpus=$OPTARG ;;
    w) window=$OPTARG ;;
    H) truth H "$OPTARG" && hotplug=$truth ;;
    i) truth i "$OPTARG" && isolation=$truth ;;
    p) programs=$OPTARG ;;
    r) release=${OPTARG%/} ;;
    s) truth s "$OPTARG" && skip_install=$truth ;;
    h) usage && exit 0 ;;
    :)
        printf 'corehop-sweep.sh: -%s needs a value\n' "$OPTARG" >&2
        usage >&2
        exit 2
        ;;
    *)
        printf 'corehop-sweep.sh: unknown option -%s\n' "$OPTARG" >&2
        usage >&2
        exit 2
        ;;
    esac
done
shift $((OPTIND - 1))
[ $# = 0 ] || { usage >&2 && exit 2; }

# (its own files in ./output, made anew; nothing else there is touched)
output=$(pwd)/output
mkdir -p "$output" && : >"$output/result.txt" && rm -f "$output/ktap.txt" "$output/status" || exit 1

# The programs: in the folder given, else on PATH, else from the release.
sweep=''
if [ -n "$programs" ]; then
    [ -f "$programs/corehop-sweep" ] && [ -x "$programs/corehop-sweep" ] && sweep=$programs/corehop-sweep
else
    sweep=$(command -v corehop-sweep)
fi
if [ -z "$sweep" ]; then
    if [ -n "$programs" ]; then printf 'no corehop-sweep in %s\n' "$programs" >&2; else echo "no corehop-sweep on PATH" >&2; fi
    if [ -z "$release" ]; then
        echo "and no release to fetch it from (-r)" >&2
    elif [ "$skip_install" = true ]; then
        echo "and no fetch (-s true)" >&2
    elif install_release; then
        sweep=$programs/corehop-sweep
    fi
fi
if [ -n "$sweep" ] && [ -x "$sweep" ]; then
    case_of sweep-programs pass
    printf 'running %s\n' "$sweep"
    set -- "$sweep"
    [ -z "$cpus" ] || set -- "$@" -c "$cpus"
    [ "$hotplug" = false ] || set -- "$@" -H
    [ "$isolation" = false ] || set -- "$@" -i
    [ -z "$window" ] || set -- "$@" -w "$window"
    { "$@"; printf '%s\n' "$?" >"$output/status"; } | tee "$output/ktap.txt"
    ktap_cases <"$output/ktap.txt" >>"$output/result.txt"
    status=$(cat "$output/status")
    case $status in
    0) case_of sweep-status pass ;;
    4) case_of sweep-status skip ;;
    *) case_of sweep-status fail ;;
    esac
    printf 'corehop-sweep: exit status %s\n' "$status"
    [ "$status" != 2 ] || bad_command_line=true
else
    case_of sweep-programs fail
fi

if command -v lava-test-case >/dev/null; then
    while read -r name result; do
        lava-test-case "$name" --result "$result"
    done <"$output/result.txt"
fi
[ "$bad_command_line" = false ] || exit 2
! grep -q ' fail$' "$output/result.txt"

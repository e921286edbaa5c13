#!/usr/bin/env bats
# What ships: the installed tree, the man pages, the bash completion, the
# Debian package, and what the programs need at run time.

# shellcheck source=tests/common.bash
source "$BATS_TEST_DIRNAME/common.bash"

SOURCE=$BATS_TEST_DIRNAME/..
BUILD=${BUILD:?BUILD must name the build tree}

INSTALLED='usr/bin/corehop
usr/bin/corenest
usr/share/bash-completion/completions/corehop
usr/share/bash-completion/completions/corenest
usr/share/man/man1/corehop.1
usr/share/man/man1/corenest.1'

@test "the install puts the programs, man pages and completions in place" {
    local root=$BATS_TEST_TMPDIR/root
    DESTDIR=$root cmake --install "$BUILD" --prefix /usr >/dev/null
    [ "$(cd "$root" && find . -type f | sed 's|^\./||' | sort)" = "$INSTALLED" ]
    "$root/usr/bin/corehop" -c 0 -p 0
}

@test "the man pages render with no warning" {
    for page in "$SOURCE"/man/*.1; do
        run --separate-stderr groff -man -ww -z "$page"
        [ "$status" = 0 ] && [ -z "$stderr" ] || { echo "$page: $stderr" >&2; return 1; }
    done
}

@test "each man page has the sections a user looks for" {
    command -v man >/dev/null || skip "needs man (man-db)"
    for program in corehop corenest; do
        run --separate-stderr env MANWIDTH=80 man -l "$SOURCE/man/$program.1"
        [ "$status" = 0 ] && [ -z "$stderr" ]
        local headings
        headings=$(grep -E '^[A-Z][A-Z ]+$' <<<"$output" | tr '\n' ,)
        [ "$headings" = "NAME,SYNOPSIS,DESCRIPTION,OPTIONS,EXIT STATUS,EXAMPLES,NOTES,SEE ALSO," ]
        grep -q "taskset(1), sched_setaffinity(2)" <<<"$output"
    done
}

# offers WORDS...: the completions offered for the last of the command words.
offers() {
    # shellcheck source=completion/corehop
    source "$SOURCE/completion/corehop"
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _corehop "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]:-}"
    [ ${#COMPREPLY[@]} = 0 ] || printf '%s\n' "${COMPREPLY[@]}" | sort -n
}

@test "completion offers the options, the online CPUs and the process ids" {
    local cpus
    cpus=$(lscpu --online --parse=CPU | grep -v '^#' | sort -n)
    # words | what completion offers
    while IFS='|' read -r words want; do
        eval "set -- $words"
        [ "$(offers "$@" | tr '\n' ' ')" = "$want" ] || {
            echo "$words: $(offers "$@" | tr '\n' ' '), want $want" >&2
            return 1
        }
    done <<EOF_CASES
corehop ''|-c -p 
corehop -|-c -p 
corehop -c 0 ''|-c -p 
/usr/bin/corehop -p 1 ''|-c -p 
corehop -c 0 -p 1 -|-c -p 
corenest ''|-n 
corenest -|-n 
/usr/bin/corenest -n 0 ''|-n 
corehop -c ''|$(tr '\n' ' ' <<<"$cpus")
corenest -n ''|$(tr '\n' ' ' <<<"$cpus")
corehop -c 99999|
EOF_CASES
    # after -p: process ids alone, the live ones among them
    offers corehop -p 1 -c 0 -p '' >"$BATS_TEST_TMPDIR/pids"
    [ "$(grep -cvx '[0-9][0-9]*' "$BATS_TEST_TMPDIR/pids")" = 0 ]
    grep -qx 1 "$BATS_TEST_TMPDIR/pids"
    grep -qx "$$" "$BATS_TEST_TMPDIR/pids"
    [ "$(grep -c . "$BATS_TEST_TMPDIR/pids")" -gt 2 ]
    offers corehop -p "$$" | grep -qx "$$"
    [ "$(offers corehop -p "$$" | grep -cv "^$$")" = 0 ]
    run bash -c "source '$SOURCE/completion/corehop' && complete -p corehop corenest"
    [ "$output" = "complete -F _corehop corehop
complete -F _corehop corenest" ]
}

@test "the programs need nothing at run time but the C library" {
    case $LINKAGE in
    sanitized) skip "the sanitizer build links its runtime" ;;
    static)
        for program in corehop corenest; do
            file -L "$BIN/$program" | grep -q 'statically linked'
            [ "$(readelf -d "$BIN/$program" | grep -c NEEDED)" = 0 ]
        done
        ;;
    *)
        for program in corehop corenest; do
            [ "$(readelf -d "$BIN/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')" = libc.so.6 ]
        done
        ;;
    esac
}

@test "the Debian package carries both programs, man pages and completions, needing libc6" {
    [ "$LINKAGE" = dynamic ] || skip "the package is made from the dynamic build, this is $LINKAGE"
    command -v dpkg-shlibdeps >/dev/null || skip "needs dpkg-shlibdeps (dpkg-dev)"
    cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$BATS_TEST_TMPDIR/package" >/dev/null
    local deb
    deb=$(echo "$BATS_TEST_TMPDIR"/package/corehop_*_amd64.deb)
    [ -f "$deb" ]
    [ "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)" = "$INSTALLED" ]
    [ "$(dpkg-deb -f "$deb" Package)" = corehop ]
    [[ "$(dpkg-deb -f "$deb" Depends)" =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]]
}

#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# What ships: the installed tree, the man pages, the bash completion, the
# Debian and RPM packages, and what the programs need at run time.

# shellcheck source=tests/common.bash
source "$BATS_TEST_DIRNAME/common.bash"

SOURCE=$BATS_TEST_DIRNAME/..
BUILD=${BUILD:?BUILD must name the build tree}

INSTALLED='usr/bin/corehop
usr/bin/corenest
usr/share/bash-completion/completions/corehop
usr/share/bash-completion/completions/corenest
usr/share/man/man1/corehop.1.gz
usr/share/man/man1/corenest.1.gz'

# What each package adds to the install.
DEB_DOCS='usr/share/doc/corehop/changelog.gz
usr/share/doc/corehop/copyright'
RPM_DOCS='usr/share/doc/corehop/changelog.gz
usr/share/licenses/corehop/LICENSE'

# packages: makes the .deb and the .rpm of the build once for the file, in
# $BATS_FILE_TMPDIR/package; skips where they cannot be made.
packages() {
    [ "$LINKAGE" = dynamic ] || skip "the packages are made from the dynamic build, this is $LINKAGE"
    local tool
    for tool in dpkg-shlibdeps rpmbuild lintian rpmlint rpm2cpio; do
        command -v "$tool" >/dev/null || skip "needs $tool (dpkg-dev, rpm, lintian, rpmlint)"
    done
    package=$BATS_FILE_TMPDIR/package
    if [ ! -d "$package" ]; then
        for generator in DEB RPM; do
            cpack -G "$generator" --config "$BUILD/CPackConfig.cmake" -B "$package" >/dev/null 2>&1
        done
    fi
    deb=$(echo "$package"/corehop_*_amd64.deb)
    rpm=$(echo "$package"/corehop-*-1.x86_64.rpm)
    [ -f "$deb" ] && [ -f "$rpm" ]
}

# files_of ROOT: the files and links below ROOT, one path a line, sorted.
files_of() {
    (cd "$1" && find . -type f -o -type l) | sed 's|^\./||' | sort
}

@test "the install puts the programs, man pages and completions in place" {
    local root=$BATS_TEST_TMPDIR/root
    DESTDIR=$root cmake --install "$BUILD" --prefix /usr >/dev/null
    [ "$(files_of "$root")" = "$INSTALLED" ]
    "$root/usr/bin/corehop" -c 0 -p 0
}

@test "the man pages render with no warning" {
    for page in "$BUILD"/man/*.1; do
        run --separate-stderr groff -man -ww -z "$page"
        [ "$status" = 0 ] && [ -z "$stderr" ] || { echo "$page: $stderr" >&2; return 1; }
    done
}

@test "each man page has the sections a user looks for" {
    command -v man >/dev/null || skip "needs man (man-db)"
    for program in corehop corenest; do
        run --separate-stderr env MANWIDTH=80 man -l "$BUILD/man/$program.1.gz"
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

@test "the man pages carry the project's version and the release date of its changelog" {
    local version date
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
    [ "$(head -n 1 "$SOURCE/packaging/changelog")" = "corehop ($version) unstable; urgency=medium" ]
    date=$(date -u -d "$(grep -m 1 '^ -- ' "$SOURCE/packaging/changelog" | sed 's/.*>  //')" +%F)
    for program in corehop corenest; do
        grep -qx "\.TH ${program^^} 1 $date \"corehop $version\" \"User Commands\"" "$BUILD/man/$program.1"
    done
}

@test "the packages pass lintian and rpmlint: no error, no warning, but the unsigned rpm" {
    packages
    # (lintian warns on standard error when run as root: not a tag)
    run --separate-stderr lintian --tag-display-limit 0 "$deb"
    [ "$status" = 0 ] && [ -z "$output" ] || { echo "$output" >&2; return 1; }
    # rpmlint's own tally; the warnings it gives for Fedora's conventions
    # are listed, the errors fail but for the signature, the distribution's.
    run rpmlint "$rpm"
    grep -E '^corehop\.[a-z0-9_]+: E: ' <<<"$output" | grep -v ': E: no-signature$' >&2 && return 1
    [[ "$output" =~ "1 errors" ]] || { echo "$output" >&2; return 1; }
}

@test "each package installs the programs, man pages, completions and its documents" {
    packages
    local root=$BATS_TEST_TMPDIR/deb
    dpkg-deb -x "$deb" "$root"
    [ "$(files_of "$root")" = "$(sort <<<"$INSTALLED"$'\n'"$DEB_DOCS")" ]
    [ "$(dpkg-deb -f "$deb" Package Architecture)" = $'Package: corehop\nArchitecture: amd64' ]
    [[ "$(dpkg-deb -f "$deb" Depends)" =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]]
    # root owns every file; programs and folders 0755, the rest 0644, and
    # corenest's completion is corehop's
    [ "$(dpkg-deb -c "$deb" | awk '$2 != "root/root" || ($1 != "drwxr-xr-x" && $1 != "-rwxr-xr-x" && $1 != "-rw-r--r--" && $1 != "lrwxrwxrwx")')" = "" ]
    [ "$(readlink "$root/usr/share/bash-completion/completions/corenest")" = corehop ]
    [ "$(dpkg-deb -c "$deb" | awk '$1 == "-rwxr-xr-x" {print $6}')" = $'./usr/bin/corehop\n./usr/bin/corenest' ]
    expect 0 "Pass: switch thread 0 to cpu 0 success"$'\n' "" "$root/usr/bin/corehop" -c 0 -p 0
    file "$root/usr/bin/corehop" | grep -q ', stripped'
    MANWIDTH=80 man -l "$root/usr/share/man/man1/corehop.1.gz" | grep -q '^NAME'
    grep -q '^License: Expat$' "$root/usr/share/doc/corehop/copyright"

    root=$BATS_TEST_TMPDIR/rpm
    mkdir "$root"
    (cd "$root" && rpm2cpio "$rpm" | cpio -idm --quiet)
    [ "$(files_of "$root")" = "$(sort <<<"$INSTALLED"$'\n'"$RPM_DOCS")" ]
    # nothing needed but the C library's sonames and the rpm features
    [ "$(rpm -qpR "$rpm" 2>/dev/null | grep -Ev '^(libc\.so\.6\(|rtld\(GNU_HASH\)|rpmlib\()')" = "" ]
    expect 0 "Pass: switch thread 0 to cpu 0 success"$'\n' "" "$root/usr/bin/corehop" -c 0 -p 0
    MANWIDTH=80 man -l "$root/usr/share/man/man1/corenest.1.gz" | grep -q '^NAME'
    cmp "$root/usr/share/licenses/corehop/LICENSE" "$SOURCE/LICENSE"
}

@test "two builds of the same commit give the same .deb, byte for byte" {
    [ "$LINKAGE" = dynamic ] || skip "the package is made from the dynamic build, this is $LINKAGE"
    command -v dpkg-shlibdeps >/dev/null || skip "needs dpkg-shlibdeps (dpkg-dev)"
    local build
    for build in one two; do
        build=$BATS_TEST_TMPDIR/$build
        cmake -S "$SOURCE" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCOREHOP_TESTS=OFF >/dev/null
        cmake --build "$build" -j 2 >/dev/null
        (cd "$build" && env -u SOURCE_DATE_EPOCH cpack -G DEB >/dev/null 2>&1)
    done
    cmp "$BATS_TEST_TMPDIR"/one/corehop_*.deb "$BATS_TEST_TMPDIR"/two/corehop_*.deb
}

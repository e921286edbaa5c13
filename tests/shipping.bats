#!/usr/bin/env bats
# SPDX-License-Identifier: MIT
# What ships: the installed tree, the man pages, the bash completion, the
# Debian and RPM packages, and what the programs need at run time.

# shellcheck source=tests/common.bash
source "$BATS_TEST_DIRNAME/common.bash"

SOURCE=$BATS_TEST_DIRNAME/..
BUILD=${BUILD:?BUILD must name the build tree}
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")

PROGRAMS='corehop corehop-sweep corenest'
INSTALLED='usr/bin/corehop
usr/bin/corehop-sweep
usr/bin/corenest
usr/share/bash-completion/completions/corehop
usr/share/bash-completion/completions/corehop-sweep
usr/share/bash-completion/completions/corenest
usr/share/doc/corehop/README.md
usr/share/doc/corehop/examples/park-and-move.sh
usr/share/doc/corehop/examples/parking.sh
usr/share/man/man1/corehop-sweep.1.gz
usr/share/man/man1/corehop.1.gz
usr/share/man/man1/corenest.1.gz'

# What each package adds to the install.
DEB_DOCS='usr/share/doc/corehop/changelog.gz
usr/share/doc/corehop/copyright'
RPM_DOCS='usr/share/doc/corehop/changelog.gz
usr/share/licenses/corehop/LICENSE'

USAGE='usage: release.sh [-o DIST] [-b BUILD] [ARCH...] | release.sh --compilers'

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
        # made as one whose umask lets nobody else read: the modes must not show it
        for generator in DEB RPM; do
            (umask 077 && cpack -G "$generator" --config "$BUILD/CPackConfig.cmake" -B "$package" >/dev/null 2>&1)
        done
    fi
    deb=$(echo "$package"/corehop_*_amd64.deb)
    rpm=$(echo "$package"/corehop-*-1.x86_64.rpm)
    [ -f "$deb" ] && [ -f "$rpm" ]
}

# What a release archive holds, below its folder: an install's files, and
# the licence beside the other documents.
ARCHIVED=$(sort <<<"${INSTALLED//usr\//}"$'\nshare/doc/corehop/LICENSE')

# Each target of the release: Debian architecture|GNU triple|RPM
# architecture|what uname -m says of its machines|what file(1) says of its
# programs.
TARGETS=$(grep -v '^#' "$SOURCE/packaging/targets")

# release: skips where the build's release test made no release in $DIST.
release() {
    [ -f "${DIST:-}/SHA256SUMS" ] || skip "no release in ${DIST:-DIST}: the release test made none"
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
    [ -x "$root/usr/share/doc/corehop/examples/park-and-move.sh" ]
}

@test "the man pages render with no warning" {
    for page in "$BUILD"/man/*.1; do
        run --separate-stderr groff -man -ww -z "$page"
        [ "$status" = 0 ] && [ -z "$stderr" ] || { echo "$page: $stderr" >&2; return 1; }
    done
}

@test "each man page has the sections a user looks for, in 80 columns" {
    command -v man >/dev/null || skip "needs man (man-db)"
    for program in $PROGRAMS; do
        run --separate-stderr env MANWIDTH=80 man -l "$BUILD/man/$program.1.gz"
        [ "$status" = 0 ] && [ -z "$stderr" ]
        local headings
        headings=$(grep -E '^[A-Z][A-Z ]+$' <<<"$output" | tr '\n' ,)
        [ "$headings" = "NAME,SYNOPSIS,DESCRIPTION,OPTIONS,EXIT STATUS,EXAMPLES,NOTES,SEE ALSO," ]
        grep -q "taskset(1), sched_setaffinity(2)" <<<"$output"
        # every line within the 80 columns, counted in characters (groff may
        # hyphenate with U+2010, three bytes)
        [ "$(LC_ALL=C.UTF-8 grep -E '^.{81}' <<<"$output")" = "" ] ||
            { LC_ALL=C.UTF-8 grep -E '^.{81}' <<<"$output" >&2 && return 1; }
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
    [ ${#COMPREPLY[@]} = 0 ] || printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort -n
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
corehop-sweep ''|-H -c -h -i -l -w 
/usr/bin/corehop-sweep -H ''|-H -c -h -i -l -w 
corehop-sweep -i -w ''|1 10 60 600 
corehop -c ''|$(tr '\n' ' ' <<<"$cpus")
corenest -n ''|$(tr '\n' ' ' <<<"$cpus")
corehop-sweep -c ''|$(tr '\n' ' ' <<<"$cpus")
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
    run bash -c "source '$SOURCE/completion/corehop' && complete -p $PROGRAMS"
    [ "$output" = "complete -F _corehop corehop
complete -F _corehop corehop-sweep
complete -F _corehop corenest" ]
}

@test "the programs need nothing at run time but the C library" {
    case $LINKAGE in
    sanitized) skip "the sanitizer build links its runtime" ;;
    static)
        for program in $PROGRAMS; do
            file -L "$BIN/$program" | grep -q 'statically linked'
            [ "$(readelf -d "$BIN/$program" | grep -c NEEDED)" = 0 ]
        done
        ;;
    *)
        for program in $PROGRAMS; do
            [ "$(readelf -d "$BIN/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')" = libc.so.6 ]
        done
        ;;
    esac
}

@test "the man pages carry the project's version and the release date of its changelog" {
    local date
    [ "$(head -n 1 "$SOURCE/packaging/changelog")" = "corehop ($VERSION) unstable; urgency=medium" ]
    date=$(date -u -d "$(grep -m 1 '^ -- ' "$SOURCE/packaging/changelog" | sed 's/.*>  //')" +%F)
    for program in $PROGRAMS; do
        grep -qx "\.TH ${program^^} 1 $date \"corehop $VERSION\" \"User Commands\"" "$BUILD/man/$program.1"
    done
}

@test "the packages pass lintian and rpmlint: no tag, no error, no warning, but the unsigned rpm" {
    packages
    # (lintian warns on standard error when run as root: not a tag)
    run --separate-stderr lintian --tag-display-limit 0 "$deb"
    [ "$status" = 0 ] && [ -z "$output" ] || { echo "$output" >&2; return 1; }
    # nor an informational one
    run --separate-stderr lintian -I --tag-display-limit 0 "$deb"
    [ -z "$output" ] || { echo "$output" >&2; return 1; }
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
    [ "$(readlink "$root/usr/share/bash-completion/completions/corehop-sweep")" = corehop ]
    [ "$(dpkg-deb -c "$deb" | awk '$1 == "-rwxr-xr-x" {print $6}' | LC_ALL=C sort)" = "$(for program in $PROGRAMS; do echo "./usr/bin/$program"; done; echo ./usr/share/doc/corehop/examples/park-and-move.sh)" ]
    [ "$(dpkg-deb -f "$deb" Recommends)" = bash-completion ]
    expect 0 "Pass: switch thread 0 to cpu 0 success"$'\n' "" "$root/usr/bin/corehop" -c 0 -p 0
    file "$root/usr/bin/corehop" | grep -q ', stripped'
    MANWIDTH=80 man -l "$root/usr/share/man/man1/corehop.1.gz" | grep -q '^NAME'
    grep -q '^License: Expat$' "$root/usr/share/doc/corehop/copyright"

    root=$BATS_TEST_TMPDIR/rpm
    mkdir "$root"
    (cd "$root" && rpm2cpio "$rpm" | cpio -idm --quiet)
    [ "$(files_of "$root")" = "$(sort <<<"$INSTALLED"$'\n'"$RPM_DOCS")" ]
    # nothing needed but the C library's sonames, the example's shell and
    # the rpm features; the completion's loader recommended
    [ "$(rpm -qpR "$rpm" 2>/dev/null | grep -Ev '^(libc\.so\.6\(|rtld\(GNU_HASH\)|rpmlib\(|/bin/sh$)')" = "" ]
    [ "$(rpm -qp --recommends "$rpm" 2>/dev/null)" = bash-completion ]
    [ "$(rpm -qlvp "$rpm" 2>/dev/null | awk '$1 != "drwxr-xr-x" && $1 != "-rwxr-xr-x" && $1 != "-rw-r--r--" && $1 != "lrwxrwxrwx"')" = "" ]
    [ "$(rpm -qp --qf '%{VENDOR}|%{PREFIXES}|%{BUILDHOST}' "$rpm" 2>/dev/null)" = "the corehop developers|(none)|reproducible" ]
    expect 0 "Pass: switch thread 0 to cpu 0 success"$'\n' "" "$root/usr/bin/corehop" -c 0 -p 0
    MANWIDTH=80 man -l "$root/usr/share/man/man1/corenest.1.gz" | grep -q '^NAME'
    cmp "$root/usr/share/licenses/corehop/LICENSE" "$SOURCE/LICENSE"
}

@test "two builds of the same commit, under umask 022 and 077, give the same packages, byte for byte" {
    [ "$LINKAGE" = dynamic ] || skip "the packages are made from the dynamic build, this is $LINKAGE"
    command -v dpkg-shlibdeps >/dev/null && command -v rpmbuild >/dev/null ||
        skip "needs dpkg-shlibdeps (dpkg-dev) and rpmbuild (rpm)"
    local build
    for build in one:022 two:077; do
        (umask "${build#*:}"
            build=$BATS_TEST_TMPDIR/${build%:*}
            cmake -S "$SOURCE" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCOREHOP_TESTS=OFF >/dev/null
            cmake --build "$build" -j 2 >/dev/null
            cd "$build" && env -u SOURCE_DATE_EPOCH cpack -G DEB >/dev/null 2>&1 &&
                env -u SOURCE_DATE_EPOCH cpack -G RPM >/dev/null 2>&1)
    done
    cmp "$BATS_TEST_TMPDIR"/one/corehop_*.deb "$BATS_TEST_TMPDIR"/two/corehop_*.deb
    cmp "$BATS_TEST_TMPDIR"/one/corehop-*.rpm "$BATS_TEST_TMPDIR"/two/corehop-*.rpm
    # the packages themselves and the .deb's members readable by all
    [ "$(stat -c %a "$BATS_TEST_TMPDIR"/two/corehop_*.deb "$BATS_TEST_TMPDIR"/two/corehop-*.rpm)" = $'644\n644' ]
    [ "$(ar tv "$BATS_TEST_TMPDIR"/two/corehop_*.deb | awk '$1 != "rw-r--r--"')" = "" ]
}

@test "the one time stamp: the caller's, the last commit's at the top of a work tree, else the release date's" {
    command -v git >/dev/null || skip "needs git"
    local outer=$BATS_TEST_TMPDIR/outer release_date commit
    release_date=$(sed -n 's/^set(COREHOP_RELEASE_DATE \(.*\))$/\1/p' "$SOURCE/CMakeLists.txt")
    # the sources unpacked inside another repository, whose commit is older
    mkdir -p "$outer/src"
    cp -r "$SOURCE/packaging" "$outer/src/"
    git -C "$outer" init -q
    GIT_COMMITTER_DATE=@1000000000 git -C "$outer" -c user.name=t -c user.email=t@t commit -q --allow-empty -m old
    if git -C "$SOURCE" rev-parse --show-toplevel >/dev/null 2>&1; then
        commit=$(git -C "$SOURCE" log -1 --format=%ct)
    else
        commit=$(date -u -d "$release_date" +%s)
    fi
    # SOURCE_DATE_EPOCH | source folder | owned by another user | the time stamp
    while IFS='|' read -r given folder other want; do
        # shellcheck disable=SC2016 # CMake's own expansion
        printf 'include(%s/packaging/source-date-epoch.cmake)\nsource_date_epoch(%s %s epoch)\nmessage("${epoch}")\n' \
            "$SOURCE" "$folder" "$release_date" >"$BATS_TEST_TMPDIR/probe.cmake"
        local caller=(-u SOURCE_DATE_EPOCH)
        [ -z "$given" ] || caller=(SOURCE_DATE_EPOCH="$given")
        # (git takes any repository as another user's with this)
        [ -z "$other" ] || caller+=(GIT_TEST_ASSUME_DIFFERENT_OWNER=1)
        run env "${caller[@]}" cmake -P "$BATS_TEST_TMPDIR/probe.cmake"
        [ "$output" = "$want" ] || { echo "$given|$folder|$other: $output, want $want" >&2; return 1; }
    done <<EOF_CASES
1234|$SOURCE||1234
|$SOURCE||$commit
|$SOURCE|yes|$commit
|$outer/src||$(date -u -d "$release_date" +%s)
|$outer/src|yes|$(date -u -d "$release_date" +%s)
|$outer||1000000000
EOF_CASES
}

@test "each release archive holds its target's static programs, man pages, completion and documents; the LAVA one its test" {
    release
    local arch machine name root=$BATS_TEST_TMPDIR/archives
    mkdir "$root"
    while IFS='|' read -r arch _ _ _ machine; do
        name=corehop-$VERSION-linux-$arch
        [ "$(tar -tzf "$DIST/$name.tar.gz" | grep -v '/$')" = "$(awk -v folder="$name/" '{ print folder $0 }' <<<"$ARCHIVED")" ] ||
            { echo "$name: $(tar -tzf "$DIST/$name.tar.gz")" >&2; return 1; }
        # nothing at the top but the programs' and the shared folders
        [ "$(tar -tzf "$DIST/$name.tar.gz" | cut -d/ -f2 | sort -u | tr '\n' ' ')" = " bin share " ]
        # root's, folders and programs 0755, the rest 0644
        [ "$(tar -tvzf "$DIST/$name.tar.gz" | awk '$2 != "0/0" || ($1 !~ /^(drwxr-xr-x|-rwxr-xr-x|-rw-r--r--|l.*)$/)')" = "" ]
        tar -xzf "$DIST/$name.tar.gz" -C "$root"
        for program in $PROGRAMS; do
            # shellcheck disable=SC2053 # the table's column is a pattern
            [[ "$(file -b "$root/$name/bin/$program")" == $machine" "*", statically linked, "*", stripped" ]] ||
                { echo "$name/bin/$program: $(file -b "$root/$name/bin/$program"), want $machine" >&2; return 1; }
        done
        cmp "$root/$name/share/doc/corehop/LICENSE" "$SOURCE/LICENSE"
    done <<<"$TARGETS"
    [ "$(cut -c 67- "$DIST/SHA256SUMS")" = "$(cut -d'|' -f1 <<<"$TARGETS" | sed "s/.*/corehop-$VERSION-linux-&.tar.gz/")
corehop-lava-$VERSION.tar.gz" ]
    (cd "$DIST" && sha256sum --quiet -c SHA256SUMS)
    # the LAVA test definition, as a lab fetches it: its folder, the script 0755
    [ "$(tar -tvzf "$DIST/corehop-lava-$VERSION.tar.gz" | awk '{ print $1, $2, $6 }')" = "drwxr-xr-x 0/0 corehop-sweep/
-rw-r--r-- 0/0 corehop-sweep/LICENSE
-rw-r--r-- 0/0 corehop-sweep/README.md
-rwxr-xr-x 0/0 corehop-sweep/corehop-sweep.sh
-rw-r--r-- 0/0 corehop-sweep/corehop-sweep.yaml" ]
    # the amd64 programs run here
    expect 0 "Pass: switch thread 0 to cpu 0 success"$'\n' "" "$root/corehop-$VERSION-linux-amd64/bin/corehop" -c 0 -p 0
    # a dynamic build makes no archive, and says why
    [ "$LINKAGE" != dynamic ] || {
        run cmake --build "$BUILD" --target archive
        [ "$status" != 0 ] && [[ "$output" == *"a release archive holds static programs"* ]]
        [ "$(find "$BUILD" -maxdepth 1 -name '*.tar.gz')" = "" ]
    }
}

@test "a second release, under another umask and in another build folder, gives the same bytes" {
    release
    # (a target of the machine's own and a 32-bit cross one: the others are
    # made the same way)
    (umask 077 && "$SOURCE/packaging/release.sh" -o "$BATS_TEST_TMPDIR/dist" -b "$BATS_TEST_TMPDIR/build" amd64 armhf >/dev/null)
    [ "$(files_of "$BATS_TEST_TMPDIR/dist")" = "$(printf '%s\n' SHA256SUMS corehop-{"$VERSION-linux-amd64","$VERSION-linux-armhf",lava-"$VERSION"}.tar.gz | sort)" ]
    for file in "$BATS_TEST_TMPDIR/dist"/*.tar.gz; do
        cmp "$file" "$DIST/${file##*/}"
    done
    grep -F -f "$BATS_TEST_TMPDIR/dist/SHA256SUMS" "$DIST/SHA256SUMS" | cmp - "$BATS_TEST_TMPDIR/dist/SHA256SUMS"
}

@test "a release that cannot be made or is stopped leaves DIST as it was; one made replaces only its own" {
    release
    local dist=$BATS_TEST_TMPDIR/dist build=$BATS_TEST_TMPDIR/build tools=$BATS_TEST_TMPDIR/tools
    local script=$SOURCE/packaging/release.sh targets status=0
    targets=$(cut -d'|' -f1 <<<"$TARGETS" | tr '\n' ' ')
    # a folder shared with an earlier release: this one, and 0.9.0 in the sums
    mkdir "$dist"
    cp "$DIST"/* "$dist/"
    echo 0.9.0 >"$dist/corehop-0.9.0-linux-amd64.tar.gz"
    (cd "$dist" && sha256sum corehop-0.9.0-linux-amd64.tar.gz >>SHA256SUMS)
    snapshot() { (cd "$dist" && ls -lA --time-style=+%s.%N && sha256sum -- *); }
    snapshot >"$BATS_TEST_TMPDIR/before"
    # the tools the release needs before its compilers, and no compiler
    mkdir "$tools"
    for tool in dirname grep dpkg; do ln -s "$(command -v "$tool")" "$tools/"; done
    # arguments | PATH | status | standard error
    while IFS='|' read -r args path want_status want_err; do
        eval "set -- $args"
        expect "$want_status" "" "$(printf '%b' "$want_err")"$'\n' \
            env PATH="${path:-$PATH}" "$BASH" "$script" -o "$dist" -b "$build" "$@"
        snapshot | diff "$BATS_TEST_TMPDIR/before" - >&2 || { echo "after: $args" >&2 && return 1; }
    done <<EOF_CASES
bogus||2|release: no target bogus; the targets: ${targets% }\\n$USAGE
amd64 -o elsewhere||2|release: no target -o; the targets: ${targets% }\\n$USAGE
'amd6.'||2|release: no target amd6.; the targets: ${targets% }\\n$USAGE
-x||2|$script: illegal option -- x\\n$USAGE
s390x armhf s390x|$tools|1|release: no compiler for s390x: s390x-linux-gnu-g++, from g++-s390x-linux-gnu\\nrelease: no compiler for armhf: arm-linux-gnueabihf-g++, from g++-arm-linux-gnueabihf\\nrelease: apt-get install g++-s390x-linux-gnu g++-arm-linux-gnueabihf
EOF_CASES
    # SIGINT once an archive is made (SIGINT at its default: a background
    # job of a script starts with it ignored)
    env --default-signal=INT "$script" -o "$dist" -b "$build" amd64 arm64 >/dev/null &
    local release=$!
    one() { [ "$(find "$build/stage" -name '*.tar.gz' 2>/dev/null | wc -l)" -ge 1 ]; }
    poll 3000 one
    kill -INT "$release"
    wait "$release" || status=$?
    [ "$status" = 130 ]
    snapshot | diff "$BATS_TEST_TMPDIR/before" - >&2
    # made, a target named twice once: its archive and sums; the rest kept
    "$script" -o "$dist" -b "$build" arm64 arm64 >/dev/null
    [ "$(cat "$dist/corehop-0.9.0-linux-amd64.tar.gz")" = 0.9.0 ]
    [ "$(cut -c 67- "$dist/SHA256SUMS" | tr '\n' ' ')" = "$(cut -c 67- "$DIST/SHA256SUMS" | grep -v 'arm64\|lava' | tr '\n' ' ')corehop-0.9.0-linux-amd64.tar.gz corehop-$VERSION-linux-arm64.tar.gz corehop-lava-$VERSION.tar.gz " ]
    (cd "$dist" && sha256sum --quiet -c SHA256SUMS)
}

@test "the LAVA test, which runs where this tree is not, names the architecture of each machine as the targets' table does" {
    local want got
    want=$(while IFS='|' read -r arch _ _ machines _; do
        printf '%s) echo %s ;;\n' "${machines// / | }" "$arch"
    done <<<"$TARGETS")
    got=$(sed -n '/^debian_arch() {$/,/^}$/s/^    \(.*) echo [a-z0-9]* ;;\)$/\1/p' "$SOURCE/lava/corehop-sweep.sh")
    [ "$got" = "$want" ] || { diff <(echo "$want") <(echo "$got") >&2 && return 1; }
}

@test "the exit statuses: each program's man page and the README list the same, and so does the sweep's -h" {
    local column=2 program man readme help
    for program in corehop corenest corehop-sweep; do
        column=$((column + 1))
        man=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH [A-Z]/p' "$SOURCE/man/$program.1.in" |
            awk '/^\.TP$/ { getline; if ($1 == ".B") print $2 } /128 plus/ { print "128+N" }' | sort -u)
        readme=$(awk -F' *[|] *' -v column="$column" '/^[|] [0-9]/ && $column != "—" { print $2 }' "$SOURCE/README.md" | sort -u)
        [ "$man" = "$readme" ] ||
            { echo "$program: the man page lists ${man//$'\n'/ }, the README ${readme//$'\n'/ }" >&2 && return 1; }
    done
    help=$("$BIN/corehop-sweep" -h | sed -n '/^Exit status:/,$p' | grep -oE '(^|[ :,])(128\+N|[0-9]+) ' |
        tr -d ' :,' | sort -u)
    [ "$help" = "$readme" ] ||
        { echo "corehop-sweep -h lists ${help//$'\n'/ }, the README ${readme//$'\n'/ }" >&2 && return 1; }
}

@test "the autopkgtest of a whole sweep: a pass read by a TAP consumer, a failure, and nothing checked, skipped (77)" {
    command -v prove >/dev/null || skip "needs prove (perl)"
    local stand_in=$BATS_TEST_TMPDIR/bin
    mkdir "$stand_in"
    # the sweep's report | its status | the test's status
    while IFS='|' read -r report code want; do
        printf '#!/bin/sh\nprintf "%s\\n"\nexit %s\n' "$report" "$code" >"$stand_in/corehop-sweep"
        chmod +x "$stand_in/corehop-sweep"
        run env PATH="$stand_in:$PATH" AUTOPKGTEST_TMP="$BATS_TEST_TMPDIR" sh "$SOURCE/debian/tests/sweep"
        [ "$status" = "$want" ] || { echo "status $code: the test's $status, want $want: $output" >&2 && return 1; }
    done <<'EOF_CASES'
KTAP version 1\n1..1\nok 1 a|0|0
KTAP version 1\n1..1\nnot ok 1 a|1|1
KTAP version 1\n1..0 # SKIP no CPU is isolated|4|77
EOF_CASES
}

@test "the install line of the README changes no folder and overwrites no file" {
    release
    local root=$BATS_TEST_TMPDIR/local line
    # /usr/local as Debian makes it: folders 2775 root:staff; another
    # program's README at the top
    mkdir -p "$root"/bin "$root"/share/man/man1 "$root"/share/doc
    echo theirs >"$root/README.md"
    chmod 2775 "$root" "$root"/bin "$root"/share "$root"/share/man "$root"/share/man/man1 "$root"/share/doc
    chgrp -R staff "$root" 2>/dev/null || true
    # (adding files dates a folder anew; its mode and owners must stay)
    folders() { (cd "$root" && find . -type d -exec stat -c '%n %a %U:%G' {} + | sort); }
    folders >"$BATS_TEST_TMPDIR/before"
    line=$(grep -o 'tar -xzf corehop-VERSION-linux-ARCH.tar.gz [^`]*' "$SOURCE/README.md")
    [ -n "$line" ]
    line=${line//VERSION/$VERSION}
    (cd "$DIST" && eval "${line//ARCH/amd64} -C '$root'" 2>&1) | grep -v '^$' >&2 && return 1
    folders | grep -Fxf "$BATS_TEST_TMPDIR/before" | diff "$BATS_TEST_TMPDIR/before" - >&2
    [ "$(cat "$root/README.md")" = theirs ]
    [ -x "$root/bin/corehop-sweep" ] && [ -f "$root/share/doc/corehop/LICENSE" ]
}

@test "a cross build's packages carry its target's architecture" {
    release
    command -v rpmbuild >/dev/null || skip "needs rpmbuild (rpm)"
    local arch deb_arch rpm_arch package=$BATS_TEST_TMPDIR/package
    while IFS='|' read -r arch _ rpm_arch _; do
        (cd "$BUILD/release/$arch" && cpack -G DEB -B "$package/$arch" >/dev/null 2>&1 &&
            cpack -G RPM -B "$package/$arch" >/dev/null 2>&1)
        deb_arch=$(dpkg-deb -f "$package/$arch"/corehop_*.deb Architecture)
        [ "$deb_arch|$(rpm -qp --qf '%{ARCH}' "$package/$arch"/corehop-*.rpm 2>/dev/null)" = "$arch|$rpm_arch" ] ||
            { echo "$arch: $deb_arch $(rpm -qp --qf '%{ARCH}' "$package/$arch"/corehop-*.rpm)" >&2; return 1; }
    done <<<"$TARGETS"
}

@test "every file carries the licence's SPDX line, exactly" {
    command -v git >/dev/null && git -C "$SOURCE" rev-parse 2>/dev/null || skip "needs the git checkout"
    local file exact='^(# |// |\.\\" |<!-- )SPDX-License-Identifier: MIT( -->)?$'
    # JSON has no comments; the changelogs, the licence and Debian's copyright
    # file have their own forms, and dpkg reads the source format as one line
    for file in $(git -C "$SOURCE" ls-files |
        grep -vx 'CMakePresets.json\|packaging/changelog\|LICENSE\|debian/changelog\|debian/copyright\|debian/source/format'); do
        [ -f "$SOURCE/$file" ] || continue
        # one comment line naming the licence, and no other that looks like one
        [ "$(grep -Ec "$exact" "$SOURCE/$file")" = 1 ] &&
            [ "$(grep -Eic '^(#|//|\.\\"|<!--) *s *p *d *x' "$SOURCE/$file")" = 1 ] ||
            { echo "$file: $(grep -Ei 's *p *d *x' "$SOURCE/$file")" >&2; return 1; }
    done
}

# fake_archive DIR: a Debian archive in DIR as the VM suite's kernel fetch
# reads it: Debian 12's kernel image in boot/, unstable's in the
# linux-binary package its image package depends on, and busybox-static.
fake_archive() {
    local dir=$1 suite package depends file root
    # suite | package | what it depends on | the file it holds
    while IFS='|' read -r suite package depends file; do
        root=$BATS_TEST_TMPDIR/debs/$package
        mkdir -p "$root/DEBIAN" "$dir/pool/$suite"
        printf 'Package: %s\nVersion: 1\nArchitecture: amd64\nMaintainer: t <t@t.invalid>\nDescription: t\n' \
            "$package" >"$root/DEBIAN/control"
        [ -z "$depends" ] || echo "Depends: $depends" >>"$root/DEBIAN/control"
        if [ -n "$file" ]; then
            mkdir -p "$root/${file%/*}"
            echo "$package" >"$root/$file" && chmod 755 "$root/$file"
        fi
        dpkg-deb -b --root-owner-group "$root" "$dir/pool/$suite/$package.deb" >/dev/null
    done <<'EOF_CASES'
bookworm|linux-image-cloud-amd64|linux-image-6.1.0-99-cloud-amd64|
bookworm|linux-image-6.1.0-99-cloud-amd64||boot/vmlinuz-6.1.0-99-cloud-amd64
sid|linux-image-cloud-amd64|linux-image-7.9.9+deb14-cloud-amd64|
sid|linux-image-7.9.9+deb14-cloud-amd64|linux-binary-7.9.9+deb14-cloud-amd64|
sid|linux-binary-7.9.9+deb14-cloud-amd64||usr/lib/modules/7.9.9+deb14-cloud-amd64/vmlinuz
sid|linux-image-rt-amd64|linux-image-7.9.9+deb14-rt-amd64|
sid|linux-image-7.9.9+deb14-rt-amd64|linux-binary-7.9.9+deb14-rt-amd64|
sid|linux-binary-7.9.9+deb14-rt-amd64||usr/lib/modules/7.9.9+deb14-rt-amd64/vmlinuz
trixie|busybox-static||bin/busybox
EOF_CASES
    for suite in bookworm sid trixie; do
        local index=$dir/dists/$suite/main/binary-amd64
        mkdir -p "$index"
        (cd "$dir" && dpkg-scanpackages -m "pool/$suite" 2>/dev/null) >"$index/Packages"
        printf 'Origin: Debian\nLabel: Debian\nSuite: %s\nCodename: %s\nDate: Tue, 01 Dec 2026 00:00:00 UTC\nArchitectures: amd64\nComponents: main\nSHA256:\n %s %s main/binary-amd64/Packages\n' \
            "$suite" "$suite" "$(sha256sum <"$index/Packages" | cut -d' ' -f1)" "$(stat -c %s "$index/Packages")" \
            >"$dir/dists/$suite/Release"
    done
}

@test "the VM suite's kernel fetch: the image where the packages put it, no hook of the machine's, with or without its lists" {
    for tool in dpkg-deb dpkg-scanpackages apt-get flock; do
        command -v "$tool" >/dev/null || skip "needs $tool"
    done
    local machine=$BATS_TEST_TMPDIR/machine cache release
    release=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
    [ -n "$release" ] || skip "no codename of this machine's release"
    fake_archive "$BATS_TEST_TMPDIR/archive"
    # a machine whose sources name that archive, which its configuration lets
    # apt read unsigned, and with hooks that must not run
    mkdir -p "$machine/parts" "$machine/lists/partial" "$machine/cache"
    echo "deb file:$BATS_TEST_TMPDIR/archive $release main" >"$machine/sources.list"
    ln -s "$BATS_TEST_TMPDIR/archive/dists/bookworm" "$BATS_TEST_TMPDIR/archive/dists/$release" 2>/dev/null || true
    printf 'Acquire::AllowInsecureRepositories "true";\nAPT::Get::AllowUnauthenticated "true";\n' >"$machine/parts/insecure"
    for hook in APT::Update::Pre-Invoke APT::Update::Post-Invoke-Success; do
        printf '%s { "touch %s/hook-ran"; };\n' "$hook" "$machine" >>"$machine/parts/hooks"
    done
    printf 'Dir::Etc::sourcelist "%s";\nDir::Etc::sourceparts "-";\nDir::Etc::parts "%s/";\nDir::Etc::main "/dev/null";\nDir::State::Lists "%s";\nDir::State::status "%s/status";\nDir::Cache "%s";\nAPT::Architectures:: "amd64";\n' \
        "$machine/sources.list" "$machine/parts" "$machine/lists" "$machine" "$machine/cache" >"$machine/apt.conf"
    : >"$machine/status"
    export APT_CONFIG=$machine/apt.conf
    apt-get update -qq 2>/dev/null
    rm -f "$machine/hook-ran"
    # the machine's lists | the fetch's status | its last line of standard error, if it fails
    while IFS='|' read -r lists want_status want_err; do
        [ "$lists" = kept ] || rm -rf "$machine/lists"/*_Packages "$machine/lists"/*_Release
        [ "$lists" != "no sources" ] || : >"$machine/sources.list"
        cache=$BATS_TEST_TMPDIR/cache-${lists// /-}
        status=0
        COREHOP_VM_CACHE=$cache "$SOURCE/tests/vm/fetch-kernel.sh" amd64/bookworm amd64/sid amd64/sid/rt \
            >"$BATS_TEST_TMPDIR/out" 2>"$BATS_TEST_TMPDIR/err" || status=$?
        # (apt warns of the archive's missing signature on standard error)
        [ "$status" = "$want_status" ] && { [ -z "$want_err" ] || [ "$(tail -n 1 "$BATS_TEST_TMPDIR/err")" = "$want_err" ]; } ||
            { echo "lists $lists: status $status" >&2 && cat "$BATS_TEST_TMPDIR/err" >&2 && return 1; }
        [ ! -e "$machine/hook-ran" ] || { echo "lists $lists: the machine's hook ran" >&2 && return 1; }
        [ "$status" = 0 ] || continue
        # kernel | the package that held its image | its version
        while IFS='|' read -r kernel package version; do
            [ "$(cat "$cache/$kernel/kernel")|$(cat "$cache/$kernel/version")" = "$package|$version" ] ||
                { echo "lists $lists: $kernel: $(cat "$cache/$kernel/kernel")" >&2 && return 1; }
        done <<'EOF_CASES'
amd64/bookworm|linux-image-6.1.0-99-cloud-amd64|6.1.0-99-cloud-amd64
amd64/sid|linux-binary-7.9.9+deb14-cloud-amd64|7.9.9+deb14-cloud-amd64
amd64/sid/rt|linux-binary-7.9.9+deb14-rt-amd64|7.9.9+deb14-rt-amd64
EOF_CASES
        [ "$(cat "$cache/amd64/busybox")" = busybox-static ] && [ -x "$cache/amd64/busybox" ]
        # the kernels and busybox kept, not apt's lists
        [ ! -e "$cache/apt/sid" ]
    done <<'EOF_CASES'
kept|0|
missing|0|
no sources|1|no Debian archive in this machine's apt sources: add one, such as deb.debian.org/debian, and run apt-get update
EOF_CASES
}

@test "a Debian root made anew after a killed run: what that run left mounted in it is detached, never emptied" {
    [ "$(id -u)" = 0 ] || skip "needs root: it mounts"
    command -v unshare >/dev/null || skip "needs unshare"
    "$SOURCE/tests/vm/fetch-kernel.sh" --archive >/dev/null 2>&1 || skip "no Debian archive in this machine's apt sources"
    local cache=$BATS_TEST_TMPDIR/cache keep=$BATS_TEST_TMPDIR/keep bin=$BATS_TEST_TMPDIR/bin
    mkdir -p "$keep/inner" "$bin" && touch "$keep/file" "$keep/inner/file"
    # mmdebstrap's stand-in: its target, the argument before the last, made
    # shellcheck disable=SC2016 # the stand-in's own expansions
    printf '#!/bin/sh\neval "target=\\${$(($# - 1))}"\nmkdir -p "$target/etc"\n' >"$bin/mmdebstrap"
    chmod +x "$bin/mmdebstrap"
    # In a mount namespace of the test's own: the root and the one being
    # made, as a killed run leaves them, with this machine's folder mounted
    # in each, and a file system below that.
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare --mount --propagation private bash -c '
        for root in "$1/x" "$1/x.new"; do
            mkdir -p "$root/sys" && mount --bind "$2" "$root/sys" && mount -t tmpfs tmpfs "$root/sys/inner"
        done
        PATH=$3:$PATH COREHOP_VM_CACHE=$1 "$4/tests/vm/debian-root.sh" make x bookworm busybox >/dev/null
        ! grep -F " $1/" /proc/self/mountinfo' _ "$cache" "$keep" "$bin" "$SOURCE"
    [ -f "$keep/file" ] && [ -f "$keep/inner/file" ]
    [ -d "$cache/x/etc" ] && [ ! -e "$cache/x.new" ]
}

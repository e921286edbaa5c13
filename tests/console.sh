# SPDX-License-Identifier: MIT
# shellcheck shell=sh
# Sourced by a test that ctest runs, for lines that must reach ctest's
# console, since ctest shows a passing test's output nowhere but in its log:
# $console is ctest's standard output where a line written there arrives
# whole and stays: a terminal or a pipe. Else it is /dev/null: a regular
# file opened again through /proc has an offset of its own, and ctest's next
# write would overwrite the line.
console=/proc/$PPID/fd/1
if [ "$(cat "/proc/$PPID/comm" 2>/dev/null)" != ctest ] || [ ! -w "$console" ] ||
    { [ ! -p "$console" ] && [ ! -c "$console" ]; }; then
    console=/dev/null
fi

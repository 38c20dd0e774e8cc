#!/bin/sh
# How long the launcher outlives the game under the real Wine: from the game's own start (the
# time it prints) to pelto's exit, beside the same program under plain wine64 in a server
# started by `wineserver -p0` (which ends as soon as its last Wine process has gone), from the
# program's start until `wineserver -w` returns. Both run in the prefix a first launch of the
# installed pelto made from its template, in alternating order. Until pelto exits, Steam shows
# the game as running and holds back the cloud sync of its saves.
# Goal: pelto's median within 300 ms of the reference's.
#
# Usage: bench/session_end.sh [BUILD_DIR] [ROUNDS]
#   BUILD_DIR  a Release build directory (configured here when missing; default build-bench)
#   ROUNDS     runs of each (default 5)
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
rounds=${2:-5}
. "$src/bench/build_programs.sh"

work=$(mktemp -d /tmp/pelto-bench-end.XXXXXX)
tool="$work/tool"
prefix="$work/compat/pfx"
cleanup() {
    [ -d "$prefix" ] && WINEPREFIX="$prefix" TMPDIR="$work/tmp" "$tool/bin/wineserver" -k \
        2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/home" "$work/tmp" "$work/compat" "$work/game" "$work/logs"

# The game: the tests' Windows program, which prints the time of its start and exits.
x86_64-w64-mingw32-gcc -municode -O2 -s -o "$work/game/game.exe" "$src/tests/windows/test_game.c"
HOME="$work/home" "$python" "$src/install.py" --build "$build" --dest "$tool" >/dev/null

now_ms() { echo $(($(date +%s%N) / 1000000)); }
# The environment both run with: nothing of this machine's session, no display.
set -- env -i PATH=/usr/bin:/bin HOME="$work/home" TMPDIR="$work/tmp" HOST_LC_ALL=C.UTF-8 \
    WINEDEBUG=-all

pelto_run() {  # appends "game start to pelto's exit" in ms to pelto.times
    "$@" STEAM_COMPAT_DATA_PATH="$work/compat" SteamAppId=1 \
        "$tool/pelto" waitforexitandrun "$work/game/game.exe" print-time 2>"$work/logs/pelto.err"
    ended=$(now_ms)
    start=$(sed -n 's/^time=//p' /tmp/pelto/wine_stdout.log)
    [ -n "$start" ] || { cat "$work/logs/pelto.err" >&2; exit 1; }
    echo $((ended - start)) >>"$work/pelto.times"
}

reference_run() {  # appends "program start to the server's end" in ms to reference.times
    "$@" WINEPREFIX="$prefix" "$tool/bin/wineserver" -p0
    "$@" WINEPREFIX="$prefix" WINEDLLOVERRIDES=winemenubuilder.exe=d \
        "$tool/bin/wine" "$work/game/game.exe" print-time >"$work/logs/reference.out"
    "$@" WINEPREFIX="$prefix" "$tool/bin/wineserver" -w
    ended=$(now_ms)
    start=$(sed -n 's/^time=//p' "$work/logs/reference.out")
    [ -n "$start" ] || exit 1
    echo $((ended - start)) >>"$work/reference.times"
}

# The first launch makes the prefix; it is not counted.
pelto_run "$@"
: >"$work/pelto.times"
i=1
while [ "$i" -le "$rounds" ]; do
    if [ $((i % 2)) -eq 1 ]; then
        pelto_run "$@"
        reference_run "$@"
    else
        reference_run "$@"
        pelto_run "$@"
    fi
    i=$((i + 1))
done

median() {
    sort -n "$1" | awk '{ v[NR] = $1 } END {
        if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
pelto=$(median "$work/pelto.times")
reference=$(median "$work/reference.times")
echo "from the game's start to the end, $rounds rounds each ($(nproc) cores):"
echo "  pelto (to its exit):                      median_ms=$pelto" \
     "runs: $(tr '\n' ' ' <"$work/pelto.times")"
echo "  wine64 with wineserver -p0 (to its end):  median_ms=$reference" \
     "runs: $(tr '\n' ' ' <"$work/reference.times")"
echo "  pelto - reference: $((${pelto%.*} - ${reference%.*})) ms (goal: <= 300 ms)"

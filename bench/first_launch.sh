#!/bin/sh
# The first launch of a new game (an empty compatibility data directory) under the real Wine,
# three ways in one run: pelto installed by install.py with its shared template
# share/default_pfx; a 64-bit setup, installed by install.py as on a machine without Wine's
# 32-bit half (where this machine has it and bwrap, the install runs with that half hidden, so
# that neither the tool nor its template has 32-bit modules; otherwise the first installation
# without its 32-bit modules); and the installation without the template, where the prefix
# comes from `wineboot --init`. The three alternate (the order turns every round); reported are
# the medians of the verbose log's "timing: spawn at {ms}ms" of each, and the medians of the
# setup tasks that make up the time before the spawn. Before the rounds, the first game
# launched right after the install (cold) is reported on its own, and so is the size of a new
# prefix's own files: the bytes of the files in it that are not hard links of the template's
# (`du` of the prefix alone would count inodes it shares with the template as its own), split
# into system32 (the 64-bit modules), syswow64 (the 32-bit ones) and the rest.
# Goals for a 64-bit setup: spawn at <= 150 ms median with the template; the first launch
# after an install <= 600 ms; a new prefix's own files <= 250 MB.
#
# Usage: bench/first_launch.sh [BUILD_DIR] [ROUNDS]
#   BUILD_DIR  a Release build directory (configured here when missing; default build-bench)
#   ROUNDS     launches of each kind (default 5)
# On a machine shared with other builds, PELTO_BUILD_LOCK names a lock file that the build
# step holds (flock); leave it unset when the whole run already holds that lock.
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
rounds=${2:-5}
. "$src/bench/build_programs.sh"

work=$(mktemp -d /tmp/pelto-bench-first.XXXXXX)
cleanup() {
    for prefix in "$work"/compat/*/pfx; do
        [ -d "$prefix" ] && WINEPREFIX="$prefix" TMPDIR="$work/tmp" \
            "$work/with/bin/wineserver" -k 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/home" "$work/tmp" "$work/compat" "$work/game"

# The game: the tests' Windows program, which here only exits.
x86_64-w64-mingw32-gcc -municode -O2 -s -o "$work/game/game.exe" "$src/tests/windows/test_game.c"

# The installation, and the two that differ from it (sharing its files).
HOME="$work/home" "$python" "$src/install.py" --build "$build" --dest "$work/with" >/dev/null
# The 64-bit setup: where the system has Wine's 32-bit half and bwrap, a second install that
# does not see that half (its template then holds no 32-bit modules either, as on a machine
# without it); otherwise the installation without its 32-bit modules.
if command -v bwrap >/dev/null && [ -e /usr/lib/wine/wine ] && [ -d /usr/lib/i386-linux-gnu/wine ]; then
    set -- --tmpfs /usr/lib/wine
    for file in /usr/lib/wine/*; do
        case ${file##*/} in wine | wine-preloader | wineserver32) ;; *) set -- "$@" --ro-bind "$file" "$file" ;; esac
    done
    HOME="$work/home" bwrap --bind / / --dev /dev --proc /proc "$@" \
        --tmpfs /usr/lib/i386-linux-gnu/wine \
        "$python" "$src/install.py" --build "$build" --dest "$work/with64" >/dev/null
else
    cp -al "$work/with" "$work/with64"
    rm -rf "$work/with64/lib/wine/i386-windows"
fi
mkdir -p "$work/without/share"
for entry in "$work/with"/* "$work/with/share/wine"; do
    case $entry in */share) continue ;; esac
    cp -al "$entry" "$work/without/${entry#"$work/with/"}"
done
files=$(find "$work/with/share/default_pfx" -type f | wc -l)
for kind in with with64; do
    find "$work/$kind/share/default_pfx" -type f -printf '%i\n' >"$work/$kind.template"
done

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# launch KIND ROUND: one first launch; appends "spawn graph registry prefix" to KIND.times,
# and with the template, the prefix's own sizes of the first launch to KIND.sizes.
launch() {
    compat="$work/compat/$1-$2"
    mkdir -p "$compat"
    started=$(now_ms)
    env -i PATH=/usr/bin:/bin HOME="$work/home" TMPDIR="$work/tmp" HOST_LC_ALL=C.UTF-8 \
        STEAM_COMPAT_DATA_PATH="$compat" SteamAppId=1 PELTO_VERBOSE=1 WINEDEBUG=-all \
        "$work/$1/pelto" waitforexitandrun "$work/game/game.exe" exit 0 2>"$work/$1.log"
    wall=$(($(now_ms) - started))
    spawn=$(sed -n 's/.*timing: spawn at \([0-9]*\)ms.*/\1/p' "$work/$1.log")
    tasks=$(grep 'timing: discover=' "$work/$1.log" || true)
    task() { printf '%s\n' "$tasks" | sed -n "s/.*[ []$1=\([0-9]*\)ms.*/\1/p"; }
    if [ -z "$spawn" ]; then
        echo "no spawn time in the log of a $1 launch:" >&2
        cat "$work/$1.log" >&2
        exit 1
    fi
    echo "$spawn $(task graph) $(task registry) $(task prefix)" >>"$work/$1.times"
    case $1 in
        with | with64)
            if grep -q 'running wineboot' "$work/$1.log"; then
                echo "the launch with the template ran wineboot" >&2
                exit 1
            fi
            [ -s "$work/$1.sizes" ] || own_sizes "$compat/pfx" "$1" >"$work/$1.sizes" ;;
    esac
    rm -rf "$compat"
    # Each launch writes hundreds of megabytes: written back before the next one starts, so
    # that no launch pays for the writeback of the ones before it.
    sync
}

# own_sizes PREFIX KIND: "total system32 syswow64 other", the MB of the prefix's files that are
# not hard links of KIND's template, each inode counted once.
own_sizes() {
    find "$1" -type f -printf '%i %s %P\n' | awk '
        NR == FNR { shared[$1] = 1; next }
        ($1 in shared) || seen[$1]++ { next }
        { total += $2
          if ($3 ~ /^drive_c\/windows\/system32\//) s32 += $2
          else if ($3 ~ /^drive_c\/windows\/syswow64\//) wow += $2
          else other += $2 }
        END { mb = 1048576
              printf "%.0f %.0f %.0f %.0f\n", total / mb, s32 / mb, wow / mb, other / mb }' \
        "$work/$2.template" -
}

median() {  # median of column $1 of file $2
    cut -d' ' -f"$1" "$2" | sort -n | awk '{ v[NR] = $1 } END {
        if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# sizes KIND: the own sizes of KIND's first prefix, as text.
sizes() {
    read -r total s32 wow other <"$work/$1.sizes"
    echo "$total MB (system32 $s32 MB, syswow64 $wow MB, other $other MB)"
}

# The first game of the fresh installation, whose files were just written.
launch with cold
cold_spawn=$(tail -n 1 "$work/with.times" | cut -d' ' -f1)
sed -i '$d' "$work/with.times"
echo "first launch after the install: spawn_ms=$cold_spawn wall_ms=$wall"

echo "first launch of a new game, $rounds rounds of each, alternating ($(nproc) cores;" \
     "template: $files files)"
i=1
while [ "$i" -le "$rounds" ]; do
    case $((i % 3)) in
        1) order="with with64 without" ;;
        2) order="with64 without with" ;;
        *) order="without with with64" ;;
    esac
    for kind in $order; do launch "$kind" "$i"; done
    i=$((i + 1))
done

report() {  # report KIND LABEL
    echo "$2 spawn_median_ms=$(median 1 "$work/$1.times") graph=$(median 2 "$work/$1.times")" \
         "registry=$(median 3 "$work/$1.times") prefix=$(median 4 "$work/$1.times")"
}
report with "with the template:            "
report with64 "with the template, 64-bit:    "
report without "without (wineboot):           "
echo "spawn times (ms): with: $(cut -d' ' -f1 "$work/with.times" | tr '\n' ' ')" \
     "64-bit: $(cut -d' ' -f1 "$work/with64.times" | tr '\n' ' ')" \
     "without: $(cut -d' ' -f1 "$work/without.times" | tr '\n' ' ')"
echo "new prefix's own files: as installed $(sizes with); 64-bit setup $(sizes with64)"
echo "goals for a 64-bit setup: spawn_median_ms <= 150 with the template; first launch after" \
     "the install <= 600 ms; a new prefix's own files <= 250 MB"

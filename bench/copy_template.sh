#!/bin/sh
# The template copy (copy_dir_fast) beside `cp -al` and `cp -a` of the same tree into an empty
# directory, alternating in one run, medians reported. Two trees: a prefix made by Wine's own
# `wineboot --init`, and the same tree scaled to about 20 000 files (replicas of every file
# holding its first 4 KiB). Each is copied within one file system, and from /dev/shm (tmpfs)
# to that file system. Goals: copy_dir_fast <= 0.8 x cp -al within one file system,
# <= 1.0 x cp -a across file systems.
#
# By default the file system measured is a fresh journalled ext4 (an 8 GiB sparse image in
# /tmp, loop-mounted), the common case for a Steam library. An ext4 without a journal skips
# inodes freed in the last minute when it allocates new ones, so on such a file system the
# copies made and removed by the earlier rounds slow down every later one, whoever runs.
#
# Usage: bench/copy_template.sh [BUILD_DIR] [WORKDIR] [ROUNDS] [CROSS_ROUNDS]
#   BUILD_DIR     a Release build directory (configured here when missing; default build-bench)
#   WORKDIR       measure this directory's file system instead of the ext4 image
#   ROUNDS        rounds within one file system (default 11); CROSS_ROUNDS across (default 5)
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
work=${2:-}
rounds=${3:-11}
cross_rounds=${4:-5}
shm=/dev/shm/pelto-bench-copy
image=/tmp/pelto-bench-copy.img
mnt=/tmp/pelto-bench-copy.mnt

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
fi
if ninja -C "$build" -t targets all 2>/dev/null | grep -q '^copy_template_bench:'; then
    flock /tmp/pelto-build.lock ninja -C "$build" -j2 copy_template_bench >/dev/null
    bin=$build/bench/copy_template_bench
else
    # The bench directory is not part of this build yet: link the bench against its library.
    flock /tmp/pelto-build.lock ninja -C "$build" -j2 pelto_lib >/dev/null
    bin=$build/copy_template_bench
    c++ -std=c++20 -O2 -DNDEBUG -I"$src/src" "$src/bench/copy_template_bench.cpp" \
        "$build/libpelto_lib.a" -pthread -o "$bin"
fi

empty_home=$(mktemp -d)
cleanup() {
    rm -rf "$shm" "$empty_home"
    if [ -n "${own_mount:-}" ]; then
        umount "$mnt" 2>/dev/null || true
        rmdir "$mnt" 2>/dev/null || true
        rm -f "$image"
    elif [ -n "${scratch:-}" ]; then
        rm -rf "$scratch"
    fi
}
trap cleanup EXIT
if [ -z "$work" ]; then
    truncate -s 8G "$image"
    mkfs.ext4 -q -F "$image"
    mkdir -p "$mnt"
    mount -o loop "$image" "$mnt"
    own_mount=1
    work=$mnt
fi
scratch=$work/pelto-bench-copy
work=$scratch
rm -rf "$work"
mkdir -p "$work"

# A real prefix, made the way Wine makes one (about 6 s); its wineserver is stopped after.
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
WINEPREFIX="$work/template" WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all \
    "$wine64" wineboot --init >/dev/null 2>&1
WINEPREFIX="$work/template" "$wineserver" -k || true
files=$(find "$work/template" -type f | wc -l)
cp -a "$work/template" "$work/scaled"
"$bin" scale "$work/scaled" $(( (20000 + files - 1) / files )) >/dev/null
scaled_files=$(find "$work/scaled" -type f | wc -l)
mkdir -p "$shm"
cp -a "$work/template" "$shm/template"
cp -a "$work/scaled" "$shm/scaled"
sync

fs=$(df -T "$work" | awk 'NR == 2 { print $2 }')
echo "prefix: $files files, $(du -sh "$work/template" | cut -f1); scaled: $scaled_files files," \
     "$(du -sh "$work/scaled" | cut -f1); $(nproc) CPUs; load $(cut -d' ' -f1-3 /proc/loadavg)"
# Quiet logging: no DEBUG formatting inside the measured calls.
run() { env -u PELTO_VERBOSE HOME="$empty_home" "$bin" compare "$@"; }
run "prefix, within $fs" "$work/template" "$work/runs" "$rounds"
run "scaled, within $fs" "$work/scaled" "$work/runs" "$rounds"
run "prefix, tmpfs -> $fs" "$shm/template" "$work/runs" "$cross_rounds"
run "scaled, tmpfs -> $fs" "$shm/scaled" "$work/runs" "$cross_rounds"

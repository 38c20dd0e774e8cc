#!/bin/sh
# The cost of the save-data snapshot and check for a profile of small files, beside `cp -al`
# of the same folders in the same run (alternating, medians). Goal: snapshot <= 1.2 x cp -al.
#
# Usage: bench/snapshot.sh [BUILD_DIR] [WORKDIR] [FILES] [ROUNDS]
#   BUILD_DIR  a Release build directory (configured here when missing; default build-bench)
#   WORKDIR    scratch directory on the file system to measure (default /tmp/pelto-bench-snapshot)
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
work=${2:-/tmp/pelto-bench-snapshot}
files=${3:-10000}
rounds=${4:-11}

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
fi
if ninja -C "$build" -t targets all 2>/dev/null | grep -q '^snapshot_bench:'; then
    flock /tmp/pelto-build.lock ninja -C "$build" -j2 snapshot_bench >/dev/null
    bin=$build/bench/snapshot_bench
else
    # The bench directory is not part of this build yet: link the bench against its library.
    flock /tmp/pelto-build.lock ninja -C "$build" -j2 pelto_lib >/dev/null
    bin=$build/snapshot_bench
    c++ -std=c++20 -O2 -DNDEBUG -I"$src/src" "$src/bench/snapshot_bench.cpp" \
        "$build/libpelto_lib.a" -pthread -o "$bin"
fi

# Quiet logging: no DEBUG formatting inside the measured calls.
empty_home=$(mktemp -d)
trap 'rm -rf "$empty_home"' EXIT
env -u PELTO_VERBOSE HOME="$empty_home" "$bin" "$work" "$files" "$rounds"

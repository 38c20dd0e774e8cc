#!/bin/sh
# A warm launch: the prefix is prepared and the deployment cache matches, so the eight setup
# tasks only check what is in place. The Wine loader and the wineserver are stand-ins that
# exit at once (the wineserver with 2, "already running"), so what is measured is pelto's own
# work. pelto runs ROUNDS times with PELTO_VERBOSE=1; reported are the medians of the timing
# line's "graph=" and of "spawn at", the whole-process wall and CPU time beside those of
# running the stand-in loader (and the stand-in wineserver) alone, and the peak resident set.
# Goals: graph <= 2 ms, spawn <= 4 ms (medians), peak RSS <= 8 MiB.
#
# Usage: bench/warm_launch.sh [BUILD_DIR] [ROUNDS]
#   BUILD_DIR  a Release build directory (configured here when missing; default build-bench)
#   ROUNDS     launches to measure (default 200)
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
rounds=${2:-200}

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
fi
flock /tmp/pelto-build.lock ninja -C "$build" -j2 pelto >/dev/null

work=$(mktemp -d /tmp/pelto-bench-launch.XXXXXX)
trap 'rm -rf "$work"' EXIT

c++ -std=c++20 -O2 "$src/bench/warm_launch_runner.cpp" -o "$work/runner"

# The installed tool: pelto beside its steam.exe bridge.
mkdir -p "$work/tool/lib/wine/x86_64-windows"
cp "$build/pelto" "$work/tool/pelto"
printf 'bridge' > "$work/tool/lib/wine/x86_64-windows/steam.exe"

# Stand-in Wine: compiled stubs, so that the shell's start-up does not count.
mkdir -p "$work/wine/bin" "$work/wine/lib/wine/x86_64-unix" "$work/wine/share/wine" \
    "$work/wine/lib/wine/dxvk/x86_64-windows" "$work/wine/lib/wine/dxvk/i386-windows" \
    "$work/wine/lib/wine/vkd3d-proton/x86_64-windows" "$work/wine/lib/wine/vkd3d-proton/i386-windows"
: > "$work/wine/lib/wine/x86_64-unix/ntdll.so"
printf 'int main(void) { return 0; }\n' > "$work/exit0.c"
printf 'int main(void) { return 2; }\n' > "$work/exit2.c"
cc -O2 "$work/exit0.c" -o "$work/wine/bin/wine"
cc -O2 "$work/exit2.c" -o "$work/wine/bin/wineserver"
for name in d3d11 d3d10core d3d9 dxgi; do
    head -c 65536 /dev/zero > "$work/wine/lib/wine/dxvk/x86_64-windows/$name.dll"
    head -c 65536 /dev/zero > "$work/wine/lib/wine/dxvk/i386-windows/$name.dll"
done
for name in d3d12 d3d12core; do
    head -c 65536 /dev/zero > "$work/wine/lib/wine/vkd3d-proton/x86_64-windows/$name.dll"
    head -c 65536 /dev/zero > "$work/wine/lib/wine/vkd3d-proton/i386-windows/$name.dll"
done

# A HOME with Steam's client and legacycompat directories, and the game.
mkdir -p "$work/home/.local/share/Steam/linux64" "$work/home/.local/share/Steam/legacycompat"
: > "$work/home/.local/share/Steam/linux64/steamclient.so"
for name in steamclient64.dll steamclient.dll GameOverlayRenderer64.dll SteamService.exe Steam.dll; do
    head -c 4096 /dev/zero > "$work/home/.local/share/Steam/legacycompat/$name"
done
mkdir -p "$work/game"
: > "$work/game/game.exe"

launch_env() {
    env -i PATH=/usr/bin:/bin HOME="$work/home" PELTO_WINE_DIR="$work/wine" \
        STEAM_COMPAT_DATA_PATH="$work/compat" SteamAppId=1 PELTO_VERBOSE=1 "$@"
}

# Two launches to warm up: the first prepares the prefix and writes the record, the second
# must be a cache hit.
launch_env "$work/tool/pelto" waitforexitandrun "$work/game/game.exe" 2>/dev/null
launch_env "$work/tool/pelto" waitforexitandrun "$work/game/game.exe" 2>"$work/warm.log"
if ! grep -q 'cache hit: every component current' "$work/warm.log"; then
    echo "the second launch was not a cache hit:" >&2
    cat "$work/warm.log" >&2
    exit 1
fi

echo "pelto, $rounds warm launches ($(nproc) cores):"
launch_env "$work/runner" "$rounds" "$work/tool/pelto" waitforexitandrun "$work/game/game.exe"
echo "stand-in loader alone, $rounds runs:"
launch_env "$work/runner" "$rounds" "$work/wine/bin/wine" "$work/game/game.exe"
# The prestart inside the graph waits for one such process: the floor under "graph=".
echo "stand-in wineserver alone, $rounds runs:"
launch_env "$work/runner" --expect 2 "$rounds" "$work/wine/bin/wineserver"
echo "goals: graph_median_ms <= 2, spawn_median_ms <= 4, rss_max_kb <= 8192"

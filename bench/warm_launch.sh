#!/bin/sh
# A warm launch: the prefix is prepared and the deployment cache matches, so the eight setup
# tasks only check what is in place. The Wine loader and the wineserver are stand-ins that
# exit at once (the wineserver with 2, "already running"), so what is measured is pelto's own
# work. pelto runs ROUNDS times with PELTO_VERBOSE=1; reported are the medians of the timing
# line's "graph=", of each task, of "total=" and of "spawn at", the whole-process wall and CPU
# time, and the peak resident set. Two prefixes:
#   - a stand-in prefix (empty registry files), beside the stand-in loader and wineserver
#     alone;
#   - a real prefix, made once by the real wineboot (Debian's wine64), whose registry files
#     are rewritten before every launch, as the Wine server does at the end of each session.
# Then the floors: /bin/true, and Debian's /usr/bin/python3 -c pass (a script launcher's bare
# interpreter start), and launches with 10 000 and 100 000 variables in env_config.
# Goals on the real prefix: spawn <= 10 ms, graph <= 8 ms (medians), peak RSS <= 8 MiB.
#
# Usage: bench/warm_launch.sh [BUILD_DIR] [ROUNDS]
#   BUILD_DIR  a Release build directory (configured here when missing; default build-bench)
#   ROUNDS     launches to measure on each prefix (default 200)
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
rounds=${2:-200}

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
fi
flock /tmp/pelto-build.lock ninja -C "$build" -j2 pelto >/dev/null

work=$(mktemp -d /tmp/pelto-bench-launch.XXXXXX)
cleanup() {
    if [ -d "$work/real/compat/pfx" ]; then
        WINEPREFIX="$work/real/compat/pfx" TMPDIR="$work/real/tmp" \
            /usr/lib/wine/wineserver64 -k 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

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

# The floors.
echo "/bin/true, $rounds runs:"
launch_env "$work/runner" "$rounds" /bin/true
echo "/usr/bin/python3 -c pass, $rounds runs:"
launch_env "$work/runner" "$rounds" /usr/bin/python3 -c pass

# A real prefix: the first launch runs the real wineboot through the real loader; after it the
# loader and the wineserver are the stand-ins again, so that no game runs.
if [ ! -x /usr/lib/wine/wine64 ]; then
    echo "no /usr/lib/wine/wine64 (Debian's wine64): the real prefix is skipped"
    exit 0
fi
real="$work/real"
mkdir -p "$real/tool/bin" "$real/tool/lib/wine/x86_64-windows" "$real/tool/share" "$real/tmp"
cp "$build/pelto" "$real/tool/pelto"
printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' > "$real/tool/bin/wine"
chmod +x "$real/tool/bin/wine"
ln -s /usr/lib/wine/wineserver64 "$real/tool/bin/wineserver"
ln -s /usr/lib/x86_64-linux-gnu/wine/x86_64-unix "$real/tool/lib/wine/x86_64-unix"
ln -s /usr/lib/x86_64-linux-gnu/wine/i386-windows "$real/tool/lib/wine/i386-windows"
ln -s /usr/share/wine "$real/tool/share/wine"
for module in /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/*; do
    ln -s "$module" "$real/tool/lib/wine/x86_64-windows/"
done
rm -f "$real/tool/lib/wine/x86_64-windows/steam.exe"
printf 'bridge' > "$real/tool/lib/wine/x86_64-windows/steam.exe"

real_env() {
    env -i PATH=/usr/bin:/bin HOME="$work/home" TMPDIR="$real/tmp" WINEDEBUG=-all \
        STEAM_COMPAT_DATA_PATH="$real/compat" SteamAppId=1 PELTO_VERBOSE=1 "$@"
}
echo "making a real prefix with wineboot (a few seconds)"
real_env "$real/tool/pelto" waitforexitandrun "$work/game/game.exe" 2>"$real/first.log" || true
if ! [ -s "$real/compat/pfx/system.reg" ] || \
   [ "$(stat -c %s "$real/compat/pfx/system.reg")" -lt 100000 ]; then
    echo "wineboot did not make a real prefix:" >&2
    cat "$real/first.log" >&2
    exit 1
fi
WINEPREFIX="$real/compat/pfx" TMPDIR="$real/tmp" /usr/lib/wine/wineserver64 -k 2>/dev/null || true
cp "$work/wine/bin/wine" "$real/tool/bin/wine"
rm "$real/tool/bin/wineserver"
cp "$work/wine/bin/wineserver" "$real/tool/bin/wineserver"

# As the Wine server does after every session: the registry files are written anew (a new
# file renamed into place, with a new modification time).
cat > "$real/rewrite-registry" <<SCRIPT
#!/bin/sh
pfx="$real/compat/pfx"
n=\$(cat "$real/stamp" 2>/dev/null || echo 1700000000)
n=\$((n + 1))
echo \$n > "$real/stamp"
for f in system.reg user.reg userdef.reg; do
    cp "\$pfx/\$f" "\$pfx/\$f.new" && touch -d "@\$n" "\$pfx/\$f.new" && mv "\$pfx/\$f.new" "\$pfx/\$f"
done
SCRIPT
chmod +x "$real/rewrite-registry"
real_env "$real/tool/pelto" waitforexitandrun "$work/game/game.exe" 2>/dev/null
"$real/rewrite-registry"
real_env "$real/tool/pelto" waitforexitandrun "$work/game/game.exe" 2>"$real/warm.log"
if ! grep -q 'cache hit: every component current' "$real/warm.log"; then
    echo "the warm launch on the real prefix was not a cache hit:" >&2
    cat "$real/warm.log" >&2
    exit 1
fi
echo "system.reg: $(stat -c %s "$real/compat/pfx/system.reg") bytes"
echo "pelto on the real prefix, registry rewritten before each launch, $rounds warm launches:"
real_env "$work/runner" --before "$real/rewrite-registry" "$rounds" \
    "$real/tool/pelto" waitforexitandrun "$work/game/game.exe"
echo "pelto on the real prefix, registry unchanged, $rounds warm launches:"
real_env "$work/runner" "$rounds" "$real/tool/pelto" waitforexitandrun "$work/game/game.exe"
# Variables in env_config: the launch's cost must grow with their number, not its square.
# 100 000 of them (3.7 MB) are more than the kernel takes for a new program's environment, so
# there the spawn itself fails (E2BIG) and the runs count as failures: "spawn at" is what counts.
for count in 10000 100000; do
    awk -v n="$count" 'BEGIN { for (i = 0; i < n; i++) printf "PELTO_BENCH_VAR_%d=value %d\n", i, i }' \
        > "$work/tool/env_config"
    echo "pelto with $count variables in env_config, 5 runs:"
    launch_env "$work/runner" 5 "$work/tool/pelto" waitforexitandrun "$work/game/game.exe"
done
rm -f "$work/tool/env_config"

echo "goals (real prefix, registry rewritten): spawn_median_ms <= 10, graph_median_ms <= 8, rss_max_kb <= 8192"

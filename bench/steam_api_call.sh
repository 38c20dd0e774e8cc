#!/bin/sh
# What the Steam client bridge adds to a Steam API call: the same two calls, measured the same
# way (bench/steam_api_bench.c), once natively (Valve's libsteam_api.so loading the stand-in
# client of the tests) and once in a Windows game under the real Wine (Valve's steam_api64.dll
# loading lsteamclient, which calls the same stand-in), started by a pelto that install.py
# installed. Reported per call (median of 31 batches of 20 000 calls): ISteamUtils::GetAppID
# and SteamAPI_ManualDispatch_RunFrame with nothing queued, both ways, and the difference.
# Goal: at most 1 us added per call.
#
# Needs the npm package steamworks.js@0.4.0 unpacked where scripts/setup puts it.
# Usage: bench/steam_api_call.sh [BUILD_DIR]   (a Release build; default build-bench)
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
steamworks=$src/build-ci/npm/steamworks.js-0.4.0/package/dist
[ -f "$steamworks/win64/steam_api64.dll" ] || {
    echo "needs the npm package steamworks.js@0.4.0 in $steamworks (run scripts/setup)" >&2
    exit 1
}
. "$src/bench/build_programs.sh"

work=$(mktemp -d /tmp/pelto-bench-steamapi.XXXXXX)
cleanup() {
    if [ -d "$work/compat/pfx" ]; then
        WINEPREFIX="$work/compat/pfx" TMPDIR="$work/tmp" /usr/lib/wine/wineserver64 -k 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/home/.steam/sdk64" "$work/home/.local/share/Steam/linux64" "$work/game" \
    "$work/compat" "$work/tmp"

c++ -std=c++20 -O2 -fPIC -shared -I"$src/src" -o "$work/steamclient.so" \
    "$src/tests/steamclient/standin_client.cpp" -lpthread
cc -O2 -o "$work/bench" "$src/bench/steam_api_bench.c" -ldl
x86_64-w64-mingw32-gcc -O2 -o "$work/game/steam_api_bench.exe" "$src/bench/steam_api_bench.c"
cp "$steamworks/linux64/libsteam_api.so" "$work/libsteam_api.so"
cp "$steamworks/win64/steam_api64.dll" "$work/game/"

# Natively: libsteam_api.so finds ~/.steam/sdk64/steamclient.so and a live ~/.steam/steam.pid.
ln -s "$work/steamclient.so" "$work/home/.steam/sdk64/steamclient.so"
echo $$ > "$work/home/.steam/steam.pid"
native=$(cd "$work" && HOME="$work/home" SteamAppId=480 ./bench ./libsteam_api.so 2>/dev/null)

# Through the bridge: an installed pelto, a Steam installation whose client is the stand-in.
cp "$work/steamclient.so" "$work/home/.local/share/Steam/linux64/steamclient.so"
HOME="$work/home" TMPDIR="$work/tmp" "$python" "$src/install.py" --build "$build" \
    --dest "$work/tool" >/dev/null
(cd "$work/game" && HOME="$work/home" TMPDIR="$work/tmp" STEAM_COMPAT_DATA_PATH="$work/compat" \
    STEAM_COMPAT_CLIENT_INSTALL_PATH="$work/home/.local/share/Steam" SteamAppId=480 \
    WINEDEBUG=-all "$work/tool/pelto" waitforexitandrun "$work/game/steam_api_bench.exe" \
    >/dev/null 2>&1)
bridged=$(tr -d '\r' < /tmp/pelto/wine_stdout.log)

value() { printf '%s\n' "$1" | awk -v key="$2" '$1 == key { print $2 }'; }
for call in getappid runframe; do
    n=$(value "$native" ${call}_ns)
    b=$(value "$bridged" ${call}_ns)
    awk -v call="$call" -v n="$n" -v b="$b" 'BEGIN {
        printf "%-9s native %8.1f ns   through the bridge %8.1f ns   added %8.1f ns\n",
            call, n, b, b - n }'
done

# Sourced by the benchmarks that install pelto: builds pelto, pelto-wineboot, the Steam
# bridge and the Steam client bridge (Release) in $build, configured there when it has no
# build yet. On a machine shared with other builds, PELTO_BUILD_LOCK names a lock file that
# the build step holds (flock); leave it unset when the whole run already holds that lock.
# Sets $python, the system's Python for install.py.
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
fi
if [ -n "${PELTO_BUILD_LOCK:-}" ]; then
    flock "$PELTO_BUILD_LOCK" ninja -C "$build" -j2 pelto pelto-wineboot pelto_bridge pelto_steamclient >/dev/null
else
    ninja -C "$build" -j2 pelto pelto-wineboot pelto_bridge pelto_steamclient >/dev/null
fi
python=/usr/bin/python3
[ -x "$python" ] || python=python3

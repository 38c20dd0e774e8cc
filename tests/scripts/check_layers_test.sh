#!/usr/bin/env bash
# scripts/check-layers in a copy of the sources that is no git checkout (an unpacked archive):
# it still checks every file, finds an include that goes upwards, and fails when it finds
# nothing to check.
set -euo pipefail
source_dir=${1:?usage: check_layers_test.sh SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/scripts"
cp "$source_dir/scripts/check-layers" "$work/scripts/"
cp -r "$source_dir/src" "$work/src"

expect() {  # expect STATUS TEXT: check-layers ends with STATUS and prints TEXT
    local status=0 out
    out=$("$work/scripts/check-layers" 2>&1) || status=$?
    if [[ $status -ne $1 || $out != *"$2"* ]]; then
        echo "expected status $1 and \"$2\", got $status: $out"
        exit 1
    fi
}

expect 0 "every include goes downwards"
printf '#include "launcher/core/context.hpp"\n' > "$work/src/base/upwards.cpp"
expect 1 "src/base/upwards.cpp includes launcher/core/context.hpp: launcher/core is not below base"
rm "$work/src/base/upwards.cpp"
mkdir -p "$work/src/unlisted"
printf '\n' > "$work/src/unlisted/x.hpp"
expect 1 "src/unlisted/x.hpp: its folder unlisted is not in src/layers.txt"
find "$work/src" -type f \( -name '*.cpp' -o -name '*.hpp' \) -delete
expect 1 "no C++ file found under src/"
echo "check-layers: checked outside a git checkout"

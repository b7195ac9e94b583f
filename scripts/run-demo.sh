#!/usr/bin/env bash
# Installs the dependencies, builds the library and runs the demo host.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
"$ROOT/scripts/install-deps.sh"
cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEB_BUILD_TESTS=OFF >/dev/null
cmake --build "$ROOT/build" -j2 --target zebhost
DEMO="$ROOT/build/demo.wav"
sox -n -r 44100 -c 2 -b 16 "$DEMO" synth 3 sine 440 sine 660 vol 0.3 2>/dev/null || true
"$ROOT/build/tools/zebhost" "$DEMO"

#!/usr/bin/env bash
# Installs the dependencies, builds everything a user runs (the library,
# its two run-time modules in build/zeb-audio/ and zebplay), makes a short
# demo chord and plays it on the default sound device through zebplay. On a
# machine without a working sound device it renders the demo into a WAVE
# file through zebplay's own output module instead. BUILD names another
# build folder (CI checks that build).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD:-$ROOT/build}
"$ROOT/scripts/install-deps.sh"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEB_BUILD_TESTS=OFF -DZEB_BUILD_BENCH=OFF >/dev/null
# The zebplay target depends on the library and both modules.
cmake --build "$BUILD" -j2 --target zebplay
ZEBPLAY=$BUILD/tools/zebplay

# A C major chord: 4 seconds, 44.1 kHz, stereo, 16-bit, fading out.
DEMO=$BUILD/demo.wav
sox -r 44100 -c 3 -n -b 16 -c 2 "$DEMO" synth 4 sine 261.63 sine 329.63 sine 392.00 \
  remix 1,2,3 1,2,3 fade 0.05 4 1 gain -n -3
"$ZEBPLAY" --info "$DEMO"

# A device works when one is listed and a tenth of a second of silence
# plays on the default one.
sound_device_works() {
  "$ZEBPLAY" --devices >/dev/null 2>&1 || return 1
  local probe=$BUILD/demo-probe.wav
  sox -n -r 44100 -c 2 -b 16 "$probe" trim 0 0.1
  "$ZEBPLAY" "$probe" </dev/null >/dev/null 2>&1
}

echo
if sound_device_works; then
  echo "Output devices:"
  "$ZEBPLAY" --devices
  echo "Playing $DEMO on device 0 (space pauses, arrows seek and set the volume, q quits)"
  "$ZEBPLAY" "$DEMO"
else
  echo "No working sound device on this machine: rendering the demo with zebplay --wav instead."
  OUT=$BUILD/demo-rendered.wav
  "$ZEBPLAY" --wav "$OUT" "$DEMO"
  echo "Rendered file: $OUT"
fi

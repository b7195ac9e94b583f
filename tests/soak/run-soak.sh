#!/usr/bin/env bash
# Builds zebsoak, makes its fixtures and runs it; the arguments go to zebsoak:
#   tests/soak/run-soak.sh --players 16 --seconds 600 [--seed X]
# BUILD names the build tree (default: build).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${BUILD:-$ROOT/build}
[ -f "$BUILD/CMakeCache.txt" ] || cmake -S "$ROOT" -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j"${JOBS:-2}" --target zebsoak
bash "$ROOT/tests/soak/make-fixtures.sh" "$BUILD/tests/soak-fixtures"
pactl info >/dev/null 2>&1 || "$ROOT/scripts/start-sound-server.sh" || true
exec "$BUILD/tests/zebsoak" --fixtures "$BUILD/tests/soak-fixtures" "$@"

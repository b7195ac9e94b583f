#!/usr/bin/env bash
# Installs the dependencies, then builds and runs every test: a normal build,
# AddressSanitizer+UndefinedBehaviorSanitizer, ThreadSanitizer for the
# threaded and sound-server tests, and a short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-2}
"$ROOT/scripts/install-deps.sh"

# A sound server with a null sink for the end-to-end tests.
if [ -x "$ROOT/scripts/start-sound-server.sh" ]; then
  "$ROOT/scripts/start-sound-server.sh" || echo "sound server not started; sound tests will skip"
fi

run_suite() { # dir, extra cmake args..., then -- ctest args
  local dir=$1; shift
  local cmake_args=() ctest_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do cmake_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  ctest_args=("$@")
  cmake -S "$ROOT" -B "$dir" -DZEB_WERROR=ON "${cmake_args[@]}" >/dev/null
  cmake --build "$dir" -j"$JOBS"
  (cd "$dir" && ctest --output-on-failure -j"$JOBS" "${ctest_args[@]}")
}

echo "== the README's first command: every format through its zebplay"
rm -rf "$ROOT/build-demo"
BUILD=$ROOT/build-demo "$ROOT/scripts/run-demo.sh" </dev/null
"$ROOT/scripts/check-formats.sh" "$ROOT/build-demo"

echo "== normal build"
# The soak (label "soak") runs in the sanitizer stages only.
run_suite "$ROOT/build-ci" -DCMAKE_BUILD_TYPE=RelWithDebInfo -- -LE soak

echo "== Python package against the built library"
ZEB_AUDIO_LIBRARY="$ROOT/build-ci/libzeb-audio.so.0" ZEB_AUDIO_HEADER="$ROOT/include/zeb-audio.h" \
  PYTHONPATH="$ROOT/python" /usr/bin/python3 -m pytest -q "$ROOT/python/tests"

echo "== Python package installed with pip (no download) against an installed library"
PYPREFIX=$ROOT/build-ci/python-prefix
VENV=$ROOT/build-ci/python-venv
rm -rf "$PYPREFIX" "$VENV"
cmake --install "$ROOT/build-ci" --prefix "$PYPREFIX" >/dev/null
/usr/bin/python3 -m venv --system-site-packages "$VENV" # pytest comes from the system
"$VENV/bin/pip" install --quiet --no-index "$ROOT/python"
# The library and its header are found through pkg-config, as for any prefix
# outside the linker's path.
(cd "$VENV" && export PKG_CONFIG_PATH="$(dirname "$(find "$PYPREFIX" -name zeb-audio.pc)")" &&
  "$VENV/bin/python" -c 'import zeb_audio, sys; sys.exit("/python-venv/" not in zeb_audio.__file__)' &&
  "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/python/tests")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$ROOT/tests/lsan.supp"
run_suite "$ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DZEB_SANITIZE=address -DZEB_BUILD_BENCH=OFF -- -LE script

echo "== ThreadSanitizer (threaded and sound-server tests)"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/tsan.supp"
run_suite "$ROOT/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DZEB_SANITIZE=thread -DZEB_BUILD_BENCH=OFF -- -L 'threaded|sound'

echo "== packager builds (Release, no tests, GCC and clang)"
packager_build() { # compiler pair name, C compiler, C++ compiler
  local dir=$ROOT/build-pkg-$1
  rm -rf "$dir"
  CC=$2 CXX=$3 cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DZEB_WERROR=ON >/dev/null
  cmake --build "$dir" -j"$JOBS"
  cmake --install "$dir" --prefix "$dir/prefix" >/dev/null
  if find "$dir" -name '*_test' -type f | grep -q .; then
    echo "BUILD_TESTING=OFF still built tests" >&2
    exit 1
  fi
  test -f "$dir/prefix/include/zeb-audio.h"
}
packager_build gcc gcc g++
packager_build clang clang clang++

echo "== fuzz targets (short runs)"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$ROOT/build-fuzz" -DCMAKE_BUILD_TYPE=Debug -DZEB_WERROR=ON \
  -DZEB_BUILD_FUZZ=ON -DZEB_BUILD_TESTS=OFF -DZEB_BUILD_BENCH=OFF >/dev/null
cmake --build "$ROOT/build-fuzz" -j"$JOBS"
for f in "$ROOT"/build-fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  echo "-- $(basename "$f")"
  mkdir -p "$ROOT/build-fuzz/corpus-$(basename "$f")"
  "$f" -max_total_time="${FUZZ_SECONDS:-30}" -rss_limit_mb=2048 "$ROOT/build-fuzz/corpus-$(basename "$f")" 2>&1 | tail -n 3
done
echo "== all tests passed"

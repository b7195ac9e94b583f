#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small C host against
# it twice: through pkg-config and through find_package(zeb-audio).
set -euo pipefail
SRC=$1
BUILD=$2
WORK=$BUILD/package-test
rm -rf "$WORK"
mkdir -p "$WORK"
PREFIX=$WORK/prefix
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
LIBDIR=$(dirname "$(find "$PREFIX" -name zeb-audio.pc | head -n1)")/..
LIBDIR=$(cd "$LIBDIR" && pwd)
test -f "$PREFIX/include/zeb-audio.h"
ls "$LIBDIR"/libzeb-audio.so.* >/dev/null
readelf -d "$LIBDIR/libzeb-audio.so" | grep -q 'SONAME.*libzeb-audio.so.0'

# Only the public API is exported.
# The header attribute editor's functions (the runtime's five, and the count
# and read by index that list every attribute) exist only with the underscore.
WM_EXPORTS='^_WM(OpenMetaEditor|CloseMetaEditor|GetHeaderAttribute|FreeHeaderAttribute|SetHeaderAttribute|GetHeaderAttributeCount|GetHeaderAttributeByIndex)$'
extra=$(nm -D --defined-only "$LIBDIR/libzeb-audio.so" | awk '{print $3}' | grep -v -E "^_?ZEBAudio|^ZEBWindow|$WM_EXPORTS" || true)
if [ -n "$extra" ]; then echo "unexpected exports: $extra"; exit 1; fi
nm -D --defined-only "$LIBDIR/libzeb-audio.so" | grep -q ' _ZEBAudioMessageSend$'
# Every function of the header is exported under both names, the command
# functions included (they are real functions, not inline).
for NAME in PlayerCreate PlayerDestroy MessageSend EnumerateDevices FreeDeviceEnums GetMP3TrackLength \
    GetMP3TrackInfo GetTrackDetails FormatErrorString GetVersion InputOpen Stop Pause Play Seek \
    OutputOpenDSound OutputOpenModule SetOutputVolume AddOutputFilter PreloadBuffers SetInputPositionRange \
    OutputReset OutputDrain Ping InputClose SetDuration SetInputTimeInterval SetOutputFrequency OutputClose \
    SetMainVolume GetMainVolume GetPlayPosition SetHeardProgress; do
  for EXPORT in "ZEBAudio$NAME" "_ZEBAudio$NAME"; do
    nm -D --defined-only "$LIBDIR/libzeb-audio.so" | grep -q " $EXPORT\$" || { echo "$EXPORT not exported"; exit 1; }
  done
done
test "$(nm -D --defined-only "$LIBDIR/libzeb-audio.so" | awk '{print $3}' | grep -c -E "$WM_EXPORTS")" = 7

# The run-time modules are private plugins: in zeb-audio/ under the
# library's folder, where it looks, without a soname, and not in the public
# library folder itself.
for MODULE in libzeb-mp4.so libzeb-wmf.so; do
  test -f "$LIBDIR/zeb-audio/$MODULE" || { echo "$MODULE not in $LIBDIR/zeb-audio"; exit 1; }
  ! ls "$LIBDIR/$MODULE"* >/dev/null 2>&1 || { echo "$MODULE in the public library folder"; exit 1; }
  ! readelf -d "$LIBDIR/zeb-audio/$MODULE" | grep -q SONAME || { echo "$MODULE has a soname"; exit 1; }
done
test "$(ls "$LIBDIR/zeb-audio")" = "$(printf 'libzeb-mp4.so\nlibzeb-wmf.so')"
nm -D --defined-only "$LIBDIR/zeb-audio/libzeb-mp4.so" | grep -q ' MP4ReadSample$'
nm -D --defined-only "$LIBDIR/zeb-audio/libzeb-wmf.so" | grep -q ' WMCreateReader$'

# Both hosts as README.md builds them; they run without a library path.
export PKG_CONFIG_PATH=$LIBDIR/pkgconfig
cc -o "$WORK/ping_pc" "$SRC/tests/package/ping_host.c" $(pkg-config --cflags --libs zeb-audio) \
  -Wl,-rpath,"$(pkg-config --variable=libdir zeb-audio)"
env -u LD_LIBRARY_PATH "$WORK/ping_pc"

cmake -S "$SRC/tests/package" -B "$WORK/cmake-host" -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$WORK/cmake-host" >/dev/null
env -u LD_LIBRARY_PATH "$WORK/cmake-host/ping_host"
echo "package test passed"

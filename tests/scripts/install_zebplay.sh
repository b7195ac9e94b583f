#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks the zebplay program and
# its manual page as a user finds them there: the program runs from the
# prefix without a library path set, and the manual page renders.
set -euo pipefail
SRC=$1
BUILD=$2
WORK=$BUILD/zebplay-install-test
rm -rf "$WORK"
mkdir -p "$WORK"
PREFIX=$WORK/prefix
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null

ZEBPLAY=$PREFIX/bin/zebplay
MANPAGE=$PREFIX/share/man/man1/zebplay.1
test -x "$ZEBPLAY" || { echo "zebplay not installed in bin"; exit 1; }
test -f "$MANPAGE" || { echo "zebplay.1 not installed in share/man/man1"; exit 1; }

# The installed program finds the installed library by itself.
env -u LD_LIBRARY_PATH "$ZEBPLAY" --help | grep -q -- '--wav'
ldd "$ZEBPLAY" | grep 'libzeb-audio' | grep -q "$PREFIX"

# The manual page renders without warnings and names every option.
if command -v groff >/dev/null; then
  WARNINGS=$(groff -man -Tutf8 -ww -z "$MANPAGE" 2>&1)
  [ -z "$WARNINGS" ] || { echo "$WARNINGS"; exit 1; }
fi
if command -v man >/dev/null; then
  PAGE=$(MANPATH=$PREFIX/share/man MANWIDTH=80 man zebplay 2>/dev/null | col -b)
  for opt in --device --volume --rate --interval --preload --devices --info --wav --version --help; do
    grep -q -- "$opt" <<<"$PAGE" || { echo "manual page lacks $opt"; exit 1; }
  done
fi

# A small render through the installed program, when sox can make the input.
if command -v sox >/dev/null; then
  sox -n -r 22050 -c 1 -b 16 "$WORK/tone.wav" synth 0.5 sine 440
  env -u LD_LIBRARY_PATH "$ZEBPLAY" --info "$WORK/tone.wav" | grep -q 'sample rate: *22050 Hz'
  env -u LD_LIBRARY_PATH "$ZEBPLAY" --wav "$WORK/copy.wav" "$WORK/tone.wav" >/dev/null
  cmp <(sox "$WORK/tone.wav" -t raw -) <(sox "$WORK/copy.wav" -t raw -)
fi
# The C host that README.md shows builds against the installed package and
# reports a file it cannot play in the library's words, naming the command.
PCDIR=$(dirname "$(find "$PREFIX" -name zeb-audio.pc | head -n1)")
readme_block() { # the Nth C example of README.md
  awk -v n="$1" '/^```c$/ {k++; on=(k==n); next} /^```$/ {on=0} on' "$SRC/README.md"
}
readme_block 1 >"$WORK/readme_host.c"
test -s "$WORK/readme_host.c"
cc -Wall -Wextra -Werror -o "$WORK/readme_host" "$WORK/readme_host.c" \
  $(PKG_CONFIG_PATH=$PCDIR pkg-config --cflags --libs zeb-audio)
LIBDIR=$(cd "$PCDIR/.." && pwd)
set +e
LD_LIBRARY_PATH=$LIBDIR "$WORK/readme_host" "$WORK/no-such-file.wav" 2>"$WORK/readme_host.err" >/dev/null
STATUS=$?
set -e
[ "$STATUS" -eq 1 ] || { echo "README host: exit $STATUS for a missing file"; exit 1; }
# Refused at "Input Open", or at "Output Open" without a sound device.
grep -q -E "^Audio core error on ommand '(Input|Output) Open'" "$WORK/readme_host.err" ||
  { cat "$WORK/readme_host.err"; exit 1; }
# With a sound server it plays a short file to the end.
if command -v sox >/dev/null && pactl info >/dev/null 2>&1; then
  LD_LIBRARY_PATH=$LIBDIR "$WORK/readme_host" "$WORK/tone.wav" >/dev/null
fi
# The output module example writes exactly the file's PCM.
readme_block 2 >"$WORK/readme_module.c"
cc -Wall -Wextra -Wno-unused-parameter -Werror -o "$WORK/pcmdump" "$WORK/readme_module.c" \
  $(PKG_CONFIG_PATH=$PCDIR pkg-config --cflags --libs zeb-audio)
if command -v sox >/dev/null; then
  LD_LIBRARY_PATH=$LIBDIR "$WORK/pcmdump" "$WORK/tone.wav" >"$WORK/tone.raw" 2>/dev/null
  cmp "$WORK/tone.raw" <(sox "$WORK/tone.wav" -t raw -)
fi
echo "zebplay install test passed"

#!/usr/bin/env bash
# Makes one short file of every format the library plays, in the build
# tree BUILD, and checks that the build's zebplay reports and renders each
# of them and lists a Windows Media file's header attributes. CI runs it on
# the build that the README's first command makes.
#   scripts/check-formats.sh BUILD
set -euo pipefail
BUILD=$(cd "$1" && pwd)
ZEBPLAY=$BUILD/tools/zebplay
WORK=$BUILD/check-formats
rm -rf "$WORK"
mkdir -p "$WORK"
for tool in sox lame flac oggenc ffmpeg; do
  command -v "$tool" >/dev/null || { echo "$tool is needed to make the files" >&2; exit 1; }
done

# Two seconds of a stereo tone at 44.1 kHz, then each format made from it.
TONE=$WORK/tone.wav
sox -n -r 44100 -c 2 -b 16 "$TONE" synth 2 sine 440 sine 660 gain -3
FF=(ffmpeg -v error -nostdin -y -i "$TONE")
cp "$TONE" "$WORK/wave.wav"
sox "$TONE" "$WORK/wave64.w64"
sox "$TONE" "$WORK/aiff.aiff"
lame --quiet -b 128 "$TONE" "$WORK/mpeg.mp3"
flac --silent -o "$WORK/flac.flac" "$TONE"
oggenc --quiet -o "$WORK/vorbis.ogg" "$TONE"
"${FF[@]}" -c:a aac -b:a 128k -f adts "$WORK/adts.aac"
"${FF[@]}" -c:a aac -b:a 128k "$WORK/mp4.m4a"
"${FF[@]}" -c:a wmav2 -b:a 128k -metadata title="Every Format" "$WORK/wma.wma"

status=0
for f in wave.wav wave64.w64 aiff.aiff mpeg.mp3 flac.flac vorbis.ogg adts.aac mp4.m4a wma.wma; do
  in=$WORK/$f
  info=$("$ZEBPLAY" --info "$in" 2>&1) || { echo "$f: --info failed: $info"; status=1; continue; }
  grep -q 'sample rate: *44100 Hz' <<<"$info" || { echo "$f: --info says: $info"; status=1; }
  grep -q 'channels: *2$' <<<"$info" || { echo "$f: --info says: $info"; status=1; }
  out=$WORK/$f.out.wav
  if ! rendered=$("$ZEBPLAY" --wav "$out" "$in" 2>&1); then
    echo "$f: --wav failed: $rendered"; status=1; continue
  fi
  # About the two seconds made (encoders and decoders may pad a little).
  seconds=$(sox --i -D "$out")
  awk -v s="$seconds" 'BEGIN { exit !(s >= 1.5 && s <= 2.5) }' || { echo "$f: rendered $seconds s"; status=1; }
done
"$ZEBPLAY" --wm-list "$WORK/wma.wma" | grep -q $'^Title\tSTRING\tEvery Format$' ||
  { echo "wma.wma: --wm-list lacks the title"; status=1; }
[ "$status" -eq 0 ] && echo "zebplay reads and renders every format"
exit "$status"

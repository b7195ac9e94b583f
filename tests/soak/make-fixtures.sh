#!/usr/bin/env bash
# Makes the soak test's sound files in DIR (usage: make-fixtures.sh DIR).
#   good-<tag>-<rate>-<channels>ch-<seconds>s.<ext>   must open and play
#   bad-<tag>-...                                     "Input Open" must refuse
#   odd-<tag>-...                  refused by the built-in WAVE engine, taken
#                                  when the general sound-file library is there
# zebsoak reads rate, channels and length back from the names. MP3 files come
# from lame and ffmpeg at MPEG-1, MPEG-2 and MPEG-2.5 rates (lame picks the
# MPEG version from the input rate), CBR and VBR.
set -euo pipefail
DIR=${1:?usage: make-fixtures.sh DIR}
STAMP="$DIR/.made-7"
[ -f "$STAMP" ] && exit 0
mkdir -p "$DIR"
TMP=$(mktemp -d "$DIR/.tmp.XXXXXX")
trap 'rm -rf "$TMP"' EXIT

# A sweep on the first channel, pink noise on the second: rate channels
# seconds bits output [sox encoding].
signal() {
  sox -q -n -r "$1" -c "$2" -b "$4" -e "${6:-signed-integer}" "$5" \
    synth "$3" sine 220-3300 pinknoise vol 0.5
}

wav() { # rate channels seconds
  signal "$1" "$2" "$3" 16 "$TMP/good-wav-$1-$2ch-$3s.wav"
}

lame_mp3() { # tag rate channels seconds lame-options...
  local tag=$1 rate=$2 ch=$3 sec=$4; shift 4
  signal "$rate" "$ch" "$sec" 16 "$TMP/in.wav"
  lame --quiet "$@" "$TMP/in.wav" "$TMP/good-$tag-$rate-${ch}ch-${sec}s.mp3"
}

ffmpeg_mp3() { # tag rate channels seconds bitrate
  signal "$2" "$3" "$4" 16 "$TMP/in.wav"
  ffmpeg -nostdin -loglevel error -y -i "$TMP/in.wav" -c:a libmp3lame -b:a "$5" \
    "$TMP/good-$1-$2-$3ch-$4s.mp3"
}

flac_file() { # rate channels seconds bits [sox encoding]
  signal "$1" "$2" "$3" "$4" "$TMP/in.wav" "${5:-signed-integer}"
  # flac warns about the fact chunk sox writes; nothing to act on
  flac -s -f -o "$TMP/good-flac$4-$1-$2ch-$3s.flac" "$TMP/in.wav" 2>/dev/null
}

wav 8000 1 2
wav 11025 2 1
wav 22050 1 3
wav 44100 2 2
wav 48000 2 5

lame_mp3 m1 44100 2 3 -b 128
lame_mp3 m1 48000 1 2 -b 64
lame_mp3 m2 22050 2 2 -b 64
lame_mp3 m2 16000 1 3 -b 32
lame_mp3 m2vbr 24000 2 6 -V 4
lame_mp3 m25 8000 1 1 -b 16
lame_mp3 m25 11025 2 1 -b 32
lame_mp3 m25short 8000 1 0.4 -b 8
lame_mp3 m25vbr 12000 1 4 -V 6
ffmpeg_mp3 ffm1 44100 2 12 96k
ffmpeg_mp3 ffm2 22050 1 3 32k
ffmpeg_mp3 ffm25 11025 1 2 24k
if command -v oggenc >/dev/null; then
  signal 44100 2 3 16 "$TMP/in.wav"
  oggenc -Q -q 4 -o "$TMP/good-ogg-44100-2ch-3s.ogg" "$TMP/in.wav"
  signal 22050 1 2 16 "$TMP/in.wav"
  oggenc -Q -q 1 -o "$TMP/good-ogg-22050-1ch-2s.ogg" "$TMP/in.wav"
fi
if command -v flac >/dev/null; then
  flac_file 44100 2 3 16
  flac_file 48000 1 2 24
  flac_file 22050 2 1 8 unsigned-integer
fi
# Windows Media Audio: wmav2 stereo, wmav1 mono, and one cut inside its header.
if command -v ffmpeg >/dev/null; then
  signal 44100 2 3 16 "$TMP/in.wav"
  ffmpeg -nostdin -loglevel error -y -i "$TMP/in.wav" -c:a wmav2 -b:a 128k -f asf \
    "$TMP/good-wma2-44100-2ch-3s.wma"
  signal 22050 1 2 16 "$TMP/in.wav"
  ffmpeg -nostdin -loglevel error -y -i "$TMP/in.wav" -c:a wmav1 -b:a 32k -f asf \
    "$TMP/good-wma1-22050-1ch-2s.wma"
  head -c 400 "$TMP/good-wma2-44100-2ch-3s.wma" >"$TMP/bad-wmacut-44100-2ch-3s.wma"
fi
# AAC: names carry what FAAD2 delivers. It plays mono as two channels and
# doubles the rate of a low-rate ADTS stream (not of an MP4 track). The ADTS
# length on open is an estimate ("ffm" tags: length not checked exactly).
# One ADTS file cut to fewer than four frames, one MP4 file cut before its
# sample table.
aac_file() { # tag rate channels seconds delivered-rate output-extension [muxer]
  signal "$2" "$3" "$4" 16 "$TMP/in.wav"
  ffmpeg -nostdin -loglevel error -y -i "$TMP/in.wav" -c:a aac -b:a 96k ${7:+-f $7} \
    "$TMP/good-$1-$5-2ch-$4s.$6"
}
if command -v ffmpeg >/dev/null; then
  aac_file ffmadts 44100 2 3 44100 aac adts
  aac_file ffmadtsm 22050 1 2 44100 aac adts
  aac_file ffmadtsm 48000 1 2 48000 aac adts
  aac_file m4a 44100 2 3 44100 m4a
  aac_file m4am 22050 1 2 22050 m4a
  head -c 300 "$TMP/good-ffmadts-44100-2ch-3s.aac" >"$TMP/bad-aaccut-44100-2ch-3s.aac"
  head -c 400 "$TMP/good-m4a-44100-2ch-3s.m4a" >"$TMP/bad-m4acut-44100-2ch-3s.m4a"
fi
# A chained Ogg file and an ADTS stream whose second part has another rate
# and channel count: both play to the end in the first part's layout.
if command -v oggenc >/dev/null; then
  signal 44100 2 2 16 "$TMP/in.wav"
  oggenc -Q -o "$TMP/link1.ogg" "$TMP/in.wav"
  signal 22050 1 1 16 "$TMP/in.wav"
  oggenc -Q -o "$TMP/link2.ogg" "$TMP/in.wav"
  cat "$TMP/link1.ogg" "$TMP/link2.ogg" >"$TMP/good-oggchain-44100-2ch-3s.ogg"
  rm -f "$TMP/link1.ogg" "$TMP/link2.ogg"
fi
if [ -f "$TMP/good-ffmadts-44100-2ch-3s.aac" ] && [ -f "$TMP/good-ffmadtsm-48000-2ch-2s.aac" ]; then
  cat "$TMP/good-ffmadts-44100-2ch-3s.aac" "$TMP/good-ffmadtsm-48000-2ch-2s.aac" \
    >"$TMP/good-ffmadtschain-44100-2ch-5s.aac"
fi
# Names that lie about the content: the content decides.
[ -f "$TMP/good-ogg-22050-1ch-2s.ogg" ] && cp "$TMP/good-ogg-22050-1ch-2s.ogg" "$TMP/good-oggnamedmp3-22050-1ch-2s.mp3"
signal 22050 2 2 16 "$TMP/in.wav"
mv "$TMP/in.wav" "$TMP/good-wavnamedmp3-22050-2ch-2s.mp3"
rm -f "$TMP/in.wav"
# "0.4" in a name would read as 0 s: that file is shorter than a second.
mv "$TMP/good-m25short-8000-1ch-0.4s.mp3" "$TMP/good-m25short-8000-1ch-0s.mp3"

signal 44100 2 1 16 "$TMP/odd-aiff-44100-2ch-1s.aiff"
signal 44100 2 1 24 "$TMP/odd-wav24-44100-2ch-1s.wav"
signal 8000 1 1 8 "$TMP/odd-wav8-8000-1ch-1s.wav" unsigned-integer
signal 48000 6 1 16 "$TMP/bad-wav6ch-48000-6ch-1s.wav"
: >"$TMP/bad-empty-44100-2ch-0s.mp3"

rm -f "$DIR"/good-* "$DIR"/bad-* "$DIR"/odd-* "$DIR"/.made-*
mv "$TMP"/good-* "$TMP"/bad-* "$TMP"/odd-* "$DIR"/
touch "$STAMP"

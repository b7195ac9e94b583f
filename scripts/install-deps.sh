#!/usr/bin/env bash
# Installs what building and testing zeb-audio needs on Debian 12 (as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
PACKAGES=(
  build-essential cmake pkg-config git clang libclang-rt-14-dev
  libgtest-dev googletest
  libmpg123-dev libspeexdsp-dev libpulse-dev libasound2-dev
  ffmpeg lame mpg123 sox flac libflac-dev libsndfile1-dev libvorbis-dev vorbis-tools
  libfaad-dev faad libavformat-dev libavcodec-dev libswresample-dev libavutil-dev libtag1-dev
  pulseaudio pulseaudio-utils alsa-utils
  python3 python3-pytest python3-pip python3-venv
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

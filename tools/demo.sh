#!/usr/bin/env bash
# Builds the converter and runs it on the sample movie the repository ships.
# The codebook side file is written next to the input, so the sample is copied to out/ first.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq "${need[@]}" >/dev/null
fi

cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/demo --target clipvane -j "$(nproc 2>/dev/null || echo 2)"

mkdir -p out
rm -f out/sample.avi
cp tests/data/p01_ff_mpeg4_25fps_speech_mono22050.avi out/sample.avi
rm -f out/sample.cbk
build/demo/app/clipvane -in out/sample.avi -out out/sample.qkds -debugsound out/sample.wav
ls -l out/sample.avi out/sample.cbk out/sample.qkds out/sample.wav

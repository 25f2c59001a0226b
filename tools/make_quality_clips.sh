#!/usr/bin/env bash
# Makes the sound-quality clips in tests/data/quality/ again: speech from
# espeak-ng at 8 and 16 kHz, plucked chords from sox, and a stereo mix of the
# two (speech left, chords right). Needs espeak-ng and sox
# (apt-get install espeak-ng sox); nothing in the build or the tests does.
set -euo pipefail
out=${1:-tests/data/quality}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
espeak-ng -w "$work/speech.wav" "The quick brown fox jumps over the lazy dog. A movie needs clear speech, \
even at a low rate; listen to the vowels and the hiss of each consonant."
sox -D "$work/speech.wav" -r 8000 -b 16 -c 1 "$out/speech8k.wav" trim 0 6
sox -D "$work/speech.wav" -r 16000 -b 16 -c 1 "$out/speech16k.wav" trim 0 5
sox -D -n -r 22050 -b 16 -c 1 "$out/music22k.wav" \
  synth 1 pluck C4 pluck E4 pluck G4 : synth 1 pluck F4 pluck A4 pluck C5 : \
  synth 1 pluck G3 pluck B3 pluck D4 : synth 1 pluck C4 pluck E4 pluck G4 remix - vol 0.5
sox -D "$work/speech.wav" -r 22050 -b 16 -c 1 "$work/speech22k.wav" trim 0 4
sox -D -m -v 0.8 "$work/speech22k.wav" -v 0.4 "$out/music22k.wav" "$work/left.wav"
sox -D -m -v 0.3 "$work/speech22k.wav" -v 0.8 "$out/music22k.wav" "$work/right.wav"
sox -D -M "$work/left.wav" "$work/right.wav" -b 16 "$out/stereo22k.wav"

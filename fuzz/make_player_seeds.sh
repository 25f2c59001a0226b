#!/usr/bin/env bash
# Converts the sample movies and fills two seed directories for the player
# library's fuzzers: <out>/containers (the outputs as they are) and
# <out>/packets (a codebook image followed by audio from a container).
# Usage: make_player_seeds.sh <clipvane binary> <out directory>
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 <clipvane binary> <out directory>" >&2
  exit 2
fi
tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
out=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/player_seeds.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$out/containers" "$out/packets"

for movie in "$here"/../tests/data/p0[1-9]_*.avi "$here"/../tests/data/p1[01]_*.avi; do
  name=$(basename "$movie" .avi)
  cp "$movie" "$work/$name.avi"
  if "$tool" -in "$work/$name.avi" -out "$work/$name.qkds" </dev/null >/dev/null 2>&1; then
    cp "$work/$name.qkds" "$out/containers/"
    if [ -f "$work/$name.cbk" ]; then
      { head -c 3124 "$work/$name.cbk"; dd if="$work/$name.qkds" bs=4 skip=12 count=500 status=none; } \
        >"$out/packets/$name.bin"
    fi
  fi
done
ls "$out/containers" | wc -l | xargs echo "container seeds:"

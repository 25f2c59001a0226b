#!/usr/bin/env bash
# Runs one of the player library's fuzzers for a bounded time from a seed
# directory (make_player_seeds.sh fills one from converted sample movies).
# Usage: run_player_fuzzer.sh <fuzzer binary> <seconds> <seed directory>
# Exits non-zero when the fuzzer finds a crash, a leak, a hang or excess memory;
# the input that caused it is kept in the artifacts directory it prints.
set -uo pipefail

if [ $# -lt 3 ]; then
  echo "usage: $0 <fuzzer binary> <seconds> <seed directory>" >&2
  exit 2
fi
binary=$1
seconds=$2
seeds=$3
name=$(basename "$binary")

corpus=$(mktemp -d "${TMPDIR:-/tmp}/${name}_corpus.XXXXXX")
artifacts=$(mktemp -d "${TMPDIR:-/tmp}/${name}_artifacts.XXXXXX")
log=$(mktemp "${TMPDIR:-/tmp}/${name}.XXXXXX.log")
trap 'rm -rf "$corpus" "$log"' EXIT
cp "$seeds"/* "$corpus"/

"$binary" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
  -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus" >"$log" 2>&1
status=$?

if [ $status -ne 0 ]; then
  tail -n 60 "$log" >&2
  echo "$name failed (status $status); reproducer(s) in $artifacts:" >&2
  ls -l "$artifacts" >&2
  exit $status
fi
rm -rf "$artifacts"
grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$log" || true
echo "$name: no failure in ${seconds} s"

#!/usr/bin/env bash
# Runs one fuzz target for a bounded time. By default the corpus starts from
# the seeds that avi_fuzz_seeds (built next to the fuzzer) writes and the
# sample movies; with --seeds it starts from that directory instead (the
# player's fuzzers take the seeds make_player_seeds.sh writes). The target's
# earlier findings in fuzz/regressions/<target>/ are always added.
# Usage: run_fuzzer.sh [--seeds DIR] <fuzzer binary> <seconds> [libFuzzer option...]
# Exits non-zero when the fuzzer finds a crash, a leak, a hang or excess memory;
# the input that caused it is kept in the artifacts directory it prints.
set -uo pipefail

seed_dir=
if [ "${1:-}" = --seeds ] && [ $# -ge 2 ]; then
  seed_dir=$2
  shift 2
fi
if [ $# -lt 2 ]; then
  echo "usage: $0 [--seeds DIR] <fuzzer binary> <seconds> [libFuzzer option...]" >&2
  exit 2
fi
binary=$1
seconds=$2
shift 2
name=$(basename "$binary")
here=$(cd "$(dirname "$0")" && pwd)

corpus=$(mktemp -d "${TMPDIR:-/tmp}/${name}_corpus.XXXXXX")
artifacts=$(mktemp -d "${TMPDIR:-/tmp}/${name}_artifacts.XXXXXX")
log=$(mktemp "${TMPDIR:-/tmp}/${name}.XXXXXX.log")
# The files the target makes of each input go here (in memory when possible),
# and go with it even when the target dies before cleaning up.
scratch_base=/dev/shm
[ -w "$scratch_base" ] || scratch_base=${TMPDIR:-/tmp}
scratch=$(mktemp -d "$scratch_base/${name}_files.XXXXXX")
trap 'rm -rf "$corpus" "$log" "$scratch"' EXIT
if [ -n "$seed_dir" ]; then
  cp "$seed_dir"/* "$corpus"/
else
  seeds=$(dirname "$binary")/avi_fuzz_seeds
  if ! "$seeds" "$corpus"; then
    echo "$name: cannot write the seeds with $seeds" >&2
    exit 2
  fi
  cp "$here"/../tests/data/*.avi "$corpus"/
fi
if [ -d "$here/regressions/$name" ]; then
  cp "$here/regressions/$name"/* "$corpus"/ 2>/dev/null || true
fi

# The fuzzer's running commentary goes to a log; only its verdict is printed.
TMPDIR="$scratch" "$binary" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
  -artifact_prefix="$artifacts/" -print_final_stats=1 "$@" "$corpus" >"$log" 2>&1
status=$?

if [ $status -ne 0 ]; then
  tail -n 60 "$log" >&2
  echo "$name failed (status $status); reproducer(s) in $artifacts:" >&2
  ls -l "$artifacts" >&2
  exit $status
fi
rm -rf "$artifacts"
grep -E '^stat::number_of_executed_units|^stat::average_exec_per_sec|^stat::peak_rss_mb' "$log" || true
grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true
echo "$name: no failure in ${seconds} s"

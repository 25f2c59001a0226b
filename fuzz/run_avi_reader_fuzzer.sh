#!/usr/bin/env bash
# Runs the AVI reader fuzzer for a bounded time, seeded with the sample movies.
# Usage: run_avi_reader_fuzzer.sh <fuzzer binary> <seconds>
# Exits non-zero when the fuzzer finds a crash, a leak, a hang or excess memory;
# the input that caused it is kept in the artifacts directory it prints.
set -uo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 <fuzzer binary> <seconds>" >&2
  exit 2
fi
binary=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)

corpus=$(mktemp -d "${TMPDIR:-/tmp}/avi_reader_corpus.XXXXXX")
artifacts=$(mktemp -d "${TMPDIR:-/tmp}/avi_reader_artifacts.XXXXXX")
log=$(mktemp "${TMPDIR:-/tmp}/avi_reader_fuzzer.XXXXXX.log")
trap 'rm -rf "$corpus" "$log"' EXIT
cp "$here"/../tests/data/*.avi "$corpus"/

# The fuzzer's running commentary goes to a log; only its verdict is printed.
"$binary" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
  -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus" >"$log" 2>&1
status=$?

if [ $status -ne 0 ]; then
  tail -n 60 "$log" >&2
  echo "avi_reader_fuzzer failed (status $status); reproducer(s) in $artifacts:" >&2
  ls -l "$artifacts" >&2
  exit $status
fi
rm -rf "$artifacts"
grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$log" || true
echo "avi_reader_fuzzer: no failure in ${seconds} s"

#!/usr/bin/env bash
# Measures the line coverage a fuzz run reaches: fuzzes for the given time
# from the usual seeds (sanitizer build in build/fuzz), then replays the
# resulting corpus once through a build instrumented for llvm-cov
# (build/fuzz-coverage) and reports the lines of the given source folders.
# Usage: fuzz/coverage.sh [seconds=60] [target=avi_reader_fuzzer] [folder...=avi]
# Needs clang, libclang-rt-dev and llvm (llvm-profdata, llvm-cov).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
target=${2:-avi_reader_fuzzer}
shift $(($# < 2 ? $# : 2))
folders=("$@")
[ ${#folders[@]} -gt 0 ] || folders=(avi)
for tool in clang++ llvm-profdata llvm-cov; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing (apt-get install clang llvm)" >&2; exit 2; }
done
extra=()
[ "$target" = movie_converter_fuzzer ] && extra=(-max_len=32768 -timeout=30)

cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DCLIPVANE_FUZZ=ON >/dev/null
cmake --build build/fuzz -j 2 --target "$target" >/dev/null
cmake -S . -B build/fuzz-coverage -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCLIPVANE_FUZZ=ON -DCLIPVANE_FUZZ_COVERAGE=ON >/dev/null
cmake --build build/fuzz-coverage -j 2 --target "$target" >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/${target}_coverage.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/profiles" "$work/files"
LLVM_PROFILE_FILE="$work/profiles/seeds-%p.profraw" build/fuzz-coverage/fuzz/avi_fuzz_seeds "$work/corpus"
rm -f "$work"/profiles/*
cp tests/data/*.avi "$work/corpus"/
[ -d "fuzz/regressions/$target" ] && cp "fuzz/regressions/$target"/* "$work/corpus"/
echo "seed corpus: $(ls "$work/corpus" | wc -l) files"

if [ "$seconds" -gt 0 ]; then
  # New inputs go into the corpus directory; the verdict matters less here
  # than what was reached, so a failure is reported and the replay goes on.
  if ! TMPDIR="$work/files" build/fuzz/fuzz/"$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
      -artifact_prefix="$work/" -print_final_stats=1 "${extra[@]}" "$work/corpus" >"$work/fuzz.log" 2>&1; then
    echo "warning: the fuzz run failed; see its last lines:" >&2
    tail -n 20 "$work/fuzz.log" >&2
  fi
  grep -E '^stat::number_of_executed_units|^stat::average_exec_per_sec' "$work/fuzz.log" || true
  echo "corpus after ${seconds} s: $(ls "$work/corpus" | wc -l) files"
fi

TMPDIR="$work/files" LLVM_PROFILE_FILE="$work/profiles/replay-%p.profraw" \
  build/fuzz-coverage/fuzz/"$target" -runs=0 "${extra[@]}" "$work/corpus" >"$work/replay.log" 2>&1 || true
llvm-profdata merge -sparse "$work"/profiles/*.profraw -o "$work/merged.profdata"
sources=()
for folder in "${folders[@]}"; do sources+=("$PWD/$folder"); done
llvm-cov report build/fuzz-coverage/fuzz/"$target" -instr-profile="$work/merged.profdata" "${sources[@]}"

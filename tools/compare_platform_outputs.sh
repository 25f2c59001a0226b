#!/usr/bin/env bash
# Converts every sample movie that converts (tests/data p01..p11) with several
# builds of the tool, each from a fresh copy so that the codebook is trained,
# and checks that the container, the codebook side file and the debug sound
# file are the same bytes as the reference build's. Two short movies are also
# converted at efforts 1 and 2 with the side file just written.
#
#   tools/compare_platform_outputs.sh REFERENCE_TOOL NAME=TOOL[@LAUNCHER] ...
#
# e.g. tools/compare_platform_outputs.sh build/release/app/clipvane \
#        aarch64=build/aarch64/app/clipvane@"qemu-aarch64 -L /usr/aarch64-linux-gnu" \
#        windows=build/windows/app/clipvane.exe@wine
#
# Prints the SHA-256 of every output and, for a file that differs, how many
# of its bytes differ. Exits 1 when any output differs or a run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ $# -lt 1 ]; then
  sed -n '2,14p' "$0"
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/clipvane_platforms.XXXXXX")
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=${WINEDEBUG:--all}

movies=()
for movie in tests/data/p0[1-9]_*.avi tests/data/p1[01]_*.avi; do movies+=("$(basename "$movie" .avi)"); done
effort_movies=(p08_ff_audio_longer_than_video_mono8000 p09_ff_video_longer_than_audio_clipping_stereo32000)

# convert NAME TOOL [LAUNCHER...]: every movie into $work/NAME, then the hashes
# into $work/NAME.sha256.
convert() {
  local name=$1 tool=$2
  shift 2
  local dir=$work/$name
  mkdir -p "$dir"
  local started=$SECONDS
  for movie in "${movies[@]}"; do
    cp "tests/data/$movie.avi" "$dir/$movie.avi"
    # Relative names: the same command line on every system.
    if ! (cd "$dir" && "$@" "$tool" -in "$movie.avi" -out "$movie.qkds" -debugsound "$movie.wav" \
          </dev/null >"$movie.log" 2>&1); then
      echo "$name: converting $movie failed:" >&2
      tr '\r' '\n' <"$dir/$movie.log" | tail -3 >&2
      return 1
    fi
  done
  for movie in "${effort_movies[@]}"; do
    for effort in 1 2; do
      if ! (cd "$dir" && "$@" "$tool" -in "$movie.avi" -out "$movie.e$effort.qkds" -debugsound "$movie.e$effort.wav" \
            -effort $effort -nocodebook </dev/null >"$movie.e$effort.log" 2>&1); then
        echo "$name: converting $movie at effort $effort failed:" >&2
        tr '\r' '\n' <"$dir/$movie.e$effort.log" | tail -3 >&2
        return 1
      fi
    done
  done
  (cd "$dir" && sha256sum -- *.qkds *.cbk *.wav) >"$work/$name.sha256"
  echo "$name: ${#movies[@]} movies converted in $((SECONDS - started)) s"
}

reference=$(realpath "$1")
shift
names=()
pids=()
convert reference "$reference" &
pids+=($!)
for build in "$@"; do
  name=${build%%=*}
  rest=${build#*=}
  tool=$(realpath "${rest%%@*}")
  launcher=()
  [[ $rest == *@* ]] && read -r -a launcher <<<"${rest#*@}"
  names+=("$name")
  convert "$name" "$tool" "${launcher[@]}" &
  pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
[ $failed -eq 0 ] || exit 1

echo "reference outputs:"
sed 's/^/  /' "$work/reference.sha256"
for name in "${names[@]}"; do
  if cmp -s "$work/reference.sha256" "$work/$name.sha256"; then
    echo "$name: all $(wc -l <"$work/$name.sha256") outputs identical to the reference"
    continue
  fi
  failed=1
  while read -r hash file; do
    if ! grep -q "^$hash  $file\$" "$work/reference.sha256"; then
      differing=$(cmp -l "$work/reference/$file" "$work/$name/$file" 2>/dev/null | wc -l || true)
      echo "$name: $file DIFFERS: $differing bytes differ (sizes $(stat -c %s "$work/reference/$file") and" \
           "$(stat -c %s "$work/$name/$file"))"
    fi
  done <"$work/$name.sha256"
done
exit $failed

#!/usr/bin/env bash
# Decoding time of two builds of the Windows ekisa tool, in one session: each
# runs "ekisa.exe cat ARCHIVE NAME" RUNS times, in turn with the other, and
# "--version" as often, which measures what starting the program costs.
# Both must write the same bytes. Runs in the Wine environment of a build
# folder (as the 32-bit test machine's "run" jobs do):
#
#   bench/wine_decode_ratio.sh RUNS OLD.exe NEW.exe ARCHIVE NAME
#
#   scripts/win32vm run bench/wine_decode_ratio.sh 7 build/windows/ratio/ekisa-old.exe \
#       build/windows/tools/ekisa.exe build/windows/ratio/corpus4.ekp corpus4.bin
#
# One wineserver serves every run (started here, stopped at the end), so
# that a run does not pay for starting it.
set -u
if [ $# -ne 5 ]; then
  sed -n '7p' "$0" | sed 's/^# *//' >&2
  exit 2
fi
runs=$1 old=$2 new=$3 archive=$4 name=$5
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${WINELOADER:?run in the Wine environment of a build (scripts/wine-prefix --env BUILD)}"
server=${WINESERVER:-wineserver}

"$server" -p 2>/dev/null
trap '"$server" -k 2>/dev/null' EXIT
scratch=$(mktemp -d)
"$WINELOADER" "$old" cat "$archive" "$name" >"$scratch/old" || { echo "old tool failed" >&2; exit 1; }
"$WINELOADER" "$new" cat "$archive" "$name" >"$scratch/new" || { echo "new tool failed" >&2; exit 1; }
if ! cmp -s "$scratch/old" "$scratch/new"; then
  echo "the two tools wrote different bytes" >&2
  exit 1
fi
echo "both wrote the same $(wc -c <"$scratch/new") bytes"
rm -rf "$scratch"
"$here/median_time.sh" "$runs" -- "$WINELOADER" "$old" cat "$archive" "$name" \
  -- "$WINELOADER" "$new" cat "$archive" "$name" \
  -- "$WINELOADER" "$old" --version -- "$WINELOADER" "$new" --version

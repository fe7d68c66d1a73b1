#!/usr/bin/env bash
# Wall time of commands, run in turn RUNS times each (interleaved, so that a
# busy moment hurts them alike); prints the median, minimum and maximum in
# milliseconds per command. Output of the commands goes to /dev/null.
#
#   bench/median_time.sh RUNS -- COMMAND1 [ARGS...] -- COMMAND2 [ARGS...] ...
#
# Used for the whole-process comparisons in bench/README.md (ekisa cat beside
# xz -dc on the host, two builds of ekisa.exe in the 32-bit test machine).
set -u
if [ $# -lt 3 ] || [ "$2" != -- ]; then
  sed -n '6p' "$0" | sed 's/^# *//' >&2
  exit 2
fi
runs=$1
shift 2
commands=()
current=()
for a in "$@"; do
  if [ "$a" = -- ]; then
    commands+=("$(printf '%q ' "${current[@]}")")
    current=()
  else
    current+=("$a")
  fi
done
commands+=("$(printf '%q ' "${current[@]}")")

declare -a times
for ((r = 0; r < runs; r++)); do
  for c in "${!commands[@]}"; do
    start=$(date +%s%N)
    eval "${commands[$c]}" >/dev/null || { echo "median_time: failed: ${commands[$c]}" >&2; exit 1; }
    end=$(date +%s%N)
    times[$c]="${times[$c]:-} $(((end - start) / 1000))"
  done
done
for c in "${!commands[@]}"; do
  tr ' ' '\n' <<<"${times[$c]}" | grep . | sort -n |
    awk -v cmd="${commands[$c]}" '{ t[NR] = $1 }
      END { printf "median %8.1f ms  min %8.1f  max %8.1f  (%d runs)  %s\n",
                   (NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2) / 1000, t[1] / 1000, t[NR] / 1000, NR, cmd }'
done

#!/usr/bin/env bash
# Runs every fuzz target for SECONDS (default 20) on its seed corpus.
#   fuzz/run.sh FUZZ_BUILD_DIR [SECONDS]
# Exits non-zero when a target crashes (the reproducer is left in
# FUZZ_BUILD_DIR/fuzz/findings).
set -u
build=${1:?usage: fuzz/run.sh FUZZ_BUILD_DIR [SECONDS]}
seconds=${2:-20}
bin="$build/fuzz"
work="$bin/work"
findings="$bin/findings"
mkdir -p "$work" "$findings"

if [ ! -x "$bin/fuzz_seeds" ]; then
  echo "fuzz/run.sh: $bin/fuzz_seeds is missing; build the target fuzz_all first" >&2
  exit 2
fi
"$bin/fuzz_seeds" "$work/seeds" || { echo "fuzz/run.sh: seed generation failed" >&2; exit 2; }

status=0
for pair in fuzz_ekisa_decode:ekisa_decode fuzz_ekisa_roundtrip:ekisa_roundtrip \
            fuzz_bshf_decode:bshf_decode fuzz_archive:archive fuzz_pe_resource:pe_resource; do
  target=${pair%%:*}
  seeds=${pair##*:}
  corpus="$work/corpus/$seeds"
  mkdir -p "$corpus"
  echo "== $target ($seconds s)"
  if ! "$bin/$target" "$corpus" "$work/seeds/$seeds" \
      -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=262144 \
      -artifact_prefix="$findings/$target-" -print_final_stats=1 >"$work/$target.log" 2>&1; then
    echo "fuzz/run.sh: $target failed; see $work/$target.log and $findings" >&2
    tail -n 30 "$work/$target.log" >&2
    status=1
  else
    grep -E "stat::number_of_executed_units|cov:" "$work/$target.log" | tail -n 2
  fi
done
exit $status

#!/usr/bin/env bash
# What the digest check costs at start-up: one patch installer around an
# archive with SIZE_MB of patch data (the demo's quorvel.exe coded, and
# random bytes as a raw script.eka), made twice from the same stub: by
# `ekisa installer`, which records the digest, and without it
# (undigested_installer). The e2e driver starts them in turns under Wine and
# takes the time until each shows its main dialog.
#
#   bench/startup_digest.sh [SIZE_MB] [ROUNDS]     (defaults 100 and 11)
#
# Uses build/host and build/windows (the 32-bit product; WIN_BUILD picks
# another Windows build folder), which must be built.
set -euo pipefail
cd "$(dirname "$0")/.."
size_mb=${1:-100}
rounds=${2:-11}
host=build/host
win=${WIN_BUILD:-build/windows}
for f in "$host/tools/ekisa" "$host/bench/undigested_installer" "$win/app/patch_installer_stub.exe" \
         "$win/tests/e2e/e2e_driver.exe" "$win/demo/game-1.1/quorvel.exe"; do
  [ -e "$f" ] || { echo "startup_digest: $f is missing (build the host and Windows presets)" >&2; exit 2; }
done
work=$(cd "$win" && pwd)/bench-startup
rm -rf "$work"
mkdir -p "$work/patch"
cp "$win/demo/game-1.1/quorvel.exe" "$work/patch/"
head -c "$((size_mb * 1048576))" /dev/urandom > "$work/patch/script.eka"
"$host/tools/ekisa" create "$work/big.ekp" -C "$work/patch" -t ekisa_code quorvel.exe -t raw script.eka
"$host/tools/ekisa" installer "$work/big.ekp" -o "$work/with_digest.exe" --stub "$win/app/patch_installer_stub.exe"
"$host/bench/undigested_installer" "$win/app/patch_installer_stub.exe" "$work/big.ekp" "$work/without_digest.exe"
ls -l "$work/with_digest.exe" "$work/without_digest.exe"

eval "$(scripts/wine-prefix --env "$win")"
scripts/wine-prefix "$win"
"$WINESERVER" -k 2>/dev/null || true
xvfb-run -a -s "-screen 0 1024x768x24" scripts/wine-run "$win/tests/e2e/e2e_driver.exe" --build "$win" \
  --work "$work/run" --time-startup "$work/without_digest.exe,$work/with_digest.exe" --rounds "$rounds"
"$WINESERVER" -k 2>/dev/null || true

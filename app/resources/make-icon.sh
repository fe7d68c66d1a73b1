#!/usr/bin/env bash
# Regenerates patch.ico (16x16 and 32x32) with ImageMagick. The icon is kept
# in the tree; run this only to change it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 32x32 xc:none -fill '#1f4e99' -draw 'roundrectangle 1,1 30,30 6,6' \
  -fill '#ffd23f' -draw 'polygon 6,26 10,6 16,18 22,6 26,26 22,26 20,14 16,24 12,14 10,26' "$tmp/32.png"
convert "$tmp/32.png" -resize 16x16 "$tmp/16.png"
convert "$tmp/16.png" "$tmp/32.png" -colors 256 "$here/patch.ico"

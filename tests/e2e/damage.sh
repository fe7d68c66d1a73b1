#!/bin/bash
# Copies an archive and damages the copy: damage.sh FROM TO header|middle|inside FILE
#   header  zeroes the container's magic, so the archive cannot be opened;
#   middle  zeroes 16 bytes half way through (coded entry data in the test
#           archives), so decoding goes wrong without touching the directory;
#   inside  flips one bit half way through the copy of FILE (an archive)
#           that FROM holds byte for byte: a program's patch data, say.
set -eu
from=$1 to=$2 where=$3
cp "$from" "$to"
case $where in
  inside) file=$4 size=$(wc -c < "$file") found=
          for at in $(LC_ALL=C grep -obUaP 'Dadez\x1a' "$from" | cut -d: -f1); do
            if cmp -s -n "$size" -i "$at:0" "$from" "$file"; then found=$at; break; fi
          done
          [ -n "$found" ] || { echo "damage.sh: $from does not hold $file" >&2; rm -f "$to"; exit 1; }
          at=$((found + size / 2))
          byte=$(od -An -tu1 -j "$at" -N1 "$from" | tr -d ' ')
          printf "\\$(printf %03o $((byte ^ 1)))" | dd of="$to" bs=1 seek="$at" count=1 conv=notrunc 2>/dev/null ;;
  header) dd if=/dev/zero of="$to" bs=1 count=5 conv=notrunc 2>/dev/null ;;
  middle) size=$(wc -c < "$to")
          dd if=/dev/zero of="$to" bs=1 seek=$((size / 2)) count=16 conv=notrunc 2>/dev/null ;;
  *) echo "damage.sh: header, middle or inside FILE" >&2; exit 2 ;;
esac

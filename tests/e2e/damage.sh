#!/bin/sh
# Copies an archive and damages the copy: damage.sh FROM TO header|middle
#   header  zeroes the container's magic, so the archive cannot be opened;
#   middle  zeroes 16 bytes half way through (coded entry data in the test
#           archives), so decoding goes wrong without touching the directory.
set -eu
from=$1 to=$2 where=$3
cp "$from" "$to"
case $where in
  header) dd if=/dev/zero of="$to" bs=1 count=5 conv=notrunc 2>/dev/null ;;
  middle) size=$(wc -c < "$to")
          dd if=/dev/zero of="$to" bs=1 seek=$((size / 2)) count=16 conv=notrunc 2>/dev/null ;;
  *) echo "damage.sh: header or middle" >&2; exit 2 ;;
esac

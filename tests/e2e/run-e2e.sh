#!/usr/bin/env bash
# Runs one group of end-to-end scenarios: one Wine session under its own Xvfb.
#
#   run-e2e.sh BUILD DRIVER.exe GROUP [LOCALE]
#
# LOCALE (such as en_US.UTF-8) is the locale Wine runs in, and with it the
# system code page; the default is Japanese (932).
#
# For the group "diskfull" a small tmpfs is mounted and mapped as drive T: so
# that a write can run out of space; without the right to mount, the group
# ends with the driver's skip code (77). The group "noroom" runs the driver,
# and the installers it starts, with a file size limit of 64 KiB and SIGXFSZ
# ignored: a file that cannot grow, for the write failure without root. The
# wineserver, which writes the registry, is started before the limit.
set -u
build=$(cd "$1" && pwd)
driver=$2
group=$3
if [ -n "${4:-}" ]; then
  export WINE_LANG=$4
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
scripts=$root/scripts

if ! command -v xvfb-run >/dev/null; then
  echo "run-e2e: xvfb-run is missing (package xvfb; scripts/setup installs it)" >&2
  exit 1
fi
env_text=$("$scripts/wine-prefix" --env "$build") || exit 1
eval "$env_text"
"$scripts/wine-prefix" "$build" || exit 1

work=$build/tests/e2e/work-$group${4:+-${4%%.*}}
rm -rf "$work"
mkdir -p "$work"

extra_args=()
mount_point=
drive_link=$WINEPREFIX/dosdevices/t:
cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1
  "$WINESERVER" -w >/dev/null 2>&1
  if [ -n "$mount_point" ]; then
    rm -f "$drive_link"
    umount "$mount_point" 2>/dev/null
    rmdir "$mount_point" 2>/dev/null
  fi
}
trap cleanup EXIT

if [ "$group" = diskfull ]; then
  mount_point=$(mktemp -d /tmp/miltoa-full.XXXXXX)
  if mount -t tmpfs -o size=128k tmpfs "$mount_point" 2>/dev/null; then
    rm -f "$drive_link"
    ln -s "$mount_point" "$drive_link"
    extra_args=(--full-disk t:)
  else
    echo "run-e2e: cannot mount a tmpfs here; the disk-full scenario is skipped" >&2
    rmdir "$mount_point"
    mount_point=
  fi
fi

# A session left over from an earlier run would hold the old display.
"$WINESERVER" -k >/dev/null 2>&1
"$WINESERVER" -w >/dev/null 2>&1

limit=
if [ "$group" = noroom ]; then
  "$WINESERVER" -p
  limit="trap '' XFSZ; ulimit -f 64;"
fi

xvfb-run -a -s "-screen 0 1024x768x24" bash -c "$limit"' exec "$@"' run-e2e \
  "$scripts/wine-run" "$driver" --build "$build" --work "$work" --group "$group" "${extra_args[@]}"

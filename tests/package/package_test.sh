#!/usr/bin/env bash
# The packages scripts/package makes, used as a patch maker would:
#   - the .deb unpacked anywhere: its tool makes a patch installer without
#     --stub (the stub is in ../share/ekisa/), the same bytes as the build's,
#     the archive inside it byte for byte; also from a read-only place;
#   - lintian finds no error; the manual page renders without warnings;
#   - the zip holds the Windows kit; packaging again gives the same bytes.
# Usage: package_test.sh PACKAGES_DIR WINDOWS_BUILD_DIR
set -u
packages=$(realpath "$1")
windows=$(realpath "$2")
root=$(cd "$(dirname "$0")/../.." && pwd)
archive=$windows/demo/patch.ekp
reference=$windows/tests/ekisa/installer-reference.exe
T=$(mktemp -d)
mounted=
cleanup() {
    [ -n "$mounted" ] && umount "$mounted"
    rm -rf "$T"
}
trap cleanup EXIT
export LC_ALL=C.UTF-8

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
one() { # the one file matching a pattern
    local found=("$@")
    [ ${#found[@]} -eq 1 ] && [ -f "${found[0]}" ] || { echo "package_test: expected one of $*" >&2; exit 1; }
    echo "${found[0]}"
}
deb=$(one "$packages"/ekisa_*.deb)
zip=$(one "$packages"/ekisa-kit-*-win32.zip)
for f in "$archive" "$reference"; do
    [ -f "$f" ] || { echo "package_test: $f is missing (build the windows preset)" >&2; exit 1; }
done

# --- the Debian package, unpacked into a folder of its own ---
dpkg-deb -x "$deb" "$T/root" || fail "dpkg-deb -x"
ekisa=$T/root/usr/bin/ekisa
# makes PATCH.exe with an unpacked tool and no --stub, and checks it
make_installer() { # TOOL OUTPUT WHAT
    if ! "$1" installer "$archive" -o "$2" 2>"$T/err"; then
        fail "$3: ekisa installer without --stub: $(cat "$T/err")"
        return
    fi
    cmp -s "$2" "$reference" || fail "$3: the installer differs from the build's"
    # The archive lies in the program as it is (its magic also appears in
    # the program's code and in archives it holds).
    local at inside=
    for at in $(grep -obUaP 'Dadez\x1a' "$2" | cut -d: -f1); do
        cmp -s -n "$(stat -c %s "$archive")" -i "$at:0" "$2" "$archive" && inside=yes
    done
    [ -n "$inside" ] || fail "$3: the archive is not in the installer byte for byte"
    "$1" list "$2" >"$T/listed" 2>"$T/err" && "$1" list "$archive" >"$T/want" && cmp -s "$T/listed" "$T/want" \
        || fail "$3: list of the installer: $(cat "$T/err")"
}
make_installer "$ekisa" "$T/patch.exe" "unpacked package"

# A read-only place: a read-only bind mount as root (who may write
# anywhere else), no write permission otherwise.
mkdir -p "$T/ro" "$T/out"
if [ "$(id -u)" -eq 0 ] && mount --bind "$T/root" "$T/ro" 2>/dev/null; then
    mounted=$T/ro
    mount -o remount,bind,ro "$T/ro" || fail "cannot make the bind mount read-only"
else
    cp -a "$T/root/." "$T/ro/" && chmod -R a-w "$T/ro"
fi
make_installer "$T/ro/usr/bin/ekisa" "$T/out/patch.exe" "read-only package"
(cd "$T/ro/usr/bin" && ./ekisa installer "$archive" -o patch.exe >/dev/null 2>"$T/err")
[ $? -eq 1 ] && [ "$(wc -l <"$T/err")" -eq 1 ] || fail "output into the read-only place: $(cat "$T/err")"
# Without the stub: a clear refusal naming where it looked.
rm "$T/root/usr/share/ekisa/patch_installer_stub.exe"
"$ekisa" installer "$archive" -o "$T/nostub.exe" 2>"$T/err"
[ $? -eq 1 ] && grep -q "share/ekisa" "$T/err" && [ ! -e "$T/nostub.exe" ] || fail "missing stub: $(cat "$T/err")"

# --- what Debian expects ---
lintian --fail-on error "$deb" >"$T/lintian" 2>&1 || fail "lintian: $(cat "$T/lintian")"
sed 's/^/  lintian: /' "$T/lintian" | grep -v 'root privileges'
man_warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$T/root/usr/share/man/man1/ekisa.1.gz" 2>&1 >/dev/null)
[ -z "$man_warnings" ] || fail "man page: $man_warnings"

# --- the Windows kit ---
kit=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
case $kit in
    "ekisa-kit-"*"/README.txt ekisa-kit-"*"/ekisa.exe ekisa-kit-"*"/patch_installer_stub.exe ") ;;
    *) fail "zip holds: $kit" ;;
esac
unzip -p "$zip" '*/patch_installer_stub.exe' | cmp -s - "$windows/app/patch_installer_stub.exe" \
    || fail "zip: the stub is not the build's"
unzip -p "$zip" '*/README.txt' | grep -q $'ekisa installer my_patch.ekp -o my_patch.exe\r$' \
    || fail "zip: README.txt lacks the installer command (with Windows line ends)"

# --- the same bytes again ---
"$root/scripts/package" --windows "$windows" --out "$T/again" >/dev/null 2>"$T/err" || fail "scripts/package: $(cat "$T/err")"
for f in "$deb" "$zip"; do
    cmp -s "$f" "$T/again/$(basename "$f")" || fail "packaging again gave other bytes: $(basename "$f")"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures package check(s) failed"
    exit 1
fi
echo "all package checks passed"

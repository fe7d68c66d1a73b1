#!/bin/bash
# End-to-end checks of the ekisa program: round trips, refusals, exit codes
# and reproducible output. Usage: tool_test.sh PATH-TO-EKISA
set -u
EKISA=$1
MANUAL=$(cd "$(dirname "$0")/../../tools/package" && pwd)/manual.sh
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
export LC_ALL=C.UTF-8

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# run WANTED-EXIT-CODE COMMAND...: output in $T/out and $T/err
run() {
    local want=$1
    shift
    "$@" >"$T/out" 2>"$T/err"
    local rc=$?
    if [ "$rc" -ne "$want" ]; then
        fail "exit $rc, wanted $want: $*"
        sed 's/^/  stderr: /' "$T/err"
    fi
}
has() { grep -qF -- "$2" "$1" || fail "$1 lacks: $2"; }

# --- sources: nested folders, a Japanese name, sizes around the chunk size ---
mkdir -p "$T/src/sub/深い"
printf 'hello\n' >"$T/src/a.txt"
: >"$T/src/empty"
head -c 300000 /dev/urandom >"$T/src/sub/big.bin"
head -c 131072 /dev/zero | tr '\0' 'z' >"$T/src/sub/two-chunks.txt"
printf '日本語の内容です\n' >"$T/src/sub/深い/日本語.txt"
for i in $(seq 1 3000); do echo "line $i of a compressible file"; done >"$T/src/code.txt"
cp "$T/src/code.txt" "$T/src/secret.txt"
cp "$T/src/code.txt" "$T/src/both.txt"
FILES=(a.txt empty sub/big.bin sub/two-chunks.txt "sub/深い/日本語.txt"
    -t ekisa_code code.txt -t bshf_crypt -p pw secret.txt -t ekisa_crypt both.txt)

export SOURCE_DATE_EPOCH=1100182247
run 0 "$EKISA" create "$T/one.eka" -C "$T/src" "${FILES[@]}"
run 0 "$EKISA" create "$T/two.eka" -C "$T/src" "${FILES[@]}"
cmp -s "$T/one.eka" "$T/two.eka" || fail "two creates with SOURCE_DATE_EPOCH differ"
# A folder brings its tree in the order of the stored names: the same bytes
# as those files named one by one in that order.
SORTED=(a.txt both.txt code.txt empty secret.txt sub/big.bin sub/two-chunks.txt "sub/深い/日本語.txt")
run 0 "$EKISA" create "$T/named.eka" -C "$T/src" "${SORTED[@]}"
run 0 "$EKISA" create "$T/dot.eka" -C "$T/src" .
cmp -s "$T/named.eka" "$T/dot.eka" || fail "'.' differs from its files named in order"
unset SOURCE_DATE_EPOCH
cp -r "$T/src" "$T/tree" && mkdir -p "$T/tree/void/deeper" && ln -s ../a.txt "$T/tree/sub/alias.txt"
run 0 "$EKISA" create "$T/tree.eka" -C "$T" -t ekisa_code tree
run 0 "$EKISA" extract "$T/tree.eka" -o "$T/tree-out"
[ -d "$T/tree-out/tree/void/deeper" ] || fail "empty folder not stored"
cmp -s "$T/src/a.txt" "$T/tree-out/tree/sub/alias.txt" || fail "link to a file not followed"
rm "$T/tree/sub/alias.txt" "$T/tree-out/tree/sub/alias.txt"
diff -r "$T/tree" "$T/tree-out/tree" >/dev/null || fail "folder argument: extracted tree differs"

# --- list ---
run 0 "$EKISA" list "$T/one.eka"
has "$T/out" "sub/深い/日本語.txt"
has "$T/out" "sub/深い/"
has "$T/out" "2004-11-11 14:10:47"
has "$T/out" "ekisa_code"
has "$T/out" "bshf_crypt"
has "$T/out" "ekisa_crypt"
grep -q "300000  raw .*sub/big.bin" "$T/out" || fail "list: size/type of sub/big.bin"
[ "$(wc -l <"$T/out")" -eq 10 ] || fail "list: expected 10 lines"

# --- verify ---
run 0 "$EKISA" verify "$T/one.eka" -p pw
run 1 "$EKISA" verify "$T/one.eka" -p wrong
has "$T/err" "secret.txt"

# --- extract: round trip, no overwrite without -f, selected names ---
run 0 "$EKISA" extract "$T/one.eka" -o "$T/out1" -p pw
diff -r "$T/src" "$T/out1" >/dev/null || fail "extracted tree differs from the sources"
ls -A "$T/out1" | grep -q '^\.ekisa-' && fail "temporary file left behind"
echo changed >"$T/out1/a.txt"
run 1 "$EKISA" extract "$T/one.eka" -o "$T/out1" -p pw
has "$T/err" "use -f"
[ "$(cat "$T/out1/a.txt")" = changed ] || fail "a.txt was overwritten without -f"
run 0 "$EKISA" extract "$T/one.eka" -o "$T/out1" -f -p pw
cmp -s "$T/src/a.txt" "$T/out1/a.txt" || fail "-f did not replace a.txt"
run 0 "$EKISA" extract "$T/one.eka" -o "$T/out2" "sub/深い" code.txt
[ -f "$T/out2/sub/深い/日本語.txt" ] && [ -f "$T/out2/code.txt" ] || fail "selected names not extracted"
[ -e "$T/out2/a.txt" ] && fail "unselected entry extracted"
run 1 "$EKISA" extract "$T/one.eka" -o "$T/out3" missing.txt
has "$T/err" "missing.txt"
# A wrong password: the entry fails and nothing is left under its name.
run 1 "$EKISA" extract "$T/one.eka" -o "$T/out4" -p wrong secret.txt
[ -e "$T/out4/secret.txt" ] && fail "entry with a bad checksum was kept"
ls -A "$T/out4" | grep -q . && fail "leftovers after a failed entry"

# --- cat ---
run 0 "$EKISA" cat "$T/one.eka" a.txt
[ "$(cat "$T/out")" = hello ] || fail "cat a.txt"
run 0 "$EKISA" cat "$T/one.eka" "sub/深い/日本語.txt"
cmp -s "$T/out" "$T/src/sub/深い/日本語.txt" || fail "cat of a Japanese name"
run 0 "$EKISA" cat "$T/one.eka" code.txt
cmp -s "$T/out" "$T/src/code.txt" || fail "cat of an ekisa_code entry"
run 1 "$EKISA" cat "$T/one.eka" nothere

# --- create refuses unsafe paths and existing archives ---
mkdir -p "$T/work/inner"
echo x >"$T/work/inner/f"
echo y >"$T/outside.txt"
cd "$T/work/inner"
for bad in ../../outside.txt "$T/outside.txt" "./f" "inner//f"; do
    run 1 "$EKISA" create "$T/bad.eka" "$bad"
    [ -e "$T/bad.eka" ] && fail "archive written despite $bad"
done
cd "$T"
run 1 "$EKISA" create "$T/one.eka" -C "$T/src" a.txt
has "$T/err" "use -f"
cmp -s "$T/one.eka" "$T/two.eka" || fail "existing archive changed without -f"
run 0 "$EKISA" create "$T/one.eka" -f -C "$T/src" a.txt
mkdir -p "$T/dup"
echo 1 >"$T/dup/name.txt"
echo 2 >"$T/dup/NAME.TXT"
run 1 "$EKISA" create "$T/dup.eka" -C "$T/dup" name.txt NAME.TXT
has "$T/err" "already has an entry"

# --- extract refuses names that would leave the output folder ---
# A hand-made archive: entries "..", "x/../../escape.txt", "a:b", "ok.txt",
# each one byte of raw data.
le() { # VALUE BYTES
    local v=$1 n=$2 i
    for ((i = 0; i < n; i++)); do printf "\\x$(printf %02x $(((v >> (8 * i)) & 255)))"; done
}
# handmade OUT SIZE NAME...: an archive whose raw entries all claim SIZE
# bytes and each hold the one byte "Q".
handmade() {
    local out=$1 size=$2 n i dirlen=4
    shift 2
    for n in "$@"; do dirlen=$((dirlen + 40 + ${#n} + 1)); done
    {
        printf 'Dadez\x1a\x00\x00'
        le $((0x02000400)) 4
        le 0 4
        head -c 48 /dev/zero
        printf 'DirEntry'
        le $dirlen 8
        le $# 4
        i=0
        for n in "$@"; do
            le "$size" 8
            le 0 4
            le 0 4
            le $((16 + dirlen + i * 17)) 8
            le 0 8
            le 0 4
            le $((${#n} + 1)) 4
            printf '%s\x00' "$n"
            i=$((i + 1))
        done
        for n in "$@"; do
            printf 'filedata'
            le 1 8
            printf 'Q'
        done
    } >"$out"
}
handmade "$T/evil.eka" 1 ".." "x/../../escape.txt" "a:b" "ok.txt"
run 0 "$EKISA" list "$T/evil.eka"
has "$T/out" "ok.txt"
run 1 "$EKISA" extract "$T/evil.eka" -o "$T/evil-out"
[ -f "$T/evil-out/ok.txt" ] || fail "safe entry of a hostile archive not extracted"
[ -e "$T/escape.txt" ] && fail "entry written outside the output folder"
[ "$(ls -A "$T/evil-out")" = ok.txt ] || fail "unexpected files: $(ls -A "$T/evil-out")"
has "$T/err" "unsafe name"
# A symbolic link in the output folder is not followed.
mkdir -p "$T/elsewhere" "$T/linked"
ln -s "$T/elsewhere" "$T/linked/sub"
run 1 "$EKISA" extract "$T/two.eka" -o "$T/linked" -p pw
[ -z "$(ls -A "$T/elsewhere")" ] || fail "extraction followed a symbolic link"

# --- bad archives and usage ---
echo "just text, long enough to fill a header of sixty-four bytes and more" >"$T/text.txt"
run 1 "$EKISA" list "$T/text.txt"
has "$T/err" "not an EKISA archive"
run 1 "$EKISA" list "$T/nonexistent.eka"
head -c 200 "$T/two.eka" >"$T/cut.eka"
run 1 "$EKISA" verify "$T/cut.eka"
cp "$T/two.eka" "$T/flipped.eka"
size=$(stat -c %s "$T/flipped.eka")
printf '\x55' | dd of="$T/flipped.eka" bs=1 seek=$((size - 3)) conv=notrunc status=none
run 1 "$EKISA" verify "$T/flipped.eka" -p pw
# --- the command line: help, usage errors and messages, one case a line ---
# cli EXIT TEXT ARGS...: ekisa ARGS exits with EXIT and prints TEXT (on
# either stream); a usage error (exit 2) is one line on standard error.
cli() {
    local want=$1 text=$2
    shift 2
    "$EKISA" "$@" >"$T/out" 2>"$T/err"
    local rc=$?
    [ "$rc" -eq "$want" ] || fail "exit $rc, wanted $want: ekisa $*"
    cat "$T/out" "$T/err" | grep -qF -- "$text" || fail "ekisa $*: no \"$text\" in: $(cat "$T/err")"
    if [ "$want" -eq 2 ] && [ "$(wc -l <"$T/err")" -ne 1 ]; then fail "ekisa $*: usage error not one line"; fi
}
long=$(printf 'n%.0s' $(seq 1 300))
handmade "$T/mismatch.eka" 5 "five.txt"
handmade "$T/long.eka" 1 "$long:x"
mkdir -p "$T/notdir" && : >"$T/notdir/sub"
cli 0 "ekisa installer ARCHIVE -o PATCH.exe" --help
cli 0 "ekisa create ARCHIVE" -h
cli 0 "-p '' returns to the coder's default password" create --help
cli 0 "--stub STUB.exe" installer -h
cli 0 "symbolic link" extract --help
cli 0 "ekisa 1." --version
cli 2 "no COMMAND given (see 'ekisa --help')"
cli 2 "unknown command \"frobnicate\"" frobnicate
cli 2 "no FILE given (see 'ekisa create --help')" create "$T/x.eka"
cli 2 "unknown encode type \"zip\"" create "$T/x.eka" -t zip a.txt
cli 2 "ARCHIVE missing" extract
cli 2 "NAME missing" cat "$T/two.eka"
cli 2 "unexpected argument" list "$T/two.eka" more
cli 2 "-o PATCH.exe missing" installer "$T/two.eka"
SOURCE_DATE_EPOCH=abc cli 2 "SOURCE_DATE_EPOCH=abc is not a number of seconds" create "$T/x.eka" -C "$T/src" a.txt
SOURCE_DATE_EPOCH=99999999999999 cli 2 "outside the time stamps an archive holds: 0 to 2005949145599" \
    create "$T/x.eka" -C "$T/src" a.txt
cli 1 "both.txt: wrong password, or the entry is damaged (decoding stopped after" verify "$T/two.eka" -p wrong
cli 1 "secret.txt: wrong password, or the entry is damaged (checksum mismatch)" verify "$T/two.eka" -p wrong
cli 1 "no -p was given, so the default password was tried" cat "$T/two.eka" both.txt
cli 1 "five.txt: damaged raw entry: its size in the directory differs" verify "$T/mismatch.eka"
cli 1 "nnnnnnnnnn...nnnnnnnnnn" extract "$T/long.eka" -o "$T/long-out"
grep -qF "$long" "$T/err" && fail "an over-long name was shown whole"
cli 1 "is a symbolic link; links inside the output folder are not followed" \
    extract "$T/two.eka" -o "$T/linked" -p pw sub
cli 1 "notdir/sub exists and is not a folder" extract "$T/two.eka" -o "$T/notdir" -p pw sub
cli 1 "sub: a link to a folder is not followed" create "$T/x.eka" -C "$T/linked" .
cp "$T/tree.eka" "$T/tree/self.eka"
cli 0 "self.eka: is the archive being made; not stored" create "$T/tree/self.eka" -f -C "$T/tree" .
"$EKISA" list "$T/tree/self.eka" | grep -q self.eka && fail "the archive stored itself"

# Refusals of what would be ignored or misread: options after the last
# FILE, a password nothing uses, ARCHIVEs that look like options.
cli 2 '-t "ekisa_code" after the last FILE applies to no FILE' create "$T/x.eka" -C "$T/src" a.txt -t ekisa_code
cli 2 "-C \"$T/src\" after the last FILE applies to no FILE" create "$T/x.eka" a.txt -C "$T/src"
cli 2 '-p "pw" applies to no bshf_crypt or ekisa_crypt FILE' create "$T/x.eka" -C "$T/src" -t raw -p pw a.txt
cli 2 'unknown option "--version"' list --version
cli 2 'unknown option "-"' verify -
cli 2 'unknown option "-x"' extract "$T/two.eka" -x
cli 2 'unknown option "-l"' cat -l a.txt
cli 2 'unknown option "--frob"' installer --frob "$T/two.eka" -o "$T/x.exe"
cli 2 "--best applies to no ekisa_code or ekisa_crypt FILE" create "$T/x.eka" --best -C "$T/src" -t bshf_crypt a.txt
cli 2 "-v and -q exclude each other" verify "$T/two.eka" -v -q
cli 1 "nosuchdir: no such folder (given with -C)" create "$T/x.eka" -C "$T/nosuchdir" a.txt
[ -e "$T/x.eka" ] && fail "an archive was written despite a refusal"
# "--" ends the options of every command: names beginning with '-'.
mkdir -p "$T/dash" && echo dash >"$T/dash/-n.txt"
run 0 "$EKISA" create -C "$T/dash" -- -d.eka -n.txt
cli 0 " -n.txt" list -- -d.eka
cli 0 "dash" cat -- -d.eka -n.txt
cli 0 "not checked" verify -- -d.eka
run 0 "$EKISA" extract -o "$T/dash-out" -- -d.eka -n.txt
cmp -s "$T/dash/-n.txt" "$T/dash-out/-n.txt" || fail "extract -- NAME"
cli 1 "no installer stub" installer -o "$T/x.exe" -- -d.eka
# verify names what it cannot check, and what extract would refuse.
coded=$(cat "$T/src/code.txt" "$T/src/secret.txt" "$T/src/both.txt" | wc -c)
raw=$(cat "$T/src/a.txt" "$T/src/sub/big.bin" "$T/src/sub/two-chunks.txt" "$T/src/sub/深い/日本語.txt" | wc -c)
cli 0 "a.txt: not checked (raw entries carry no checksum)" verify "$T/two.eka" -p pw
cli 0 "3 files, $coded bytes verified; 5 raw files, $raw bytes, not checked (raw entries carry no checksum)" \
    verify "$T/two.eka" -p pw
cli 1 ": ..: unsafe name (\".\" and \"..\" are not file names); extract would refuse it" verify "$T/evil.eka"
# list reads where each entry's data lies: a cut archive is damaged.
head -c $(($(stat -c %s "$T/two.eka") - 1000)) "$T/two.eka" >"$T/short.eka"
cli 1 "both.txt: damaged entry: its data record cannot be read" list "$T/short.eka"
# Limits are stated before anything is written (sparse files: nothing is read).
mkdir -p "$T/huge" && truncate -s 3G "$T/huge/entry.bin" && truncate -s 1100M "$T/huge/half1" "$T/huge/half2"
cli 1 "too large for an archive entry (3,221,225,472 bytes; an entry holds at most 2,147,418,112)" \
    create "$T/x.eka" -C "$T/huge" entry.bin
cli 1 "an archive holds at most 2,147,483,647 bytes" create "$T/x.eka" -C "$T/huge" half1 half2
[ -e "$T/x.eka" ] && fail "an archive was written past its limit"
# Names Windows cannot create are stored with a warning; ekisa's own
# temporary files are not stored at all.
mkdir -p "$T/winbad"
for row in 'q?|"?"' 'NUL.txt|the reserved device name NUL' 'trail. |a trailing dot or space' 'a<b|"<"'; do
    name=${row%%|*}
    echo x >"$T/winbad/$name"
    cli 0 "$name: Windows cannot create this name (${row#*|})" create "$T/x.eka" -f -C "$T/winbad" "$name"
done
: >"$T/tree/.ekisa-AbC123"
cli 0 ".ekisa-AbC123: a temporary file of ekisa" create "$T/x.eka" -f -C "$T/tree" .
"$EKISA" list "$T/x.eka" | grep -q 'ekisa-' && fail "create stored a temporary file of ekisa"
rm "$T/tree/.ekisa-AbC123"

# cat and extract select by one rule, the archive's: ASCII letters match in
# either case, other bytes exactly.
selects() { # NAME STORED-PATH (- when nothing answers)
    "$EKISA" cat "$T/one.eka" "$1" -p pw >"$T/cat-out" 2>/dev/null
    local cat_rc=$?
    rm -rf "$T/sel"
    "$EKISA" extract "$T/one.eka" -o "$T/sel" -p pw "$1" >/dev/null 2>&1
    local extract_rc=$?
    if [ "$2" = - ]; then
        [ $cat_rc -eq 1 ] && [ $extract_rc -eq 1 ] || fail "$1: cat $cat_rc, extract $extract_rc, wanted 1 and 1"
    else
        [ $cat_rc -eq 0 ] && [ $extract_rc -eq 0 ] && cmp -s "$T/cat-out" "$T/sel/$2" && cmp -s "$T/src/$2" "$T/sel/$2" \
            || fail "$1: cat $cat_rc, extract $extract_rc, not both $2"
    fi
}
"$EKISA" create "$T/one.eka" -f -C "$T/src" "${FILES[@]}" 2>/dev/null
selects A.TXT a.txt
selects SUB/深い/日本語.TXT "sub/深い/日本語.txt"
selects sub/Big.Bin sub/big.bin
selects a.txt_ -
selects ａ.txt -

# A write that fails says why (here a file size limit) and leaves nothing.
for cmd in "create $T/limited.eka -C $T/src sub/big.bin" "extract $T/two.eka -o $T/limited sub/big.bin"; do
    mkdir -p "$T/limited"
    (ulimit -f 64; trap '' XFSZ; exec "$EKISA" $cmd) >/dev/null 2>"$T/err"
    rc=$?
    [ $rc -eq 1 ] && grep -q "File too large" "$T/err" || fail "$cmd under a file size limit: exit $rc: $(cat "$T/err")"
    [ -e "$T/limited.eka" ] || [ -e "$T/limited/sub/big.bin" ] && fail "$cmd: a half-written file was left"
    ls -A "$T" "$T/limited/sub" 2>/dev/null | grep -q '^\.ekisa-' && fail "$cmd: a temporary file was left"
done

# Interrupts mid-create and mid-extract remove the temporary file, and the
# tool ends with the signal's status.
mkdir -p "$T/slow" "$T/slow-out"
head -c 6000000 /dev/urandom >"$T/slow/big.bin"
"$EKISA" create "$T/slow.eka" -C "$T/slow" -t ekisa_code big.bin
interrupted() { # SIGNAL FOLDER ARGS...: SIGNAL once ekisa ARGS has its temporary file in FOLDER
    local sig=$1 dir=$2 i rc
    shift 2
    set -m  # with job control, a background job does not ignore SIGINT
    "$EKISA" "$@" 2>/dev/null &
    local pid=$!
    set +m
    for i in $(seq 1 500); do compgen -G "$dir/.ekisa-*" >/dev/null && break; sleep 0.01; done
    kill -"$sig" "$pid"
    wait "$pid" 2>/dev/null
    rc=$?
    [ $rc -eq $((128 + $(kill -l "$sig"))) ] || fail "SIG$sig mid-$1: exit $rc"
    compgen -G "$dir/.ekisa-*" >/dev/null && fail "SIG$sig mid-$1 left $(ls -A "$dir")"
}
for sig in INT TERM HUP; do
    interrupted $sig "$T/slow" create "$T/slow/new.eka" -C "$T/slow" -t ekisa_code big.bin
    interrupted $sig "$T/slow-out" extract "$T/slow.eka" -o "$T/slow-out" -f
done
[ -e "$T/slow/new.eka" ] || [ -e "$T/slow-out/big.bin" ] && fail "an interrupted run left its output"

# A reader that stops early ends cat quietly, with SIGPIPE's status, also
# when whoever started it ignored SIGPIPE.
for ignore in "" "trap '' PIPE;"; do
    status=$(bash -c "$ignore \"\$0\" cat \"\$1\" sub/big.bin 2>\"\$2\" | head -c 10 >/dev/null; echo \${PIPESTATUS[0]}" \
        "$EKISA" "$T/two.eka" "$T/pipe-err")
    [ "$status" -eq 141 ] || fail "cat into a closed pipe ($ignore): status $status"
    [ -s "$T/pipe-err" ] && fail "cat into a closed pipe ($ignore) printed: $(cat "$T/pipe-err")"
done
# On a terminal it first clears its progress line.
SHELL=/bin/bash script -q -c "$(printf %q "$EKISA") cat $(printf %q "$T/two.eka") sub/big.bin | head -c 1 >/dev/null" \
    /dev/null </dev/null >"$T/tty"
[ -z "$(tr '\r' '\n' <"$T/tty" | tail -n 1 | tr -d ' ')" ] || fail "cat into a closed pipe left: $(tr '\r' '|' <"$T/tty")"

# --- create --best: smaller coded entries, read back by the same reader ---
mkdir -p "$T/prog" && head -c 300000 "$EKISA" >"$T/prog/prog.bin"  # a program
BEST=(-C "$T/src" "${FILES[@]}" -C "$T/prog" -t ekisa_code prog.bin)
SOURCE_DATE_EPOCH=1 run 0 "$EKISA" create "$T/default.eka" "${BEST[@]}"
SOURCE_DATE_EPOCH=1 run 0 "$EKISA" create "$T/best.eka" --best "${BEST[@]}"
SOURCE_DATE_EPOCH=1 run 0 "$EKISA" create "$T/best-again.eka" "${BEST[@]}" --best  # anywhere, as -f
cmp -s "$T/best.eka" "$T/best-again.eka" || fail "create --best: two runs differ"
cmp -s "$T/best.eka" "$T/default.eka" && fail "create --best: the default's bytes"
[ "$(stat -c %s "$T/best.eka")" -le "$(stat -c %s "$T/default.eka")" ] || fail "create --best: larger than the default"
run 0 "$EKISA" extract "$T/best.eka" -o "$T/best-out" -p pw
mv "$T/best-out/prog.bin" "$T/best-prog.bin"
diff -r "$T/src" "$T/best-out" >/dev/null && cmp -s "$T/prog/prog.bin" "$T/best-prog.bin" \
    || fail "create --best: extracted files differ"

# --- list -l: per entry the stored bytes and their share; the totals add up ---
run 0 "$EKISA" list -l "$T/best.eka"
awk 'NR > 1 { row[++n] = $0; size[n] = $1; stored[n] = $2; ratio[n] = $3; type[n] = $4 }
    END {
        for (i = 1; i < n; i++) {
            entries++; plain += size[i]; packed += stored[i]
            if (size[i] > 0 && ratio[i] != sprintf("%.1f%%", stored[i] * 100 / size[i])) print "ratio: " row[i]
            if (type[i] == "raw" && stored[i] != size[i]) print "raw entry, stored != size: " row[i]
        }
        want = sprintf("%d %d %.1f%% %d", plain, packed, packed * 100 / plain, entries)
        if (size[n] " " stored[n] " " ratio[n] " " type[n] != want) print "totals " row[n] ", wanted " want
    }' "$T/out" >"$T/sums"
[ -s "$T/sums" ] && fail "list -l: $(cat "$T/sums")"
"$EKISA" list -v "$T/best.eka" | cmp -s - "$T/out" || fail "list -v is not list -l"

# --- -v: a line per entry, its path as list shows it; -q: on a terminal, nothing ---
"$EKISA" list "$T/two.eka" | cut -c49- >"$T/paths"
echo "sub/深い/日本語.txt" >"$T/one-path"
verbose() { # LINES ARGS...: ekisa ARGS -v names the entries of file LINES on standard error
    local lines=$1
    shift
    "$EKISA" "$@" -v >/dev/null 2>"$T/err" || fail "exit $?: ekisa $* -v"
    grep -v '^ekisa: ' "$T/err" | cmp -s - "$lines" || fail "ekisa $* -v: $(head -c 300 "$T/err")"
}
verbose "$T/paths" create "$T/v.eka" -f -C "$T/src" "${FILES[@]}"
verbose "$T/paths" extract "$T/two.eka" -o "$T/v-out" -p pw
verbose "$T/paths" verify "$T/two.eka" -p pw
verbose "$T/one-path" cat "$T/two.eka" SUB/深い/日本語.TXT
# on_tty WANT ARGS...: ekisa ARGS with standard error on a terminal and
# standard output in a file (WANT data:FILE: on the terminal too, where it
# must show FILE's bytes alone). WANT progress: drawn, then cleared, no
# line left, and nothing off a terminal; nothing: not a byte.
on_tty() {
    local want=$1 out
    shift
    out=" >$(printf %q "$T/tty-out")"
    [ "${want%%:*}" = data ] && out=
    SHELL=/bin/bash script -q -e -c "$(printf '%q ' "$EKISA" "$@")$out" /dev/null </dev/null >"$T/tty" 2>&1 \
        || fail "exit $?: ekisa $* on a terminal"
    case $want in
    nothing) [ -s "$T/tty" ] && fail "ekisa $* on a terminal: $(tr '\r' '|' <"$T/tty" | head -c 300)" ;;
    data:*) tr -d '\r' <"$T/tty" | cmp -s - "${want#data:}" || fail "ekisa $* on a terminal: not the data alone" ;;
    progress)
        grep -q '%' "$T/tty" && [ "$(wc -l <"$T/tty")" -eq 0 ] && [ -z "$(tr '\r' '\n' <"$T/tty" | tail -n 1 | tr -d ' ')" ] \
            || fail "ekisa $* on a terminal: progress not drawn and cleared: $(tr '\r' '|' <"$T/tty" | tail -c 300)"
        "$EKISA" "$@" >/dev/null 2>"$T/err"
        [ -s "$T/err" ] && fail "ekisa $* off a terminal: $(head -c 300 "$T/err")"
        ;;
    esac
}
on_tty progress create "$T/t.eka" -f -C "$T/src" "${FILES[@]}"
on_tty progress cat "$T/two.eka" sub/big.bin
on_tty data:"$T/src/code.txt" cat "$T/two.eka" code.txt
on_tty nothing create "$T/t.eka" -f -q -C "$T/src" "${FILES[@]}"
on_tty nothing extract "$T/two.eka" -q -o "$T/tty-x" -f -p pw
on_tty nothing verify "$T/two.eka" -q -p pw
on_tty nothing cat "$T/two.eka" -q sub/big.bin
on_tty nothing list -q "$T/two.eka"

# --- help texts and the manual page made from them fit 80 columns ---
bash "$MANUAL" "$EKISA" 2000-01-01 >"$T/ekisa.1" || fail "manual.sh: exit $?"
MANWIDTH=80 man -l "$T/ekisa.1" >"$T/man" 2>&1 && [ -s "$T/man" ] || fail "man: $(head -c 300 "$T/man")"
for c in "" create list extract verify cat installer; do "$EKISA" $c --help; done >"$T/help"
for f in help man; do
    [ "$(wc -L <"$T/$f")" -le 80 ] || fail "$f: $(awk 'length > 80' "$T/$f" | head -3)"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all tool checks passed"

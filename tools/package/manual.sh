#!/usr/bin/env bash
# The manual page ekisa(1), made from the tool's own help texts so that it
# cannot fall behind them. Help lines stay within 72 columns; this page
# indents them by 7, so that it renders within 80.
#   manual.sh EKISA DATE    (DATE as YYYY-MM-DD; roff on standard output)
set -euo pipefail
ekisa=$1 date=$2
version=$("$ekisa" --version | sed -n 's/^ekisa \([0-9][0-9.]*\) .*/\1/p')
roff() {  # text as lines for a no-fill block
  sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^[.']/\\\\\&&/"
}
# The commands' synopses: the overview's usage block without its first
# line and its 7-column lead, continuation lines kept.
synopsis() {
  "$ekisa" --help | sed -n '/^usage:/,/^$/{/^$/d;/^usage:/d;s/^.\{7\}//;p}'
}
commands=$("$ekisa" --help | sed -n 's/^  \([a-z]\+\)  .*/\1/p')
cat <<MAN
.TH EKISA 1 "$date" "ekisa $version" "User Commands"
.SH NAME
ekisa \\- make EKISA archives and patch installers for the game Miltoa
.SH SYNOPSIS
.nf
$(synopsis | roff)
.fi
.SH DESCRIPTION
.B ekisa
creates, lists, checks and unpacks EKISA archives, and makes patch
installers from them: copies of the installer stub that carry an archive as
their patch data. The commands that read an archive also read the patch data
of a patch installer.
.PP
Every command takes
.B \\-v
(a line for each entry as it is processed) and
.B \\-q
(no progress and no notes: only warnings and errors). Progress is shown
only when standard error is a terminal, on one line that is cleared when
done.
.SH COMMANDS
MAN
for c in $commands; do
  echo ".SS $c"
  echo ".nf"
  "$ekisa" "$c" --help | sed '/^Exit status:/d' | roff
  echo ".fi"
done
cat <<'MAN'
.SH EXIT STATUS
0 success, 1 a bad archive, program or failed entry, 2 a usage error.
.SH ENVIRONMENT
.TP
.B SOURCE_DATE_EPOCH
time stamp of the entries that create stores, in seconds since 1970, so
that the same files give the same archive bytes.
.SH FILES
.TP
.I /usr/share/ekisa/patch_installer_stub.exe
the installer stub that
.B ekisa installer
takes without
.BR \-\-stub .
It is looked for beside the program first, then in
.I ../share/ekisa/
relative to it.
.SH EXAMPLES
.nf
ekisa create my_patch.ekp \-\-best \-C patch \e
    \-t ekisa_code quorvel.exe \-t raw script.eka
ekisa installer my_patch.ekp \-o my_patch.exe
osslsigncode sign \-pkcs12 my_cert.p12 \-pass PASSWORD \-h sha256 \e
    \-t TIMESTAMP\-URL \-in my_patch.exe \-out my_patch\-signed.exe
ekisa list \-l my_patch\-signed.exe
.fi
.PP
Sign the patch installer after making it, never the stub: a signature
covers every byte, and adding the patch data would break it.
.SH SEE ALSO
.BR osslsigncode (1)
MAN

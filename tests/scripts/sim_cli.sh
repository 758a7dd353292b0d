#!/usr/bin/env bash
# odflsh-sim's own surface: help, refused options (exit 2, nothing on
# standard output), the run without drives, and a trace that stays on
# standard error.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
banner=$'\n/// ODD Firmware Update Utility Ver2.27A\n'

"$sim" --help >help.txt 2>help.err
rc=$?
[[ $rc -eq 0 ]] || fail "--help exit code $rc"
grep -q '^usage: odflsh-sim' help.txt || fail "--help prints no usage"
grep -q 'fail=OP\[/MODE\[/BUF\]\]\[@N\]:OUTCOME' help.txt || fail "--help does not document fail="

# Each line: arguments that must be refused.
while IFS= read -r args; do
  # shellcheck disable=SC2086
  "$sim" $args >bad.out 2>bad.err </dev/null
  rc=$?
  [[ $rc -eq 2 ]] || fail "'$args': exit code $rc, expected 2"
  [[ -s bad.out ]] && fail "'$args': wrote to standard output"
  grep -q '^odflsh-sim: ' bad.err || fail "'$args': no message on standard error"
done <<'EOF'
--bogus
--route scsi
--route
--oemcp x
--answers yes,perhaps
--drive qbc999
--drive qbc850,colour=red
--drive qbc850,fail=writebuf/7/f0@2
--drive qbc850,letter=E --drive qbc850,letter=E
--trace=yes
EOF

# No drive at all: the utility's own ending, message 28 and exit code 1.
"$sim" >none.out 2>none.err </dev/null
rc=$?
[[ $rc -eq 1 ]] || fail "no drive: exit code $rc, expected 1"
printf '%s' "$banner"$'\r\nAvailable target is not found.' >none.expected
cmp -s none.expected none.out || fail "no drive: console differs"
grep -q '^box NoticeInfo "\\r\\nAvailable target is not found." -> OK$' none.err || fail "no drive: box not reported"

# The trace changes standard error only.
"$sim" --make-image S1003431.104 || fail "--make-image"
drive=qbc850,rev=1.04,date=08/01/10
"$sim" --drive $drive >plain.out 2>plain.err </dev/null
"$sim" --drive $drive --trace >traced.out 2>traced.err </dev/null
cmp -s plain.out traced.out || fail "--trace changed standard output"
grep -q '^cmd .* D: *12 00 00 00 60 00  in 96' traced.err || fail "--trace shows no INQUIRY"
grep -q '^cmd ' plain.err && fail "commands traced without --trace"
grep -q 'FW is already latest.' plain.out || fail "already-latest run: message 54 missing"

# Image files are written only as regular files: a folder and a FIFO (which
# a plain open would wait on for a reader) are refused alike.
mkdir -p folder && rm -f fifo && mkfifo fifo
for option in --make-image --make-patch; do
  for target in folder fifo; do
    timeout 60 "$sim" "$option" "$target" >made.out 2>made.err </dev/null
    rc=$?
    [[ $rc -eq 1 ]] || fail "$option $target: exit code $rc, expected 1"
    grep -q "^odflsh-sim: cannot write $target\$" made.err || fail "$option $target: no message"
  done
done
[[ -p fifo ]] || fail "the FIFO was replaced"

[[ $failures -eq 0 ]] && echo "ok   cli"
exit $((failures > 0))

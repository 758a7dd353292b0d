#!/usr/bin/env bash
# A family-zero drive (QRD-570) flashed end to end under a HEX definition
# given on the command line, with the HEX image and the G6 patch that
# --make-image and --make-patch wrote: on both routes, at revision 1.05 and at
# the G6 revision 1.06. The console matches byte for byte, and the drive ends
# up holding exactly the image decoded from the HEX file by another tool
# (objcopy, 0xFF where no record wrote). Then runs that must not flash.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

definition='fileName=QRD570.HEX,modelCode=KESTREL QRD-570,vendor=KESTREL,product=DVD-ROM QRD-570,'
definition+='versionText=1.07,cpuType=MN103S,extension=HEX,imageSize=0x20000,familyCode=1'

"$sim" --definition "$definition" --make-image QRD570.HEX --make-patch G6PATCH.HEX 2>made.txt ||
  { echo "FAIL --make-image/--make-patch: $(cat made.txt)"; exit 1; }
grep -q '^odflsh-sim: wrote QRD570.HEX$' made.txt || fail "image name not reported"
grep -q '^odflsh-sim: wrote G6PATCH.HEX$' made.txt || fail "patch name not reported"

# Type-02 segments, 16-byte data records and an end record, nothing else.
others=$(grep -v -e '^:10[0-9A-F]*.$' -e '^:02000002[0-9A-F]*.$' -e '^:00000001FF.$' QRD570.HEX | head -3)
[[ -z $others ]] || fail "unexpected records: $others"
grep -q '^:020000021000EC' QRD570.HEX || fail "no segment record for 0x10000"
grep -q '^:020000022000DC' G6PATCH.HEX || fail "the patch does not start at segment 0x2000"

objcopy -I ihex -O binary --gap-fill 0xff --pad-to 0x20000 QRD570.HEX image.bin ||
  { echo "FAIL objcopy cannot read QRD570.HEX"; exit 1; }
[[ $(wc -c <image.bin) -eq 131072 ]] || fail "decoded image is not 0x20000 bytes"
image_crc=$(crc32 image.bin)

# ends_with FILE TEXT: the file's last bytes are exactly TEXT.
ends_with() {
  local n
  n=$(printf '%s' "$2" | wc -c)
  [[ "$(tail -c "$n" "$1" | od -An -c)" == "$(printf '%s' "$2" | od -An -c)" ]]
}

# expected_console REVISION FIRST-SECOND: the whole console of an update.
expected_console() {
  local model="KESTREL DVD-ROM QRD-570  $1 "
  printf '\n/// ODD Firmware Update Utility Ver2.27A\n'
  printf '\r\nStart updating the device No.1.'
  printf '\r\nF/W file load success.'
  printf '\nCurrent Revision>> %s 03/06/12' "$model"
  [[ $1 == 1.06 ]] && printf '\r\nG6 Patch load success.'
  printf '\r\nF/W file load success.'
  printf '\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.\r\n'
  printf '\n'
  for ((s = $2; s >= 0; s--)); do printf '\rRemaining time is %02dsec' "$s"; done
  printf '\nNew Revision    >> %s 03/06/12  ' "$model"
  printf '\nSuccess to update the firmware.'
  printf '\r\nUpdate operation is completed.'
}

# route, revision, the marker the drive must get (_ for its blank), the
# first second counted:
# the ASPI count always runs 30 s from the flash start; the pass-through one
# runs to 30 s counting the flash's own 8 s.
while read -r route rev marker first; do
  marker=${marker//_/ }
  what="$route, rev $rev"
  "$sim" --route "$route" --definition "$definition" --drive "qrd570,rev=$rev" --trace \
    >"$route$rev.out" 2>"$route$rev.err" </dev/null
  rc=$?
  [[ $rc -eq 0 ]] || fail "$what: exit code $rc, expected 0"
  expected_console "$rev" "$first" >"$route$rev.expected"
  if ! cmp -s "$route$rev.expected" "$route$rev.out"; then
    fail "$what: console differs"
    diff <(od -c "$route$rev.expected") <(od -c "$route$rev.out") | head -10
  fi
  report=$(tail -n 1 "$route$rev.err")
  [[ $report == "drive "*"QRD-570  rev $rev "*" mode normal image 131072 bytes crc32 0x$image_crc marker \"$marker\"" ]] ||
    fail "$what: the drive does not hold the decoded image (crc32 $image_crc, marker '$marker'): $report"
  # The closing block: the last 4 KiB at 0x1F000 with the marker and 12 bytes.
  grep -q '^cmd .* 3B 01 FF 01 F0 00 00 10 10 00  out 4112' "$route$rev.err" || fail "$what: no closing block"
  [[ $(grep -c '^cmd .* 3B 01 FF .* 00 80 00 00  out 32768' "$route$rev.err") -eq 4 ]] ||
    fail "$what: not four full blocks"
  if [[ $route == aspi ]]; then
    grep -q '^cmd .* 3B 01 42 00 00 00 00 00 00 00  none 0  aspi event' "$route$rev.err" ||
      fail "$what: the flash start did not go by event"
  else
    grep -q '^cmd .* 3B 01 42 00 00 00 00 00 00 00  none 0  timeout 30 s' "$route$rev.err" ||
      fail "$what: the flash start did not carry 30 s"
  fi
  # Read back before (the drive differs) and after the flash.
  [[ $(grep -c '^cmd .* 3C 01 80 .* 00 80 00 00  in 32768' "$route$rev.err") -eq 8 ]] ||
    fail "$what: not eight 32 KiB read-backs"
done <<'EOF'
pt 1.05 WIN_ 21
pt 1.06 WIN_ 21
aspi 1.05 WIN2 29
aspi 1.06 WIN_ 29
EOF

# A G6 drive without the patch file ends the run before anything is written.
mkdir nopatch && cp QRD570.HEX nopatch/ && cd nopatch || exit 1
"$sim" --definition "$definition" --drive qrd570,rev=1.06 >out.txt 2>err.txt </dev/null
rc=$?
[[ $rc -eq 1 ]] || fail "no patch: exit code $rc, expected 1"
ends_with out.txt $'\r\nFailed to load Patch file.\r\nUpdate program is terminated by occuring an error.\r\n' ||
  fail "no patch: message 21 and 36 missing"
grep -q 'mode normal image 131072 bytes' err.txt && ! grep -q marker err.txt || fail "no patch: the drive was written"
cd .. || exit 1

# A drive whose firmware area carries none of the identifications is left
# alone, and the run goes on to its end.
"$sim" --definition "$definition" --drive qrd570,ident=none --trace >out.txt 2>err.txt </dev/null
rc=$?
[[ $rc -eq 0 ]] || fail "unrecognised: exit code $rc, expected 0"
ends_with out.txt $'\r\nError Code : 000000\nFailed to get a drive information.' || fail "unrecognised: no error line"
grep -q '^box NoticeStop "\\nFailed to get a drive information." -> OK$' err.txt || fail "unrecognised: no box"
! grep -q '3B 01' err.txt || fail "unrecognised: something was written"

# A definition whose image cannot carry its identification gets no image.
"$sim" --definition "${definition/imageSize=0x20000/imageSize=0x800}" --make-image SMALL.HEX 2>small.txt
rc=$?
[[ $rc -eq 2 && ! -e SMALL.HEX ]] || fail "a too small HEX definition was given an image"
grep -q 'imageSize must lie between 0x1020 and 0x100000' small.txt || fail "no reason for the refused image: $(cat small.txt)"

# Behind the IEEE1394 bridge the flash start is polled; a drive that never
# answers it is given up after the polling bound (300 s), the count shows no
# negative time, and the run ends with the drive possibly in update mode.
"$sim" --route aspi --host bridge=0 --definition "$definition" \
  --drive 'qrd570,rev=1.05,fail=writebuf/1/42:timeout' >out.txt 2>err.txt </dev/null
rc=$?
[[ $rc -eq 1 ]] || fail "bridge, flash never answered: exit code $rc, expected 1"
ends_with out.txt $'\n\rRemaining time is 00sec\r\nFailed to update FW.\r\nUpdate program is terminated by occuring an error.\r\n' ||
  fail "bridge, flash never answered: console ends $(tail -c 160 out.txt | od -c | head -5)"
! grep -q 'Remaining time is -' out.txt || fail "bridge, flash never answered: a negative time"

[[ $failures -eq 0 ]] && echo "ok   family zero"
exit $((failures > 0))

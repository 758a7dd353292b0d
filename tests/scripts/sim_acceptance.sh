#!/usr/bin/env bash
# One drive at 1.00 in a folder holding a valid S1003431.104: the drive is
# flashed, the console matches byte for byte, the exit code is 0, and the
# drive's report shows the image's revision and date and the CRC-32 of
# exactly the file's bytes.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

"$sim" --make-image S1003431.104 || { echo "FAIL --make-image"; exit 1; }
"$sim" --drive qbc850,rev=1.00,date=07/12/01 --answers yes >out.bin 2>err.txt </dev/null
rc=$?

# The console as the utility's texts give it: banner, device header,
# current revision and signature, message 61, one progress step per 32 KiB
# block (offset * 100 / 1880576 before each block), the completion text,
# the new revision, message 12 and the summary 35.
{
  printf '\n/// ODD Firmware Update Utility Ver2.27A\n'
  printf '\r\nStart updating the device No.1.'
  printf '\nCurrent Revision>> KESTREL BD-ROM  QBC-850  1.00  07/12/01'
  printf '\nCurrent Signature = KES_ADV '
  printf '\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.\r\n'
  for ((offset = 0; offset < 1880576; offset += 32768)); do
    printf '\rProcessing %d%%' $((offset * 100 / 1880576))
  done
  printf '\rProcessing 100%% --> Data transfer complete\r\nNow internal re-flashing...'
  printf '\nNew Revision    >> KESTREL BD-ROM  QBC-850  1.04  08/01/10  '
  printf '\nSuccess to update the firmware.'
  printf '\r\nUpdate operation is completed.'
} >expected.bin

[[ $rc -eq 0 ]] || fail "exit code $rc, expected 0"
if ! cmp -s expected.bin out.bin; then
  fail "console differs"
  diff <(od -c expected.bin) <(od -c out.bin) | head -20
fi

crc=$(crc32 S1003431.104)
report=$(tail -n 1 err.txt)
case "$report" in
  "drive D: "*1.04*08/01/10*) ;;
  *) fail "drive report lacks the new revision and date: $report" ;;
esac
grep -qi "$crc" <<<"$report" || fail "drive report lacks CRC-32 $crc: $report"
grep -q '^box AskYesNo ".*Do you want to update the F/W.*" -> Yes$' err.txt || fail "question 82 not answered yes"
grep -q '^box NoticeInfo "\\r\\nUpdate operation is completed." -> OK$' err.txt || fail "summary box missing"

[[ $failures -eq 0 ]] && echo "ok   acceptance"
exit $((failures > 0))

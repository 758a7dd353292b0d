#!/usr/bin/env bash
# Whole runs through odflsh-sim with injected faults and the ASPI route:
# the exit code, the end of the console, the boxes, and what each drive
# holds afterwards.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

"$sim" --make-image S1003431.104 || { echo "FAIL --make-image"; exit 1; }
crc=$(crc32 S1003431.104)

# ends_with FILE TEXT: the file's last bytes are exactly TEXT.
ends_with() {
  local n
  n=$(printf '%s' "$2" | wc -c)
  [[ "$(tail -c "$n" "$1" | od -An -c)" == "$(printf '%s' "$2" | od -An -c)" ]]
}

# The drive refuses the kernel switch: the run ends with message 36 and
# exit code 1, and the drive keeps its firmware.
"$sim" --drive 'qbc850,fail=writebuf/4/ff:5/26/0' --answers yes >refused.out 2>refused.err </dev/null
rc=$?
[[ $rc -eq 1 ]] || fail "refused switch: exit code $rc, expected 1"
ends_with refused.out $'\nFailed to move to the kernel mode.\r\nUpdate program is terminated by occuring an error.\r\n' ||
  fail "refused switch: console does not end with messages 14 and 36"
grep -q '^box NoticeWarning "\\r\\nUpdate program is terminated' refused.err || fail "refused switch: no warning box"
grep -q '^drive D: .*1\.00.*image 0 bytes' refused.err || fail "refused switch: drive changed: $(tail -n1 refused.err)"

# The third block fails; the drive still answers as its kernel, the user
# retries, and the second pass flashes the drive.
"$sim" --drive 'qbc850,fail=writebuf/7/f0@3:4/44/0' --answers yes,yes,yes >retry.out 2>retry.err </dev/null
rc=$?
[[ $rc -eq 0 ]] || fail "retry: exit code $rc, expected 0"
grep -q '^box NoticeStop "\\r\\nFailed to update the normal part." -> OK$' retry.err || fail "retry: message 42 missing"
grep -q '^box AskYesNo "\\nFailed to move to the normal mode.\\r\\nDo you retry to update ?" -> Yes$' retry.err ||
  fail "retry: question 47 missing"
ends_with retry.out $'\nSuccess to update the firmware.\r\nUpdate operation is completed.' || fail "retry: no success"
grep -qi "^drive D: .*1\.04.*08/01/10.*$crc" retry.err || fail "retry: drive not flashed: $(tail -n1 retry.err)"

# The ASPI route on Windows 98, with the answers left to the default (yes
# without a terminal); two drives, both flashed.
"$sim" --route aspi --drive qbc850 --drive qbc850,target=3 >aspi.out 2>aspi.err </dev/null
rc=$?
[[ $rc -eq 0 ]] || fail "aspi: exit code $rc, expected 0"
grep -q '^box AskYesNo "\\r\\n2 target device(s) is found.\\r\\nDo you want to update all drives ?" -> Yes$' aspi.err ||
  fail "aspi: all-drives question not answered yes"
grep -qi "^drive 0:0 .*1\.04.*$crc" aspi.err || fail "aspi: first drive not flashed"
grep -qi "^drive 0:3 .*1\.04.*$crc" aspi.err || fail "aspi: second drive not flashed"
ends_with aspi.out $'\r\nUpdate operation is completed.' || fail "aspi: no summary"

# A Japanese console gets the cp932 completion text.
"$sim" --oemcp 932 --drive qbc850 --answers yes >ja.out 2>ja.err </dev/null
rc=$?
[[ $rc -eq 0 ]] || fail "japanese: exit code $rc, expected 0"
# "\rProcessing 100% --> ﾌｧｰﾑｳｪｱ転送完了" in cp932
LC_ALL=C grep -q $'Processing 100% --> \xcc\xa7\xb0\xd1\xb3\xaa\xb1\x93\x5d\x91\x97\x8a\xae\x97\xb9' ja.out ||
  fail "japanese: completion text missing"

# Every block fails and no terminal answers: the automatic yes answers run
# out, so the run ends instead of retrying for ever.
"$sim" --drive 'qbc850,fail=writebuf/7/f0@0:4/44/0' >forever.out 2>forever.err </dev/null
rc=$?
[[ $rc -eq 0 || $rc -eq 1 ]] || fail "failing drive: exit code $rc"
grep -q '^odflsh-sim: 50 questions answered yes without a terminal' forever.err || fail "failing drive: no notice"
grep -q '^drive D: .*image 0 bytes' forever.err || fail "failing drive: something was flashed"

[[ $failures -eq 0 ]] && echo "ok   scenarios"
exit $((failures > 0))

#!/usr/bin/env bash
# Whole runs through odflsh-sim on the hosts --host sets up (the Intel
# drivers, the IEEE1394 bridge), failed passes over a drive left in its
# kernel, and image names that are no readable file.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

"$sim" --make-image S1003431.104 || { echo "FAIL --make-image"; exit 1; }
crc=$(crc32 S1003431.104)
terminated=$'\r\nUpdate program is terminated by occuring an error.\r\n'
# The run's last word when it leaves the drive in its kernel.
left_in_kernel=$'\r\nThe device No.1 is still in its update kernel: run this program again to finish its update.'

# ends_with FILE TEXT: the file's last bytes are exactly TEXT.
ends_with() {
  local n
  n=$(printf '%s' "$2" | wc -c)
  [[ "$(tail -c "$n" "$1" | od -An -c)" == "$(printf '%s' "$2" | od -An -c)" ]]
}

# Each host set-up reaches the host checks.
while IFS='|' read -r args text; do
  # shellcheck disable=SC2086
  "$sim" $args --drive qbc850,rev=1.04,date=08/01/10 >host.out 2>host.err </dev/null
  grep -qF "$text" host.out || fail "'$args': console lacks '$text'"
done <<'EOF'
--host iaa|Detect the Intel's IDE driver.
--host ultraata|Detect the Intel's IDE driver.
--route aspi --host intelata|Detect the Intel's IDE driver.
--route aspi --host bridge=1|Detect the IEEE1394 interface.
EOF

# Behind the Intel ATA driver's adapter, a block the drive refuses as not
# ready is a failed block: message 42, the drive still in its kernel, the
# retry question, and on No the run ends as a failure with nothing flashed.
for sense in 2/4/1 2/3a/0; do
  "$sim" --route aspi --host intelata --drive "qbc850,fail=writebuf/7/f0@3:$sense" --answers yes,no \
    >intel.out 2>intel.err </dev/null
  rc=$?
  [[ $rc -eq 1 ]] || fail "intelata $sense: exit code $rc, expected 1"
  grep -q '^box NoticeStop "\\r\\nFailed to update the normal part." -> OK$' intel.err ||
    fail "intelata $sense: message 42 missing"
  grep -q '^box AskYesNo "\\nFailed to move to the normal mode.\\r\\nDo you retry to update ?" -> No$' intel.err ||
    fail "intelata $sense: question 47 missing"
  grep -q 'Success to update the firmware.' intel.out && fail "intelata $sense: success reported"
  ends_with intel.out "$terminated$left_in_kernel" ||
    fail "intelata $sense: console does not end with message 36 and the drive left in its kernel"
  grep -q '^drive 0:0 .*mode kernel image 0 bytes' intel.err || fail "intelata $sense: $(tail -n1 intel.err)"

  # A retry sends the whole image again and the drive takes it.
  "$sim" --route aspi --host intelata --drive "qbc850,fail=writebuf/7/f0@3:$sense" --answers yes,yes,yes \
    >again.out 2>again.err </dev/null
  rc=$?
  [[ $rc -eq 0 ]] || fail "intelata $sense retried: exit code $rc, expected 0"
  grep -qi "^drive 0:0 .*1\.04.*mode normal.*$crc" again.err || fail "intelata $sense retried: $(tail -n1 again.err)"
done

# The retry pass starts with the drive in its kernel; a No to question 82
# there must not leave it so on a quiet exit 0.
"$sim" --drive 'qbc850,fail=writebuf/7/f0@1:4/44/0' --answers yes,yes,no >kernel.out 2>kernel.err </dev/null
rc=$?
[[ $rc -eq 1 ]] || fail "retry then no: exit code $rc, expected 1"
ends_with kernel.out $'\nCurrent Signature = KES_ADV '"$terminated$left_in_kernel" ||
  fail "retry then no: console does not end with message 36 and the drive left in its kernel"
grep -q '^drive D: .*mode kernel' kernel.err || fail "retry then no: $(tail -n1 kernel.err)"

# An image name that is a folder, or a file nobody may read, is refused
# like a missing file: message 11, the run ends, nothing is written.
mv S1003431.104 image.keep
mkdir S1003431.104
cases=(folder)
if [[ $(id -u) -ne 0 ]]; then cases+=(unreadable); fi
for kind in "${cases[@]}"; do
  if [[ $kind == unreadable ]]; then
    rmdir S1003431.104
    cp image.keep S1003431.104
    chmod 000 S1003431.104
  fi
  "$sim" --drive qbc850 --answers yes --trace >file.out 2>file.err </dev/null
  rc=$?
  [[ $rc -eq 1 ]] || fail "$kind image: exit code $rc, expected 1"
  ends_with file.out $'\r\nFailed to load binary file.\r\n(File Name : S1003431.104)'"$terminated" ||
    fail "$kind image: console does not end with messages 11 and 36"
  grep -q '^cmd .* 3B ' file.err && fail "$kind image: something was written"
done

[[ $failures -eq 0 ]] && echo "ok   hosts"
exit $((failures > 0))

#!/usr/bin/env bash
# A family-one writer (QRW-730, family 0x1005) that demands the unlock
# handshake, flashed end to end under a definition given on the command line,
# with the images --make-image wrote for it: the normal part only, and the
# kernel part (two blocks) with the normal part; on both routes. Then bad
# definitions, which are refused before anything runs.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

definition() {
  printf 'fileName=Q7300122.BIN,vendor=KESTREL,product=DVD-RW  QRW-730,extension=BIN,imageSize=0x100000,'
  printf 'familyCode=0x1005,updateScope=%s,minimumImageDate=0x20070101,vendorTag=QRW730N' "$1"
}

# ends_with FILE TEXT: the file's last bytes are exactly TEXT.
ends_with() {
  local n
  n=$(printf '%s' "$2" | wc -c)
  [[ "$(tail -c "$n" "$1" | od -An -c)" == "$(printf '%s' "$2" | od -An -c)" ]]
}

# The console of the normal-part-only update: one progress step per 32 KiB
# block of the 1 MiB image, after the family's leading line break.
{
  printf '\n/// ODD Firmware Update Utility Ver2.27A\n'
  printf '\r\nStart updating the device No.1.'
  printf '\nCurrent Revision>> KESTREL DVD-RW  QRW-730  1.22  07/12/01'
  printf '\nCurrent Signature = KES_ADV '
  printf '\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.\r\n'
  printf '\n'
  for ((k = 0; k < 32; k++)); do printf '\rProcessing %d%%' $((k * 32768 * 100 / 1048576)); done
  printf '\rProcessing 100%% --> Data transfer complete\r\nNow internal re-flashing...'
  printf '\nNew Revision    >> KESTREL DVD-RW  QRW-730  1.30  08/01/10'
  printf '\nSuccess to update the firmware.'
  printf '\r\nUpdate operation is completed.'
} >expected.bin

for scope in 1 0; do
  mkdir -p "scope$scope" && cd "scope$scope" || exit 1
  "$sim" --definition "$(definition "$scope")" --make-image Q7300122.BIN --image-rev 1.30 2>made.txt ||
    fail "scope $scope: --make-image failed: $(cat made.txt)"
  grep -q '^odflsh-sim: wrote Q7300122.BIN$' made.txt || fail "scope $scope: image name not reported"
  if [[ $scope == 0 ]]; then
    grep -q '^odflsh-sim: wrote Q7300120.BIN$' made.txt || fail "scope 0: kernel image name not reported"
    [[ $(wc -c <Q7300120.BIN) -eq 65536 ]] || fail "scope 0: kernel image is not two blocks long"
  else
    [[ ! -e Q7300120.BIN ]] || fail "scope 1: a kernel image was written"
  fi
  crc=$(crc32 Q7300122.BIN)

  for route in pt aspi; do
    what="scope $scope, $route"
    "$sim" --route "$route" --definition "$(definition "$scope")" --drive qrw730,rev=1.22,handshake=1 \
      --answers yes --trace >"$route.out" 2>"$route.err" </dev/null
    rc=$?
    [[ $rc -eq 0 ]] || fail "$what: exit code $rc, expected 0"
    ends_with "$route.out" $'\nSuccess to update the firmware.\r\nUpdate operation is completed.' ||
      fail "$what: no success"
    report=$(tail -n 1 "$route.err")
    grep -qi "rev 1\.30 date 08/01/10 mode normal image 1048576 bytes crc32 0x$crc" <<<"$report" ||
      fail "$what: the drive does not hold the image file: $report"

    # The handshake, in order, before the switch into the kernel.
    exchange=$(grep -o '3[BC] 0[124] F[23F] 00 00 00 00 0[014] 00 00' "$route.err" | head -5 | tr '\n' '|')
    [[ $exchange == '3B 01 F3 00 00 00 00 00 00 00|3C 02 F2 00 00 00 00 04 00 00|3B 01 F2 00 00 00 00 01 00 00|3B 01 F2 00 00 00 00 04 00 00|3B 04 FF 00 00 00 00 01 00 00|' ]] ||
      fail "$what: handshake traffic: $exchange"

    kernelBlocks=$(grep -c ' 3B 07 FE ' "$route.err")
    if [[ $scope == 0 ]]; then
      [[ $kernelBlocks -eq 2 ]] || fail "$what: $kernelBlocks kernel blocks, expected 2"
      grep -qi "kernel 65536 bytes crc32 0x$(crc32 Q7300120.BIN)" <<<"$report" ||
        fail "$what: the drive does not hold the kernel image: $report"
    else
      [[ $kernelBlocks -eq 0 ]] || fail "$what: kernel blocks written"
    fi
    if [[ $scope == 1 && $route == pt ]] && ! cmp -s ../expected.bin "$route.out"; then
      fail "$what: console differs"
      diff <(od -c ../expected.bin) <(od -c "$route.out") | head -20
    fi
  done
  cd .. || exit 1
done

# Bad definitions: a clear reason on stderr, exit code 2, nothing run.
nine=()
for i in 1 2 3 4 5 6 7 8 9; do nine+=(--definition "$(definition 1)"); done
while IFS='|' read -r reason args; do
  eval "set -- $args"
  "$sim" "$@" --drive qrw730 >bad.out 2>bad.err </dev/null
  rc=$?
  [[ $rc -eq 2 ]] || fail "bad definition ($args): exit code $rc, expected 2"
  grep -qF -- "$reason" bad.err || fail "bad definition ($args): no '$reason' in: $(cat bad.err)"
  [[ ! -s bad.out ]] || fail "bad definition ($args): the utility ran"
done <<'EOF'
unknown field 'fileNam'|--definition 'fileNam=Q7300122.BIN'
vendor takes at most 8 characters|--definition 'vendor=KESTREL INC'
familyCode takes a decimal or 0x-hex number|--definition 'familyCode=0x10O5'
at most 8 definitions|"${nine[@]}"
EOF

[[ $failures -eq 0 ]] && echo "ok   family one"
exit $((failures > 0))

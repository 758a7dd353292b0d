#!/usr/bin/env bash
# HEX images as the usual tools write them: objcopy, and srec_cat in its own
# forms (extended linear addresses by default, segments with
# -address-length=3, records of 16, 32 and 255 bytes), then the same text
# with CR LF or LF line ends (objcopy writes the one, srec_cat the other), lower-case digits, blank lines after the end
# record and records in another order. Each is made here from one reference
# image and flashed whole to a family-zero drive, which must end up holding
# exactly that image (its CRC-32). Skipped (77) without objcopy or srec_cat.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

for tool in objcopy srec_cat; do
  command -v "$tool" >/dev/null || { echo "skip: $tool is not installed"; exit 77; }
done

definition='fileName=QRD570.HEX,modelCode=KESTREL QRD-570,vendor=KESTREL,product=DVD-ROM QRD-570,'
definition+='versionText=1.07,cpuType=MN103S,extension=HEX,imageSize=0x20000,familyCode=1'

# The reference: the image --make-image writes, as another tool decodes it.
"$sim" --definition "$definition" --make-image made.hex 2>/dev/null ||
  { echo "FAIL --make-image"; exit 1; }
objcopy -I ihex -O binary --gap-fill 0xff --pad-to 0x20000 made.hex reference.bin ||
  { echo "FAIL objcopy cannot read made.hex"; exit 1; }
reference_crc=$(crc32 reference.bin)

crlf() { sed 's/$/\r/'; }
lower() { sed '/^:/y/ABCDEF/abcdef/'; }
blank_lines() { cat; printf '\n\n\r\n\n'; }
# The address records' groups last first, and the data records within each
# group last first; the end record stays last. Data ahead of the first
# address record gets an address record of its own (zero, of the kind the
# file uses), since it no longer comes first.
reordered() {
  awk 'BEGIN { n = 0 }
       /^:......0[24]/ { if (n++ == 0) zero = substr($0, 9, 1) == "4" ? ":020000040000FA" : ":020000020000FC" }
       /^:00000001/ { last = $0; next }
       { group[n] = group[n] $0 "\n" }
       END { for (i = n; i > 0; i--) printf "%s", group[i]
             if (group[0] != "") printf "%s\n%s", zero, group[0]
             print last }' |
    awk '/^:......0[24]/ { printf "%s", held; print; held = ""; next }
         /^:......01/ { printf "%s", held; print; next }
         { held = $0 "\n" held }'
}

# NAME|COMMAND writing the HEX text of reference.bin to stdout|FILTER
rows=(
  'objcopy|objcopy -I binary -O ihex reference.bin /dev/stdout|cat'
  'srec_cat|srec_cat reference.bin -binary -o - -intel|cat'
  'srec_cat, segments|srec_cat reference.bin -binary -o - -intel -address-length=3|cat'
  'srec_cat, 16-byte records|srec_cat reference.bin -binary -o - -intel -output_block_size=16|cat'
  'srec_cat, 32-byte records|srec_cat reference.bin -binary -o - -intel -output_block_size=32|cat'
  'srec_cat, 255-byte records|srec_cat reference.bin -binary -o - -intel -output_block_size=255|cat'
  'srec_cat, segments, 255-byte records|srec_cat reference.bin -binary -o - -intel -address-length=3 -output_block_size=255|cat'
  'srec_cat, CR LF|srec_cat reference.bin -binary -o - -intel|crlf'
  'objcopy, lower case|objcopy -I binary -O ihex reference.bin /dev/stdout|lower'
  'srec_cat, lower case, CR LF|srec_cat reference.bin -binary -o - -intel|lower | crlf'
  'srec_cat, blank lines after the end|srec_cat reference.bin -binary -o - -intel|blank_lines'
  'srec_cat, records in another order|srec_cat reference.bin -binary -o - -intel -output_block_size=255|reordered'
  'objcopy, LF|objcopy -I binary -O ihex reference.bin /dev/stdout|tr -d "\\r"'
  'objcopy, records in another order|objcopy -I binary -O ihex reference.bin /dev/stdout|reordered'
)

n=0
for row in "${rows[@]}"; do
  IFS='|' read -r name command filter <<<"$row"
  n=$((n + 1))
  dir=run$n
  mkdir "$dir" || exit 1
  if ! eval "$command" | eval "$filter" >"$dir/QRD570.HEX"; then
    fail "$name: the file could not be made"
    continue
  fi
  # The file must really differ from the reference's own HEX text in the
  # way the row says; the two checks below are cheap witnesses of that.
  case $name in
    *"another order"*) [[ $(grep -m1 '^:..0000' "$dir/QRD570.HEX") != $(grep -m1 '^:..0000' made.hex) ]] ||
      fail "$name: the records were not moved" ;;
    *"lower case"*) grep -q '^:[0-9a-f]*[a-f]' "$dir/QRD570.HEX" || fail "$name: no lower-case digit" ;;
  esac
  (cd "$dir" && "$sim" --definition "$definition" --drive qrd570,rev=1.05 >out.txt 2>err.txt </dev/null)
  rc=$?
  [[ $rc -eq 0 ]] || fail "$name: exit code $rc, expected 0: $(tail -c 200 "$dir/out.txt")"
  grep -q 'Success to update the firmware.' "$dir/out.txt" || fail "$name: no success line"
  report=$(tail -n 1 "$dir/err.txt")
  [[ $report == *" mode normal image 131072 bytes crc32 0x$reference_crc "* ]] ||
    fail "$name: the drive does not hold the reference image (crc32 $reference_crc): $report"
done

# The type 04 records are what srec_cat's default adds to the older form.
srec_cat reference.bin -binary -o - -intel | grep -q '^:020000040001F9' ||
  fail "srec_cat's default has no extended linear address 0001"

[[ $failures -eq 0 ]] && echo "ok   HEX images from objcopy and srec_cat"
exit $((failures > 0))

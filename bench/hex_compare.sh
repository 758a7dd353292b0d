#!/usr/bin/env bash
# Times the HEX loader (bench/hex_load, the product's own record reader) as a
# whole process against objcopy and srec_cat, with `wc -l` over the same file
# as the floor, on a 1 MiB random image: about the most that type-02 segment
# addressing reaches, the form objcopy writes for it.
#
#   bash bench/hex_compare.sh [path/to/hex_load]   (default build/linux/bench/hex_load)
#
# Needs hyperfine, objcopy (binutils) and srec_cat (srecord). Prints the
# hyperfine table and the two ratios of the goal: ours at least 5 times faster
# than objcopy, and within 4 times `wc -l`. Exit status 0 when the goal is met.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
hex_load=$(realpath "${1:-$here/build/linux/bench/hex_load}")
size=$((1024 * 1024))

for tool in hyperfine objcopy srec_cat wc; do
  command -v "$tool" >/dev/null || { echo "hex_compare: $tool is not installed" >&2; exit 2; }
done
[[ -x $hex_load ]] || { echo "hex_compare: no $hex_load (build the linux preset first)" >&2; exit 2; }

# Memory-backed files when there are any, so that no tool's time includes
# the disk's write-back of its output.
parent=/tmp
[[ -d /dev/shm && -w /dev/shm ]] && parent=/dev/shm
work=$(mktemp -d "$parent/hex_compare.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

head -c "$size" /dev/urandom >image.bin
objcopy -I binary -O ihex image.bin image.hex
echo "image: $size random bytes; image.hex: $(wc -c <image.hex) bytes, $(wc -l <image.hex) lines" \
     "($(grep -c '^:02000002' image.hex) type-02 records)"

ours=("$hex_load" image.hex "$size" ours.bin)
objcopy_run=(objcopy -I ihex -O binary image.hex objcopy.bin)
srec_run=(srec_cat image.hex -Intel -o srec.bin -Binary)

"${ours[@]}" 2>/dev/null
"${objcopy_run[@]}"
"${srec_run[@]}"
for out in ours.bin objcopy.bin srec.bin; do
  cmp image.bin "$out" || { echo "hex_compare: $out differs from the image" >&2; exit 1; }
done
echo "all three tools rebuild the image exactly"
echo

hyperfine --shell=none --warmup 10 --min-runs 100 --style none \
  --export-markdown table.md --export-csv times.csv \
  -n "hex_load (ours)" "${ours[*]}" \
  -n "objcopy" "${objcopy_run[*]}" \
  -n "srec_cat" "${srec_run[*]}" \
  -n "wc -l" "wc -l image.hex"
cat table.md
echo

# Medians: on a shared machine they stay put where the means are pulled up by
# the odd descheduled run.
median() { awk -F, -v name="$1" '$1 == name { print $4 * 1000 }' times.csv; }
# Processor time (user + system), which other load on the machine hardly moves.
cpu() { awk -F, -v name="$1" '$1 == name { printf "%.2f", ($5 + $6) * 1000 }' times.csv; }
ours_ms=$(median "hex_load (ours)")
objcopy_ms=$(median "objcopy")
wc_ms=$(median "wc -l")
echo "processor time: ours $(cpu "hex_load (ours)") ms, objcopy $(cpu objcopy) ms," \
     "srec_cat $(cpu srec_cat) ms, wc -l $(cpu "wc -l") ms"
awk -v o="$ours_ms" -v b="$objcopy_ms" -v w="$wc_ms" 'BEGIN {
  faster = b / o; floor = o / w
  printf "medians: ours %.2f ms, objcopy %.2f ms, wc -l %.2f ms\n", o, b, w
  printf "ours is %.1f times faster than objcopy (goal: at least 5)\n", faster
  printf "ours takes %.1f times as long as wc -l (goal: at most 4)\n", floor
  met = faster >= 5 && floor <= 4
  print met ? "goal met" : "goal NOT met"
  exit met ? 0 : 1
}'

# Shared start of the odflsh-sim script tests (sourced, not run): the
# simulator's absolute path from $1, a temporary working folder that is
# removed on exit, a failure counter, and the CRC-32 of a file.

sim=${1:?usage: $(basename "$0") <path-to-odflsh-sim>}
sim=$(cd "$(dirname "$sim")" && pwd)/$(basename "$sim")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# crc32 FILE: eight lowercase hexadecimal digits.
crc32() {
  if command -v python3 >/dev/null; then
    python3 -c 'import sys, zlib; print("%08x" % zlib.crc32(open(sys.argv[1], "rb").read()))' "$1"
  else
    # gzip's trailer holds the CRC-32, least significant byte first.
    gzip -c "$1" | tail -c8 | head -c4 | od -An -tx1 | awk '{print $4 $3 $2 $1}'
  fi
}

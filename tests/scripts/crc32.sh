# crc32 FILE: the file's CRC-32, eight lowercase hexadecimal digits (sourced,
# not run).
crc32() {
  if command -v python3 >/dev/null; then
    python3 -c 'import sys, zlib; print("%08x" % zlib.crc32(open(sys.argv[1], "rb").read()))' "$1"
  else
    # gzip's trailer holds the CRC-32, least significant byte first.
    gzip -c "$1" | tail -c8 | head -c4 | od -An -tx1 | awk '{print $4 $3 $2 $1}'
  fi
}

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
source "$(dirname "${BASH_SOURCE[0]}")/crc32.sh"

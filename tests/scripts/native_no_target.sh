#!/usr/bin/env bash
# The native Linux build on a machine without a reachable drive: the banner,
# then message 28, and exit code 1, in English and (on a UTF-8 Japanese
# locale) in Japanese converted for the terminal. Compares the exact bytes.
set -u

program=${1:?usage: native_no_target.sh <path-to-odflsh>}
# The program runs from a scratch directory, so a relative path must be resolved first.
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

banner=$'\n/// ODD Firmware Update Utility Ver2.27A\n'

source "$(dirname "${BASH_SOURCE[0]}")/check.sh"

# run_case NAME LOCALE EXPECTED_STDOUT
run_case() {
  local name=$1 locale=$2 expected=$3
  # Run from an empty directory so no stray file can be picked up.
  (cd "$work" && env -u LC_MESSAGES -u LANG LC_ALL="$locale" "$program" </dev/null >"$work/$name.out")
  check "$name" $? "$expected"
}

run_case english C "${banner}"$'\r\nAvailable target is not found.'
# UTF-8 text of message 28 (the program prints it from its cp932 bytes).
run_case japanese ja_JP.UTF-8 "${banner}"$'\r\n\xe3\x81\x93\xe3\x81\xae\xef\xbe\x8c\xef\xbe\x9f\xef\xbe\x9b\xef\xbd\xb8\xef\xbe\x9e\xef\xbe\x97\xef\xbe\x91\xe3\x81\xa7\xe5\x88\xa9\xe7\x94\xa8\xe5\x8f\xaf\xe8\x83\xbd\xe3\x81\xaa\xef\xbe\x84\xef\xbe\x9e\xef\xbe\x97\xef\xbd\xb2\xef\xbe\x8c\xef\xbe\x9e\xe3\x81\x8c\xe3\x81\x82\xe3\x82\x8a\xe3\x81\xbe\xe3\x81\x9b\xe3\x82\x93\xe3\x80\x82'

exit $((failures > 0))

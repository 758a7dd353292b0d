#!/usr/bin/env bash
# The Windows build under Wine, on a PC without a reachable drive: the banner,
# then message 28, and exit code 1. Compares the exact stdout bytes (Wine also
# exits with 1, printing its own text, when it cannot start a program at all):
#   - English console, no display: the OK box cannot open and returns at once;
#   - Japanese console (Wine takes code page 932 from LC_ALL, installed or not):
#     message 28 in its cp932 bytes, unchanged;
#   - English console on a virtual display: the OK box titled "ODFLSH" appears,
#     the program waits for it, and ends once Enter is pressed on it.
# The Windows version is Wine's default (the pass-through route). Runs in the
# test run's Wine prefix (ODFLSH_WINEPREFIX), or, run by hand, in a new one.
# Fails, saying what is missing, without Wine, Xvfb or xdotool
# (tools/install_deps.sh installs them).
set -u

# The box run, re-entered inside xvfb-run (whose /bin/sh drops exported bash
# functions): while the program is still running a window titled "ODFLSH" must
# appear; Enter is pressed on it (again every half second, in case the box was
# not yet taking keys) until the program ends.
box_session() {
  "$wine" "$exe" </dev/null >"$work/box.out" 2>"$work/box.err" &
  local pid=$! seen=0 window
  for ((i = 0; i < 1200; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    window=$(xdotool search --name '^ODFLSH$' 2>/dev/null | head -n 1)
    if [[ -n $window ]]; then
      seen=1
      xdotool key --window "$window" Return >/dev/null 2>&1
      sleep 0.4
    fi
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "the program did not end within 2 minutes (box seen: $seen)" >"$work/box.failed"
    kill "$pid"
  elif [[ $seen -eq 0 ]]; then
    echo "no window titled ODFLSH appeared while the program ran" >"$work/box.failed"
  fi
  wait "$pid"
  local rc=$?
  wineserver -k >/dev/null 2>&1
  return "$rc"
}

if [[ ${1:-} == --box-session ]]; then
  box_session
  exit
fi

usage="usage: wine_exe.sh <path-to-odflsh.exe> <i686|x86_64> <wine>"
exe=${1:?$usage}
arch=${2:?$usage}
wine=${3:?$usage}

source "$(dirname "${BASH_SOURCE[0]}")/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/wine_env.sh"

exe=$(realpath "$exe")
script=$(realpath "${BASH_SOURCE[0]}")
wine_setup "$arch" "$wine"

wine_work_folder
failures=0

SECONDS=0
wine_use_prefix "$work/prefix"
# Another test of this run may have left the prefix on Windows 98.
wine_windows_version default

banner=$'\n/// ODD Firmware Update Utility Ver2.27A\n'
english="${banner}"$'\r\nAvailable target is not found.'
japanese="${banner}"$'\r\n\x82\xb1\x82\xcc\xcc\xdf\xdb\xb8\xde\xd7\xd1\x82\xc5\x97\x98\x97\x70\x89\xc2\x94\x5c\x82\xc8\xc4\xde\xd7\xb2\xcc\xde\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42'

# run_headless NAME LOCALE EXPECTED_STDOUT
run_headless() {
  local name=$1 locale=$2 expected=$3
  (cd "$work" && LC_ALL=$locale timeout 120 "$wine" "$exe" </dev/null >"$work/$name.out" 2>"$work/$name.err")
  check "$name" $? "$expected"
}

run_headless english C "$english"
run_headless japanese ja_JP.UTF-8 "$japanese"

# The desktop process of the headless runs has no display; a new session
# starts one on the virtual display.
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
export exe work wine
(cd "$work" && LC_ALL=C xvfb-run -a bash "$script" --box-session)
rc=$?
[[ -f $work/box.out ]] || echo "xvfb-run could not start the session (exit code $rc)" >"$work/box.failed"
if [[ -f $work/box.failed ]]; then
  echo "FAIL box: $(cat "$work/box.failed")"
  failures=$((failures + 1))
else
  check box "$rc" "$english"
fi

exit $((failures > 0))

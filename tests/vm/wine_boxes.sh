#!/usr/bin/env bash
# Inside the test machine: runs a Windows program under Wine on a virtual
# display, pressing Enter on every box titled ODFLSH (the default button: Yes
# for a question, OK for a notice), until the program ends.
#   wine_boxes.sh LOADER EXE
# The program's standard output is this script's; its standard error and a
# line "boxes: N" (the boxes answered) go to standard error; the exit code is
# the program's. WINEPREFIX and HOME come from the caller.
set -u

if [[ ${1:-} == --session ]]; then
  shift
  loader=$1 exe=$2
  "$loader" "$exe" </dev/null >"$WORK/program.out" 2>"$WORK/program.err" &
  pid=$!
  declare -A answered=()
  while kill -0 "$pid" 2>/dev/null; do
    # Pressed again every half second while the box is there: a box may
    # take a moment to take keys after it is shown.
    for window in $(xdotool search --onlyvisible --name '^ODFLSH$' 2>/dev/null); do
      answered[$window]=1
      xdotool key --window "$window" Return >/dev/null 2>&1
    done
    sleep 0.5
  done
  wait "$pid"
  rc=$?
  echo "boxes: ${#answered[@]}" >>"$WORK/program.err"
  wineserver -k >/dev/null 2>&1
  exit "$rc"
fi

WORK=$(mktemp -d)
export WORK WINEDEBUG=-all
# The guest's /tmp is the host's: its X server leaves no lock file there, where
# the host's X servers could neither tell it alive nor it them.
xvfb-run -a -s "-nolock -screen 0 1280x1024x24" bash "${BASH_SOURCE[0]}" --session "$@"
rc=$?
cat "$WORK/program.out"
cat "$WORK/program.err" >&2
rm -rf "$WORK"
exit "$rc"

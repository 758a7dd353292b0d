#!/usr/bin/env bash
# The Windows build under Wine on a simulated Windows 98 PC: odflsh.exe beside
# the test fixture WNASPI32.DLL, whose drives simdrives.txt describes, its
# message boxes answered by key presses on a virtual display. The families its
# built-in definition does not name run in odflsh-defined.exe, the same
# program reading its definitions from simdefinitions.txt.
#
# Each scenario runs first on odflsh-sim --route aspi with the same drives and
# answers. The Windows run must then print the same bytes, show the same boxes
# in the same order, end with the same exit code and leave every drive in the
# same state (simstate.txt against odflsh-sim's drive lines). The scenario's
# own expectations are checked as well, since the two programs share all the
# code above the platform layer. The simulator is the native Linux build's on
# purpose: it formats with another C library than the Windows program does.
#
# Fails, saying what is missing, without Wine, Xvfb, xdotool or odflsh-sim.
set -u

# ---- the scenarios -----------------------------------------------------------
# name | definition (built-in: odflsh.exe; family one, family zero:
# odflsh-defined.exe with that definition, odflsh-sim --definition with the
# same) | simdrives.txt, lines split at ';' | odflsh-sim's drives ('=' the same,
# '-' none; a line abort=... is its --host abort=...) | odflsh-sim --answers ('-' none) | the boxes in order (y or n: a
# question answered yes or no; ok: a notice) | exit code | each drive's end
# (flashed: the image file's exact bytes at the image's revision (family
# zero: the bytes its HEX file decodes to, gaps 0xFF, with the marker "WIN2");
# untouched: 1.00 and nothing flashed; kernel: left in its kernel part,
# nothing flashed; none: our layer is never loaded) | checks, split at ',':
#   nowrite   not one WRITE BUFFER reaches a drive
#   event     every WRITE BUFFER completes through its event
#   polled    every WRITE BUFFER completes by SRB_Status polling
#   later:M[/B]  the WRITE BUFFER of mode M (buffer B) (a mode switch, a flash
#             start) completed later, from the layer's worker thread
#   handshake the drive's challenge was read (READ BUFFER buffer F2) and
#             answered (WRITE BUFFER buffer F2) before the first block
#   slept:S   the run lasted at least S seconds of real time (a countdown
#             that really sleeps)
#   ieee1394  adapter 0 is a bridge: message 52 follows the banner
#   autoinsert  the registry holds a live drive instance behind the bridge
#             without its AutoInsertNotification value: the auto-insert scan
#             reads every key through the real registry calls, then prints
#             the failed read of that value (error 2) after message 52
#   builtin   Wine's own wnaspi32 is loaded, though ours is beside the program
scenarios=(
  "answered yes | built-in | qbc850 | = | yes | y ok | 0 | flashed | event,later:04,later:05"
  "answered no | built-in | qbc850 | = | no | n | 0 | untouched | nowrite"
  "two drives, yes to all | built-in | qbc850;qbc850 | = | yes | y ok | 0 | flashed flashed | event"
  "third block fails, no retry | built-in | qbc850,fail=writebuf/7/f0@3:4/44/0 | = | yes,no | y ok n ok | 1 | kernel | event,later:04"
  # The event wait runs out; the block is submitted again, which voids the
  # command the layer still holds.
  "a block never answered, no retry | built-in | qbc850,fail=writebuf/7/f0@2:timeout | = | yes,no | y ok n ok | 1 | kernel | event"
  "Wine's own wnaspi32 | built-in | qbc850 | - | - | ok | 1 | none | builtin"
  "IEEE1394 bridge, an instance without its setting | built-in | adapter=NTMAPHLP;qbc850 | qbc850 | yes | y ok | 0 | flashed | polled,later:04,later:05,ieee1394,autoinsert"
  # The polled block is given up and aborted; the layer lets it go, and the
  # retry pass sends the image again.
  "a block never answered behind the bridge, aborted | built-in | adapter=NTMAPHLP;qbc850,fail=writebuf/7/f0@2:timeout | qbc850,fail=writebuf/7/f0@2:timeout | yes | y ok y y ok | 0 | flashed | polled,ieee1394,autoinsert"
  # A layer that refuses the abort keeps the block: nothing more is sent.
  "a block never answered behind the bridge, abort refused | built-in | abort=refuse;adapter=NTMAPHLP;qbc850,fail=writebuf/7/f0@2:timeout | abort=refuse;qbc850,fail=writebuf/7/f0@2:timeout | yes | y ok ok | 1 | kernel | polled,ieee1394,autoinsert"
  "family one, handshake | family one | qrw730,rev=1.22,handshake=1 | = | yes | y ok | 0 | flashed | event,handshake,later:04,later:05"
  # The 30-second countdown sleeps for real: one drive only.
  "family zero, countdown | family zero | qrd570 | = | - | ok | 0 | flashed | event,later:01/42,slept:30"
)

# The definitions and their image files (made by odflsh-sim --make-image).
declare -A definition_text=(
  ["family one"]="fileName=Q7300122.BIN,vendor=KESTREL,product=DVD-RW  QRW-730,extension=BIN,imageSize=0x100000,familyCode=0x1005,updateScope=1,minimumImageDate=0x20070101,vendorTag=QRW730N"
  ["family zero"]="fileName=QRD570.HEX,modelCode=KESTREL QRD-570,vendor=KESTREL,product=DVD-ROM QRD-570,versionText=1.07,cpuType=MN103S,extension=HEX,imageSize=0x20000,familyCode=1"
)
declare -A definition_files=(["built-in"]=S1003431.104 ["family one"]=Q7300122.BIN ["family zero"]=QRD570.HEX)
declare -A definition_made_with=(["family one"]="--image-rev 1.30")

banner=$'\n/// ODD Firmware Update Utility Ver2.27A\n'
no_target=$'\r\nAvailable target is not found.'
bridge_found=$'\r\nDetect the IEEE1394 interface.'
setting_unread=$'\r\nRegQueryValueEx Error : 00000002h'
run_limit=300  # seconds for one run: a program that waits for ever must fail, not hang CI

# ---- message boxes on the virtual display -----------------------------------

visible_boxes() { xdotool search --onlyvisible --name '^ODFLSH$' 2>/dev/null; }

# next_box PID PREVIOUS: prints the id of a box other than PREVIOUS (which may
# still be on screen for a moment); fails when the program ends first.
next_box() {
  local pid=$1 previous=$2 window
  for ((i = 0; i < run_limit * 10; i++)); do
    window=$(visible_boxes | grep -vx "${previous:-none}" | head -n 1)
    if [[ -n $window ]]; then
      echo "$window"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# press WINDOW KEY: presses KEY on the box until it closes. A key pressed
# before the box takes keys is lost, so it is pressed again, but only after
# long enough that the box cannot be merely on its way out.
press() {
  local window=$1 key=$2
  for ((try = 0; try < 3; try++)); do
    if timeout 5 xdotool windowfocus --sync "$window" >/dev/null 2>&1; then
      xdotool key --clearmodifiers "$key"
    fi
    for ((i = 0; i < 100; i++)); do
      visible_boxes | grep -qx "$window" || return 0
      sleep 0.1
    done
  done
  return 1
}

# answer_boxes PID KEY...: each key answers the next box the program shows;
# what goes wrong is written to $run/boxes.failed.
answer_boxes() {
  local pid=$1 n=0 window previous=""
  shift
  for key in "$@"; do
    n=$((n + 1))
    if ! window=$(next_box "$pid" "$previous"); then
      echo "box $n of $# never appeared (boxes: $*)" >"$run/boxes.failed"
      return
    fi
    if ! press "$window" "$key"; then
      echo "box $n of $# did not close on the key $key" >"$run/boxes.failed"
      kill "$pid"
      return
    fi
    previous=$window
  done
  while kill -0 "$pid" 2>/dev/null; do
    if [[ -n $(visible_boxes | grep -vx "${previous:-none}") ]]; then
      echo "a box beyond the $# expected appeared (boxes: $*)" >"$run/boxes.failed"
      kill "$pid"
      return
    fi
    sleep 0.2
  done
}

# ---- one scenario ------------------------------------------------------------

trimmed() {
  local text=$1
  text=${text#"${text%%[![:space:]]*}"}
  echo "${text%"${text##*[![:space:]]}"}"
}

fail() {
  echo "FAIL $name: $*"
  failed=1
}

# Lines of a report, indented under the failure they explain.
indented() { sed 's/^/    /'; }

# The boxes of odflsh-sim's run (its stderr), as the scenario table writes them.
sim_boxes() {
  awk '/^box / {
    if ($2 == "AskYesNo" && / -> Yes$/) b = "y"
    else if ($2 == "AskYesNo" && / -> No$/) b = "n"
    else if ($2 ~ /^Notice/ && / -> OK$/) b = "ok"
    else b = "?(" $2 ")"
    printf "%s%s", sep, b; sep = " "
  }' "$1"
}

# The WRITE BUFFER commands that reached the drives, from the layer's trace.
writes() { grep -E '^cmd +[0-9]+ ms [^ ]+ +3B ' "$run/win/simtrace.txt" 2>/dev/null; }

check_states() {
  local want=("$@") got line i
  if [[ ${want[0]} == none ]]; then
    [[ ! -e $run/win/simstate.txt ]] ||
      fail "our WNASPI32.DLL was loaded:"$'\n'"$(indented <"$run/win/simstate.txt")"
    return
  fi
  if [[ ! -f $run/win/simstate.txt ]]; then
    fail "no simstate.txt: our WNASPI32.DLL was not loaded, or did not end"
    return
  fi
  cmp -s "$run/sim/state" "$run/win/simstate.txt" ||
    fail "drive states differ; odflsh.exe, then odflsh-sim:"$'\n'"$(indented <"$run/win/simstate.txt")
$(indented <"$run/sim/state")"
  mapfile -t got <"$run/win/simstate.txt"
  [[ ${#got[@]} -eq ${#want[@]} ]] || fail "${#got[@]} drives in simstate.txt, expected ${#want[@]}"
  for i in "${!want[@]}"; do
    line=${got[$i]:-}
    case ${want[$i]} in
      flashed) [[ $line == *" ${flashed_state[$definition]}" ]] ;;
      untouched) [[ $line == *" rev 1.00 date 07/12/01 mode normal image 0 bytes crc32 0x00000000" ]] ;;
      kernel) [[ $line == *" rev 1.00 date 07/12/01 mode kernel image 0 bytes crc32 0x00000000" ]] ;;
      *) false ;;
    esac || fail "drive $((i + 1)) is not ${want[$i]}: $line"
  done
}

check_extra() {
  local check=$1 mode
  case $check in
    nowrite) [[ -z $(writes) ]] || fail "WRITE BUFFER reached a drive:"$'\n'"$(writes | head -n 3 | indented)" ;;
    event | polled)
      [[ -n $(writes) ]] || fail "no WRITE BUFFER in simtrace.txt"
      local other
      other=$(writes | grep -v "  aspi $check" | head -n 1)
      [[ -z $other ]] || fail "a WRITE BUFFER not in $check mode:"$'\n'"$(indented <<<"$other")" ;;
    later:*)
      mode=${check#later:}
      local buffer='[0-9A-F]{2}'
      [[ $mode == */* ]] && buffer=${mode#*/} && mode=${mode%/*}
      writes | grep -qE " 3B $mode $buffer .*  completed after [0-9]+ ms$" ||
        fail "WRITE BUFFER mode $mode did not complete from the worker thread" ;;
    handshake)
      # Trace lines: the command's number and time, the drive, then the CDB.
      awk '$5 == "3C" && $7 == "F2" && !read { read = NR }
           $5 == "3B" && $7 == "F2" && read && !answered { answered = NR }
           $5 == "3B" && $7 == "F0" && !block { block = NR }
           END { exit !(read && answered && answered < block) }' "$run/win/simtrace.txt" 2>/dev/null ||
        fail "no challenge read and answered before the first block" ;;
    slept:*)
      ((SECONDS - started >= ${check#slept:})) ||
        fail "the run took $((SECONDS - started))s, less than the countdown's ${check#slept:}s" ;;
    # Wine's layer answers no adapters (0xE800): message 28 and nothing else.
    builtin) printf '%s' "$banner$no_target" | cmp -s - "$run/win/out" || fail "not message 28 alone" ;;
    ieee1394 | autoinsert) ;;
    *) fail "unknown check $check" ;;
  esac
}

show_console_difference() {
  echo "--- $(cmp "$1" "$2" 2>&1 | head -n 1)"
  echo "--- expected (last 300 bytes)"; tail -c 300 "$1" | od -c | tail -n 20
  echo "--- odflsh.exe (last 300 bytes)"; tail -c 300 "$2" | od -c | tail -n 20
  [[ -s $run/win/err ]] && { echo "--- odflsh.exe stderr"; head -c 1000 "$run/win/err"; }
}

run_scenario() {
  local row=$1 definition dll_drives sim_drives answers boxes rc states checks
  IFS='|' read -r name definition dll_drives sim_drives answers boxes rc states checks <<<"$row"
  for field in name definition dll_drives sim_drives answers boxes rc states checks; do
    printf -v "$field" '%s' "$(trimmed "${!field}")"
  done
  local started=$SECONDS
  failed=0
  run=$work/run$((++runs))
  mkdir -p "$run/sim" "$run/win"
  local image=${definition_files[$definition]} program=odflsh.exe args=(--route aspi)
  ln -s "$work/$definition/$image" "$run/sim/$image"
  cp "$dll" "$work/$definition/$image" "$run/win/"
  if [[ $definition == built-in ]]; then
    cp "$exe" "$run/win/"
  else
    program=odflsh-defined.exe
    cp "$defined" "$run/win/"
    printf '%s\r\n' "${definition_text[$definition]}" >"$run/win/simdefinitions.txt"
    args+=(--definition "${definition_text[$definition]}")
  fi
  tr ';' '\n' <<<"$dll_drives" >"$run/win/simdrives.txt"
  [[ $sim_drives == = ]] && sim_drives=$dll_drives
  checks=",$checks,"

  # odflsh-sim first: what the Windows run must print, ask and leave.
  if [[ $sim_drives != - ]]; then
    IFS=';' read -ra drive_lines <<<"$sim_drives"
    for line in "${drive_lines[@]}"; do
      if [[ $line == abort=* ]]; then args+=(--host "$line"); else args+=(--drive "$line"); fi
    done
  fi
  [[ $answers != - ]] && args+=(--answers "$answers")
  (cd "$run/sim" && "$sim" "${args[@]}" </dev/null >out 2>err)
  local sim_rc=$?
  grep '^drive ' "$run/sim/err" >"$run/sim/state"
  [[ $sim_rc -eq $rc ]] || fail "odflsh-sim ended with $sim_rc, expected $rc"
  local asked
  asked=$(sim_boxes "$run/sim/err")
  [[ $asked == "$boxes" ]] || fail "odflsh-sim showed the boxes '$asked', expected '$boxes'"
  # What the simulator cannot be told (adapters, registry) shows right after the banner.
  local after_banner=""
  [[ $checks == *,ieee1394,* ]] && after_banner+=$bridge_found
  [[ $checks == *,autoinsert,* ]] && after_banner+=$setting_unread
  {
    head -c "${#banner}" "$run/sim/out"
    printf '%s' "$after_banner"
    tail -c +$((${#banner} + 1)) "$run/sim/out"
  } >"$run/expected"

  # Then odflsh.exe, each box answered with a key as odflsh-sim's was.
  local keys=() overrides=$WINEDLLOVERRIDES
  for box in $boxes; do
    case $box in
      y | n) keys+=("$box") ;;
      *) keys+=(Return) ;;
    esac
  done
  [[ $checks == *,builtin,* ]] || overrides="$overrides;wnaspi32=n"
  if [[ $checks == *,autoinsert,* ]]; then
    bridge_registry >"$run/bridge.reg"
    (cd "$run" && "$wine" regedit /s bridge.reg) || fail "regedit did not take bridge.reg"
  fi
  (cd "$run/win" && WINEDLLOVERRIDES=$overrides exec timeout "$run_limit" "$wine" "$program" \
    </dev/null >"$run/win/out" 2>"$run/win/err") &
  local pid=$!
  answer_boxes "$pid" "${keys[@]}"
  wait "$pid"
  local win_rc=$?

  [[ -f $run/boxes.failed ]] && fail "$(cat "$run/boxes.failed")"
  [[ $win_rc -eq $rc ]] || fail "odflsh.exe ended with $win_rc, expected $rc"
  if ! cmp -s "$run/expected" "$run/win/out"; then
    fail "the console differs from odflsh-sim's"
    show_console_difference "$run/expected" "$run/win/out"
  fi
  read -ra drive_states <<<"$states"
  check_states "${drive_states[@]}"
  IFS=',' read -ra extra <<<"${checks//,,/,}"
  for check in "${extra[@]}"; do
    [[ -n $check ]] && check_extra "$check"
  done
  if ((failed)); then
    failures=$((failures + 1))
  else
    echo "ok   $name ($((SECONDS - started))s)"
  fi
}

# A drive instance behind bridge adapter 0 that the configuration manager has
# live (its hardware key names it), without its AutoInsertNotification value.
bridge_registry() {
  printf '%s\r\n' 'REGEDIT4' '' \
    '[HKEY_LOCAL_MACHINE\Enum\SCSI\KESTREL_DVD-RW__QRW-710_0\SBP2&MIRO&MPCV-QRW__7100&0]' '' \
    '[HKEY_DYN_DATA\Config Manager\Enum\C29A1B00]' \
    '"HardWareKey"="SBP2\\MIRO&MPCV-QRW__7100\\0"'
}

session() {
  cd "$work" || exit 1
  source "$work/flashed_state.sh"
  failures=0
  runs=0
  # One server for the whole session: HKEY_DYN_DATA is volatile in Wine and
  # lives only as long as its server, and no run waits for a server to start.
  wineserver -p
  for row in "${scenarios[@]}"; do
    # ODFLSH_WINE_ONLY=REGEX runs the scenarios whose row matches, for a look at a few.
    [[ -n ${ODFLSH_WINE_ONLY:-} && ! $row =~ $ODFLSH_WINE_ONLY ]] && continue
    run_scenario "$row"
  done
  wineserver -k >/dev/null 2>&1
  exit $((failures > 0))
}

# ---- set-up ------------------------------------------------------------------

if [[ ${1:-} == --session ]]; then
  source "$(dirname "${BASH_SOURCE[0]}")/wine_env.sh"
  session
fi

usage="usage: wine_aspi.sh <odflsh.exe> <WNASPI32.DLL> <i686|x86_64> <wine> <odflsh-sim> <odflsh-defined.exe>"
exe=${1:?$usage}
dll=${2:?$usage}
arch=${3:?$usage}
wine=${4:?$usage}
sim=${5:?$usage}
defined=${6:?$usage}

source "$(dirname "${BASH_SOURCE[0]}")/wine_env.sh"
source "$(dirname "${BASH_SOURCE[0]}")/crc32.sh"

exe=$(realpath "$exe")
dll=$(realpath "$dll")
defined=$(realpath "$defined")
script=$(realpath "${BASH_SOURCE[0]}")
if [[ ! -x $sim ]]; then
  echo "FAIL: no odflsh-sim at $sim to compare with: build the linux preset first"
  echo "      (tools/run_tests.sh does), or set ODFLSH_LINUX_SIM when configuring"
  exit 1
fi
sim=$(realpath "$sim")
wine_setup "$arch" "$wine"

wine_work_folder

SECONDS=0
wine_use_prefix "$work/prefix"
wine_windows_version win98

# Each definition's image file, and the state line of a drive that holds it.
declare -A flashed_state
for definition in "${!definition_files[@]}"; do
  mkdir -p "$work/$definition"
  image=${definition_files[$definition]}
  args=()
  [[ -n ${definition_text[$definition]:-} ]] && args=(--definition "${definition_text[$definition]}")
  # shellcheck disable=SC2206  # the options are words
  args+=(${definition_made_with[$definition]:-} --make-image "$image")
  (cd "$work/$definition" && "$sim" "${args[@]}" 2>/dev/null) ||
    { echo "FAIL: odflsh-sim ${args[*]}"; exit 1; }
  file=$work/$definition/$image
  case $definition in
    built-in) flashed_state[$definition]="rev 1.04 date 08/01/10 mode normal image $(stat -c %s "$file") bytes crc32 0x$(crc32 "$file")" ;;
    "family one") flashed_state[$definition]="rev 1.30 date 08/01/10 mode normal image $(stat -c %s "$file") bytes crc32 0x$(crc32 "$file") kernel 0 bytes crc32 0x00000000" ;;
    "family zero")
      # The drive holds what the HEX records say, its gaps 0xFF, decoded by
      # another reader than ours; its identity (1.05) survives the flash.
      objcopy -I ihex -O binary --gap-fill 0xff --pad-to 0x20000 "$file" "$work/$definition/decoded.bin" ||
        { echo "FAIL: objcopy cannot read $image"; exit 1; }
      flashed_state[$definition]="rev 1.05 date 03/06/12 mode normal image 131072 bytes crc32 0x$(crc32 "$work/$definition/decoded.bin") marker \"WIN2\"" ;;
  esac
done
declare -p flashed_state >"$work/flashed_state.sh"

# A server left from a run without a display would make the boxes fail on it.
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
export exe dll defined wine sim work
LC_ALL=C xvfb-run -a bash "$script" --session
rc=$?
echo "Wine stage for $arch: ${SECONDS}s"
exit "$rc"
